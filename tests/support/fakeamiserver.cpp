#include "fakeamiserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace Orvix::Tests {

namespace {
constexpr char kLineEnd[] = "\r\n";

QByteArray line(const QString &key, const QString &value)
{
    // Asterisk writes a blank after the colon, and one even before an empty value.
    return key.toUtf8() + ": " + value.toUtf8() + kLineEnd;
}

FakeAmiServer::Frame parseFrame(const QByteArray &raw, int connection)
{
    FakeAmiServer::Frame frame;
    frame.raw = raw;
    frame.connection = connection;
    const QList<QByteArray> lines = raw.split('\n');
    for (QByteArray text : lines) {
        if (text.endsWith('\r'))
            text.chop(1);
        if (text.isEmpty())
            continue;
        const int colon = text.indexOf(':');
        if (colon < 0)
            continue;
        const QString key = QString::fromUtf8(text.left(colon)).trimmed();
        const QString value = QString::fromUtf8(text.mid(colon + 1)).trimmed();
        if (key.compare(QLatin1String("Action"), Qt::CaseInsensitive) == 0 && frame.action.isEmpty())
            frame.action = value;
        else if (key.compare(QLatin1String("ActionID"), Qt::CaseInsensitive) == 0)
            frame.actionId = value;
        else
            frame.lines.append({key, value});
    }
    return frame;
}
} // namespace

QString FakeAmiServer::Frame::value(const QString &key) const
{
    for (const auto &pair : lines) {
        if (pair.first.compare(key, Qt::CaseInsensitive) == 0)
            return pair.second;
    }
    return QString();
}

bool FakeAmiServer::Frame::has(const QString &key) const
{
    for (const auto &pair : lines) {
        if (pair.first.compare(key, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QStringList FakeAmiServer::Frame::keys() const
{
    QStringList keys;
    for (const auto &pair : lines)
        keys.append(pair.first);
    return keys;
}

FakeAmiServer::FakeAmiServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    qRegisterMetaType<Orvix::Tests::FakeAmiServer::Frame>();
    connect(m_server, &QTcpServer::newConnection, this, &FakeAmiServer::onNewConnection);
}

FakeAmiServer::~FakeAmiServer()
{
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it)
        it.key()->disconnect(this);
    m_server->close();
}

bool FakeAmiServer::listen(quint16 port)
{
    return m_server->listen(QHostAddress::LocalHost, port);
}

QString FakeAmiServer::host() const
{
    return QStringLiteral("127.0.0.1");
}

quint16 FakeAmiServer::port() const
{
    return m_server->serverPort();
}

void FakeAmiServer::setGreeting(const QByteArray &greeting)
{
    m_greeting = greeting;
}

void FakeAmiServer::setSilent(bool silent)
{
    m_silent = silent;
}

void FakeAmiServer::setCredentials(const QString &user, const QString &secret)
{
    m_user = user;
    m_secret = secret;
}

void FakeAmiServer::setLoginFailureDelay(int msec)
{
    m_loginFailureDelay = msec;
}

void FakeAmiServer::setSipPeers(const QStringList &names)
{
    m_sipPeers = names;
}

void FakeAmiServer::setIaxPeers(const QStringList &names)
{
    m_iaxPeers = names;
}

void FakeAmiServer::setChannels(const QList<LiveChannel> &channels)
{
    m_channels = channels;
}

void FakeAmiServer::setCommandOutput(const QString &command, const QStringList &outputLines)
{
    m_commandOutput.insert(command, outputLines);
}

void FakeAmiServer::setResponder(const QString &action, Responder responder)
{
    m_responders.insert(action.toLower(), std::move(responder));
}

void FakeAmiServer::setReply(const QString &action, const QString &status, const QString &message)
{
    setResponder(action, [status, message](const Frame &frame) {
        Fields fields;
        if (!message.isEmpty())
            fields.append({QStringLiteral("Message"), message});
        return response(status, frame.actionId, fields);
    });
}

void FakeAmiServer::clearResponder(const QString &action)
{
    m_responders.remove(action.toLower());
}

void FakeAmiServer::send(const QByteArray &bytes)
{
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        it.key()->write(bytes);
        it.key()->flush();
    }
}

void FakeAmiServer::sendInPieces(const QByteArray &bytes, int pieceSize)
{
    if (bytes.isEmpty() || pieceSize <= 0)
        return;
    send(bytes.left(pieceSize));
    const QByteArray rest = bytes.mid(pieceSize);
    if (!rest.isEmpty())
        QTimer::singleShot(5, this, [this, rest, pieceSize] { sendInPieces(rest, pieceSize); });
}

void FakeAmiServer::closeConnections()
{
    const QList<QTcpSocket *> sockets = m_clients.keys();
    for (QTcpSocket *socket : sockets)
        socket->disconnectFromHost();
}

int FakeAmiServer::openConnections() const
{
    return m_clients.size();
}

QList<FakeAmiServer::Frame> FakeAmiServer::frames(const QString &action) const
{
    QList<Frame> found;
    for (const Frame &frame : m_frames) {
        if (frame.action.compare(action, Qt::CaseInsensitive) == 0)
            found.append(frame);
    }
    return found;
}

QByteArray FakeAmiServer::response(const QString &status, const QString &actionId, const Fields &fields)
{
    QByteArray bytes = line(QStringLiteral("Response"), status);
    if (!actionId.isEmpty())
        bytes += line(QStringLiteral("ActionID"), actionId);
    for (const auto &field : fields)
        bytes += line(field.first, field.second);
    return bytes + kLineEnd;
}

QByteArray FakeAmiServer::event(const QString &name, const Fields &fields)
{
    QByteArray bytes = line(QStringLiteral("Event"), name);
    for (const auto &field : fields)
        bytes += line(field.first, field.second);
    return bytes + kLineEnd;
}

void FakeAmiServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        Client client;
        client.socket = socket;
        client.index = m_accepted++;
        m_clients.insert(socket, client);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_clients.remove(socket);
            socket->deleteLater();
            Q_EMIT clientDisconnected();
        });
        // The greeting ends with one CR LF and no empty line.
        if (!m_silent) {
            socket->write(m_greeting + kLineEnd);
            socket->flush();
        }
        Q_EMIT clientConnected();
    }
}

void FakeAmiServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_clients.find(socket);
    if (it == m_clients.end())
        return;
    it->buffer += socket->readAll();
    for (;;) {
        it = m_clients.find(socket);
        if (it == m_clients.end())
            return;
        const int end = it->buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray raw = it->buffer.left(end + 4);
        it->buffer.remove(0, end + 4);
        const Frame frame = parseFrame(raw, it->index);
        m_frames.append(frame);
        Q_EMIT frameReceived(frame);
        it = m_clients.find(socket);
        if (it == m_clients.end())
            return;
        answer(*it, frame);
    }
}

void FakeAmiServer::answer(Client &client, const Frame &frame)
{
    QTcpSocket *socket = client.socket;
    if (m_silent)
        return;
    const QString action = frame.action.toLower();
    bool close = false;
    QByteArray bytes;
    if (m_responders.contains(action)) {
        bytes = m_responders.value(action)(frame);
        if (action == QLatin1String("login"))
            client.authenticated = bytes.startsWith("Response: Success");
    } else if (action == QLatin1String("login")) {
        const bool accepted = frame.value(QStringLiteral("Username")) == m_user
            && frame.value(QStringLiteral("Secret")) == m_secret;
        if (!accepted) {
            // Asterisk delays a refused login by about a second, then hangs up.
            const QByteArray refusal = response(QStringLiteral("Error"), frame.actionId,
                                                {{QStringLiteral("Message"), QStringLiteral("Authentication failed")}});
            const QPointer<QTcpSocket> guarded(socket);
            QTimer::singleShot(m_loginFailureDelay, this, [guarded, refusal] {
                if (!guarded)
                    return;
                guarded->write(refusal);
                guarded->disconnectFromHost();
            });
            return;
        }
        client.authenticated = true;
        bytes = response(QStringLiteral("Success"), frame.actionId,
                         {{QStringLiteral("Message"), QStringLiteral("Authentication accepted")}});
    } else {
        bytes = builtInAnswer(client, frame, close);
    }
    if (!bytes.isEmpty()) {
        socket->write(bytes);
        socket->flush();
    }
    if (close)
        socket->disconnectFromHost();
}

QByteArray FakeAmiServer::builtInAnswer(Client &client, const Frame &frame, bool &close)
{
    const QString action = frame.action.toLower();
    const auto success = [&frame](const QString &message) {
        return response(QStringLiteral("Success"), frame.actionId, {{QStringLiteral("Message"), message}});
    };
    if (action == QLatin1String("logoff")) {
        close = true;
        return response(QStringLiteral("Goodbye"), frame.actionId,
                        {{QStringLiteral("Message"), QStringLiteral("Thanks for all the fish.")}});
    }
    if (!client.authenticated) {
        return response(QStringLiteral("Error"), frame.actionId,
                        {{QStringLiteral("Message"), QStringLiteral("Permission denied")}});
    }
    if (action == QLatin1String("ping")) {
        return response(QStringLiteral("Success"), frame.actionId,
                        {{QStringLiteral("Ping"), QStringLiteral("Pong")},
                         {QStringLiteral("Timestamp"), QStringLiteral("1796630497.552433")}});
    }
    if (action == QLatin1String("sippeers"))
        return peerList(frame, true);
    if (action == QLatin1String("iaxpeers"))
        return peerList(frame, false);
    if (action == QLatin1String("coreshowchannels"))
        return channelList(frame);
    if (action == QLatin1String("command")) {
        Fields fields{{QStringLiteral("Message"), QStringLiteral("Command output follows")}};
        const QStringList output = m_commandOutput.value(frame.value(QStringLiteral("Command")));
        for (const QString &text : output)
            fields.append({QStringLiteral("Output"), text});
        return response(QStringLiteral("Success"), frame.actionId, fields);
    }
    if (action == QLatin1String("hangup"))
        return success(QStringLiteral("Channel Hungup"));
    if (action == QLatin1String("originate"))
        return success(QStringLiteral("Originate successfully queued"));
    if (action == QLatin1String("redirect"))
        return success(QStringLiteral("Redirect successful"));
    if (action == QLatin1String("atxfer"))
        return success(QStringLiteral("Atxfer successfully queued"));
    if (action == QLatin1String("blindtransfer"))
        return success(QStringLiteral("Transfer succeeded"));
    return response(QStringLiteral("Error"), frame.actionId,
                    {{QStringLiteral("Message"),
                      QStringLiteral("Invalid/unknown command: %1. Use Action: ListCommands to show available commands.")
                          .arg(frame.action)}});
}

QByteArray FakeAmiServer::peerList(const Frame &frame, bool sip) const
{
    QByteArray bytes = response(QStringLiteral("Success"), frame.actionId,
                                {{QStringLiteral("EventList"), QStringLiteral("start")},
                                 {QStringLiteral("Message"), QStringLiteral("Peer status list will follow")}});
    const QStringList &names = sip ? m_sipPeers : m_iaxPeers;
    for (const QString &name : names) {
        if (sip) {
            bytes += event(QStringLiteral("PeerEntry"),
                           {{QStringLiteral("ActionID"), frame.actionId},
                            {QStringLiteral("Channeltype"), QStringLiteral("SIP")},
                            {QStringLiteral("ObjectName"), name},
                            {QStringLiteral("ChanObjectType"), QStringLiteral("peer")},
                            {QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1")},
                            {QStringLiteral("IPport"), QStringLiteral("5070")},
                            {QStringLiteral("Dynamic"), QStringLiteral("no")},
                            {QStringLiteral("AutoForcerport"), QStringLiteral("yes")},
                            {QStringLiteral("Forcerport"), QStringLiteral("no")},
                            {QStringLiteral("AutoComedia"), QStringLiteral("no")},
                            {QStringLiteral("Comedia"), QStringLiteral("no")},
                            {QStringLiteral("VideoSupport"), QStringLiteral("no")},
                            {QStringLiteral("TextSupport"), QStringLiteral("no")},
                            {QStringLiteral("ACL"), QStringLiteral("yes")},
                            {QStringLiteral("Status"), QStringLiteral("OK (1 ms)")},
                            {QStringLiteral("RealtimeDevice"), QStringLiteral("no")},
                            {QStringLiteral("Description"), QString()},
                            {QStringLiteral("Accountcode"), QString()}});
        } else {
            // Asterisk 20 leaves the ActionID out of the IAX entries.
            bytes += event(QStringLiteral("PeerEntry"),
                           {{QStringLiteral("Channeltype"), QStringLiteral("IAX2")},
                            {QStringLiteral("ObjectName"), name},
                            {QStringLiteral("ChanObjectType"), QStringLiteral("peer")},
                            {QStringLiteral("IPaddress"), QStringLiteral("127.0.0.1")},
                            {QStringLiteral("IPport"), QStringLiteral("4570")},
                            {QStringLiteral("Dynamic"), QStringLiteral("no")},
                            {QStringLiteral("Trunk"), QStringLiteral("no")},
                            {QStringLiteral("Encryption"), QStringLiteral("no")},
                            {QStringLiteral("Status"), QStringLiteral("OK (3 ms)")},
                            {QStringLiteral("Description"), QString()}});
        }
    }
    bytes += event(QStringLiteral("PeerlistComplete"), {{QStringLiteral("ActionID"), frame.actionId},
                                                        {QStringLiteral("EventList"), QStringLiteral("Complete")},
                                                        {QStringLiteral("ListItems"), QString::number(names.size())}});
    return bytes;
}

QByteArray FakeAmiServer::channelList(const Frame &frame) const
{
    QByteArray bytes = response(QStringLiteral("Success"), frame.actionId,
                                {{QStringLiteral("EventList"), QStringLiteral("start")},
                                 {QStringLiteral("Message"), QStringLiteral("Channels will follow")}});
    for (const LiveChannel &channel : m_channels) {
        bytes += event(QStringLiteral("CoreShowChannel"),
                       {{QStringLiteral("ActionID"), frame.actionId},
                        {QStringLiteral("Channel"), channel.name},
                        {QStringLiteral("ChannelState"), QStringLiteral("6")},
                        {QStringLiteral("ChannelStateDesc"), QStringLiteral("Up")},
                        {QStringLiteral("CallerIDNum"), channel.callerIdNum},
                        {QStringLiteral("CallerIDName"), QStringLiteral("<unknown>")},
                        {QStringLiteral("ConnectedLineNum"), QStringLiteral("<unknown>")},
                        {QStringLiteral("ConnectedLineName"), QStringLiteral("<unknown>")},
                        {QStringLiteral("Language"), QStringLiteral("en")},
                        {QStringLiteral("AccountCode"), QString()},
                        {QStringLiteral("Context"), QStringLiteral("from-internal")},
                        {QStringLiteral("Exten"), QString()},
                        {QStringLiteral("Priority"), QStringLiteral("1")},
                        {QStringLiteral("Uniqueid"), channel.uniqueId},
                        {QStringLiteral("Linkedid"), channel.linkedId},
                        {QStringLiteral("Application"), QStringLiteral("AppDial")},
                        {QStringLiteral("ApplicationData"), QStringLiteral("(Outgoing Line)")},
                        {QStringLiteral("Duration"), QStringLiteral("00:00:05")},
                        {QStringLiteral("BridgeId"), QString()}});
    }
    bytes += event(QStringLiteral("CoreShowChannelsComplete"),
                   {{QStringLiteral("ActionID"), frame.actionId},
                    {QStringLiteral("EventList"), QStringLiteral("Complete")},
                    {QStringLiteral("ListItems"), QString::number(m_channels.size())}});
    return bytes;
}

} // namespace Orvix::Tests
