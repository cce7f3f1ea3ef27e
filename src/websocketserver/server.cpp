#include "server.h"

#include "envelope.h"
#include "eventsender.h"
#include "iaction.h"
#include "logging.h"

#include <QJsonDocument>
#include <QPointer>
#include <QWebSocket>
#include <QWebSocketServer>

namespace Orvix::WebSocketServer {

namespace {

void sendJson(QWebSocket *socket, const QJsonObject &object)
{
    socket->sendTextMessage(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
}

} // namespace

Server::Server(QObject *parent)
    : QObject(parent)
    , m_server(new QWebSocketServer(QStringLiteral("calvena"), QWebSocketServer::NonSecureMode, this))
{
    connect(m_server, &QWebSocketServer::newConnection, this, &Server::onNewConnection);
    EventSender::addServer(this);
}

Server::~Server()
{
    EventSender::removeServer(this);
}

bool Server::listen(const QHostAddress &address, quint16 port)
{
    if (!m_server->listen(address, port)) {
        qWarning().noquote() << QStringLiteral("WebSocket server cannot listen on %1:%2: %3")
                                    .arg(address.toString())
                                    .arg(port)
                                    .arg(m_server->errorString());
        return false;
    }
    qInfo().noquote()
        << QStringLiteral("WebSocket server listening on %1:%2").arg(address.toString()).arg(m_server->serverPort());
    return true;
}

void Server::close()
{
    m_server->close();
    const QList<QWebSocket *> clients = m_clients;
    for (QWebSocket *socket : clients)
        socket->close();
}

quint16 Server::port() const
{
    return m_server->isListening() ? m_server->serverPort() : 0;
}

void Server::broadcast(const QString &message)
{
    for (QWebSocket *socket : qAsConst(m_clients))
        socket->sendTextMessage(message);
}

void Server::onNewConnection()
{
    while (QWebSocket *socket = m_server->nextPendingConnection()) {
        socket->setParent(this);
        socket->setMaxAllowedIncomingMessageSize(kMaxMessageBytes);
        // Else one frame that claims gigabytes is read whole before the message size is looked at.
        socket->setMaxAllowedIncomingFrameSize(kMaxMessageBytes);
        m_clients.append(socket);
        connect(socket, &QWebSocket::textMessageReceived, this,
                [this, socket](const QString &message) { onTextMessage(socket, message); });
        connect(socket, &QWebSocket::binaryMessageReceived, this, [socket](const QByteArray &) {
            sendJson(socket, Envelope::error(QString(), QJsonValue::Undefined,
                                             ActionResult::Error{QStringLiteral("Binary messages are not supported")}
                                                 .toJson()));
        });
        connect(socket, &QWebSocket::disconnected, this, [this, socket] { onDisconnected(socket); });
        qCDebug(lcWebSocketServer) << "client connected from" << socket->peerAddress();
        Q_EMIT clientConnected();
    }
}

void Server::onTextMessage(QWebSocket *socket, const QString &message)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        sendJson(socket, Envelope::error(QString(), QJsonValue::Undefined,
                                         ActionResult::Error{QStringLiteral("The request is not a JSON object")}.toJson()));
        return;
    }
    const QJsonObject request = document.object();
    const QString name = request.value(QStringLiteral("action")).toString();
    const QJsonValue id = request.value(QStringLiteral("id"));
    const QJsonValue data = request.value(QStringLiteral("data"));
    if (!data.isUndefined() && !data.isNull() && !data.isObject()) {
        sendJson(socket, Envelope::error(name, id, ActionResult::Error{QStringLiteral("\"data\" must be an object")}.toJson()));
        return;
    }
    IAction *action = IAction::find(name);
    if (!action) {
        sendJson(socket, Envelope::error(name, id, ActionResult::Error{QStringLiteral("Unknown action: %1").arg(name)}.toJson()));
        return;
    }
    const QPointer<QWebSocket> target(socket);
    action->execute(data.toObject())
        .onResolve([target, name, id](const ActionResult &result) {
            if (target) // the client may have gone meanwhile
                sendJson(target, Envelope::response(name, id, result.data()));
        })
        .onReject([target, name, id](const ActionResult::Error &error) {
            if (target)
                sendJson(target, Envelope::error(name, id, error.toJson()));
        });
}

void Server::onDisconnected(QWebSocket *socket)
{
    m_clients.removeAll(socket);
    socket->deleteLater();
    qCDebug(lcWebSocketServer) << "client disconnected";
    Q_EMIT clientDisconnected();
}

} // namespace Orvix::WebSocketServer
