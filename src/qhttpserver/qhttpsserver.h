#pragma once

#include "qhttpserver/qhttpserver.h"

#include <QSslCertificate>
#include <QSslKey>

// The TLS variant of QHttpServer: the same requests, over connections encrypted with one
// certificate and its private key. Main thread only.
class QHttpsServer : public QHttpServer
{
    Q_OBJECT

public:
    QHttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent = nullptr);

protected:
    QTcpServer *createTcpServer() override;
    bool isSecure() const override { return true; }

private:
    QSslCertificate m_certificate;
    QSslKey m_key;
};
