#include "fakerelayserver.h"

#include "fakehttp.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>

namespace Orvix::Tests {

QByteArray FakeRelayPoll::header(const QByteArray &name) const
{
    return fakeHttpHeader(headers, name);
}

FakeRelayReply FakeRelayReply::event(const QJsonObject &event)
{
    FakeRelayReply reply;
    reply.status = 200;
    reply.body = QJsonDocument(event).toJson(QJsonDocument::Compact);
    reply.contentType = "application/json";
    return reply;
}

FakeRelayReply FakeRelayReply::noEvent()
{
    return FakeRelayReply();
}

FakeRelayReply FakeRelayReply::error(int status, const QByteArray &text)
{
    FakeRelayReply reply;
    reply.status = status;
    reply.body = text;
    reply.contentType = "text/plain";
    return reply;
}

FakeRelayServer::FakeRelayServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeRelayServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost, 0);
}

FakeRelayServer::~FakeRelayServer()
{
    const QList<QTcpSocket *> sockets = m_buffers.keys();
    m_buffers.clear();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

bool FakeRelayServer::isListening() const
{
    return m_server.isListening();
}

QString FakeRelayServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void FakeRelayServer::answer(const FakeRelayReply &reply)
{
    if (m_waiting.isEmpty()) {
        m_queued.append(reply);
        return;
    }
    write(m_waiting.takeFirst(), reply);
}

void FakeRelayServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        m_buffers.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            m_waiting.removeAll(socket);
            socket->deleteLater();
        });
    }
}

void FakeRelayServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_buffers.find(socket);
    if (it == m_buffers.end())
        return;
    it->append(socket->readAll());
    const int headerEnd = fakeHttpHeadEnd(*it, socket);
    if (headerEnd < 0)
        return;
    // Polls are GETs without a body.
    const FakeHttpHead head = FakeHttpHead::parse(*it, headerEnd);
    it->remove(0, headerEnd + 4);

    FakeRelayPoll poll;
    poll.verb = head.verb;
    poll.path = head.path;
    if (!head.rawQuery.isNull()) {
        const QUrlQuery query(QString::fromUtf8(head.rawQuery));
        poll.portalAddress = query.queryItemValue(QStringLiteral("portal_address"), QUrl::FullyDecoded);
    }
    poll.headers = head.headers;
    m_polls.append(poll);

    if (poll.path != QLatin1String("/wait_call"))
        write(socket, FakeRelayReply::error(404, "No such route"));
    else if (!m_queued.isEmpty())
        write(socket, m_queued.takeFirst());
    else
        m_waiting.append(socket);
    Q_EMIT pollReceived();
}

void FakeRelayServer::write(QTcpSocket *socket, const FakeRelayReply &reply)
{
    QByteArray out = fakeHttpStatusLine(reply.status);
    if (!reply.contentType.isEmpty())
        out += "Content-Type: " + reply.contentType + "\r\n";
    // A 204 carries neither a body nor its length.
    if (reply.status != 204)
        out += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    out += "Connection: keep-alive\r\n\r\n";
    if (reply.status != 204)
        out += reply.body;
    socket->write(out);
}

} // namespace Orvix::Tests
