#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

// A QTcpServer whose connections are QSslSockets already started in server mode: what
// nextPendingConnection() hands out is encrypted with the given certificate and key.
class SslServer : public QTcpServer
{
    Q_OBJECT

public:
    SslServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);

protected:
    void incomingConnection(qintptr socketDescriptor) override;

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
};
