#include "qhttpserver.h"

#include "qhttpconnection.h"

#include <QTcpServer>
#include <QTcpSocket>

QHttpServer::QHttpServer(QObject *parent)
    : QObject(parent)
    , m_idleTimeout(QHttpConnection::kIdleTimeout)
{
}

QHttpServer::~QHttpServer() = default;

QTcpServer *QHttpServer::createTcpServer()
{
    return new QTcpServer(this);
}

bool QHttpServer::listen(const QHostAddress &address, quint16 port)
{
    if (!m_tcpServer) {
        m_tcpServer = createTcpServer();
        connect(m_tcpServer, &QTcpServer::newConnection, this, &QHttpServer::onNewConnection);
    }
    return m_tcpServer->listen(address, port);
}

void QHttpServer::close()
{
    if (m_tcpServer)
        m_tcpServer->close();
}

bool QHttpServer::isListening() const
{
    return m_tcpServer && m_tcpServer->isListening();
}

quint16 QHttpServer::serverPort() const
{
    return m_tcpServer ? m_tcpServer->serverPort() : 0;
}

QString QHttpServer::errorString() const
{
    return m_tcpServer ? m_tcpServer->errorString() : QString();
}

void QHttpServer::setIdleTimeout(std::chrono::milliseconds timeout)
{
    m_idleTimeout = timeout;
}

void QHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
        auto *connection = new QHttpConnection(socket, isSecure(), m_idleTimeout, this);
        connect(connection, &QHttpConnection::newRequest, this, &QHttpServer::newRequest);
    }
}
