#include "fakerelayserver.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>

namespace Orvix::Tests {

namespace {

constexpr int kMaxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

QByteArray FakeRelayPoll::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
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
    const int headerEnd = it->indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (it->size() > kMaxHeaderBytes)
            socket->abort();
        return;
    }
    // Polls are GETs without a body.
    const QList<QByteArray> lines = it->left(headerEnd).split('\n');
    it->remove(0, headerEnd + 4);

    FakeRelayPoll poll;
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    poll.verb = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const int question = target.indexOf('?');
    poll.path = QString::fromUtf8(QByteArray::fromPercentEncoding(question < 0 ? target : target.left(question)));
    if (question >= 0) {
        const QUrlQuery query(QString::fromUtf8(target.mid(question + 1)));
        poll.portalAddress = query.queryItemValue(QStringLiteral("portal_address"), QUrl::FullyDecoded);
    }
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            poll.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
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
    QByteArray out = "HTTP/1.1 " + QByteArray::number(reply.status) + ' ' + reasonPhrase(reply.status) + "\r\n";
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
