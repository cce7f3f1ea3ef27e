#include "qhttpserver.h"

#include "qhttpconnection.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <sys/resource.h>

namespace {

constexpr qint64 kRefusalWarningMsec = 60 * 1000;
// Out of descriptors, a listener stops accepting; it tries again after this pause.
constexpr std::chrono::seconds kAcceptRetry{1};

} // namespace

QHttpServer::QHttpServer(QObject *parent)
    : QObject(parent)
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
        connect(m_tcpServer, &QTcpServer::acceptError, this, &QHttpServer::onAcceptError);
    }
    raiseDescriptorLimit();
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
    m_timeouts.idle = timeout;
}

void QHttpServer::setHeadTimeout(std::chrono::milliseconds timeout)
{
    m_timeouts.head = timeout;
}

void QHttpServer::setRequestTimeout(std::chrono::milliseconds timeout)
{
    m_timeouts.request = timeout;
}

void QHttpServer::setHandshakeTimeout(std::chrono::milliseconds timeout)
{
    m_timeouts.handshake = timeout;
}

void QHttpServer::setBodyLimit(const QHttpConnection::BodyLimit &limit)
{
    m_bodyLimit = limit;
}

void QHttpServer::raiseDescriptorLimit()
{
    static bool raised = false;
    if (raised)
        return;
    raised = true;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return;
    const rlim_t before = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0)
        qInfo().noquote() << QStringLiteral("Open files limit raised from %1 to %2")
                                 .arg(quint64(before))
                                 .arg(quint64(limit.rlim_max));
}

void QHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_tcpServer->nextPendingConnection()) {
        const QHostAddress client = QHttpConnection::clientAddress(socket);
        if (!QHttpConnection::mayOpen(client, isSecure()) && !QHttpConnection::makeRoom(client, isSecure())) {
            refuse(socket, client);
            continue;
        }
        auto *connection = new QHttpConnection(socket, isSecure(), m_timeouts, m_bodyLimit, this);
        connect(connection, &QHttpConnection::newRequest, this, &QHttpServer::newRequest);
    }
}

void QHttpServer::refuse(QTcpSocket *socket, const QHostAddress &client)
{
    socket->abort();
    socket->deleteLater();
    // One line a minute, however hard a client knocks.
    static QElapsedTimer lastWarning;
    static int refused = 0;
    ++refused;
    if (lastWarning.isValid() && !lastWarning.hasExpired(kRefusalWarningMsec))
        return;
    lastWarning.start();
    qWarning().noquote() << QStringLiteral("Too many HTTP connections: %1 refused in the last minute, the latest "
                                           "from %2 (%3 open from that address, %4 in all)")
                                .arg(refused)
                                .arg(client.toString())
                                .arg(QHttpConnection::openConnections(client))
                                .arg(QHttpConnection::openConnections());
    refused = 0;
}

void QHttpServer::onAcceptError()
{
    qWarning().noquote() << QStringLiteral("HTTP server cannot accept connections: %1").arg(m_tcpServer->errorString());
    m_tcpServer->pauseAccepting();
    QTimer::singleShot(kAcceptRetry, this, [this] { m_tcpServer->resumeAccepting(); });
}
