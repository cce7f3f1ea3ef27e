#pragma once

#include "qhttpserver/qhttpconnection.h"
#include "qhttpserver/qhttprequest.h"
#include "qhttpserver/qhttpresponse.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>

class QTcpServer;
class QTcpSocket;

// A plain HTTP/1.1 listener: every accepted connection becomes a QHttpConnection, and every complete
// request comes out of newRequest with the response that answers it. A connection over the limits of
// QHttpConnection is closed at once, unless the total alone is reached and another connection makes room
// (QHttpConnection::makeRoom). Main thread only.
class QHttpServer : public QObject
{
    Q_OBJECT

public:
    explicit QHttpServer(QObject *parent = nullptr);
    ~QHttpServer() override;

    // Port 0 picks a free port; serverPort() tells which.
    bool listen(const QHostAddress &address, quint16 port);
    void close();
    bool isListening() const;
    quint16 serverPort() const;
    QString errorString() const;

    // Time a connection may stay without traffic and without an answer in progress.
    void setIdleTimeout(std::chrono::milliseconds timeout);
    // Time from the first byte of a request head to its end.
    void setHeadTimeout(std::chrono::milliseconds timeout);
    // Time from the first byte of a request head to the end of its body.
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // Time from the accept of a TLS connection to the end of its handshake.
    void setHandshakeTimeout(std::chrono::milliseconds timeout);
    // The body limit of each request, asked when its head is complete (QHttpConnection::BodyLimit).
    void setBodyLimit(const QHttpConnection::BodyLimit &limit);

    // Raises the process's soft limit of open descriptors to its hard limit (once; later calls do nothing).
    static void raiseDescriptorLimit();

Q_SIGNALS:
    // The request is complete (headers and body). The response must be ended, now or later; it is
    // deleted with its connection when the client goes.
    void newRequest(QHttpRequest *request, QHttpResponse *response);

protected:
    // The listening socket; a TLS server gives one that encrypts its connections.
    virtual QTcpServer *createTcpServer();
    virtual bool isSecure() const { return false; }

private:
    void onNewConnection();
    void onAcceptError();
    void refuse(QTcpSocket *socket, const QHostAddress &client);

    QTcpServer *m_tcpServer = nullptr;
    QHttpConnection::Timeouts m_timeouts;
    QHttpConnection::BodyLimit m_bodyLimit;
};
