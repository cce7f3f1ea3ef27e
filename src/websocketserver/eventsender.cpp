#include "eventsender.h"

#include "envelope.h"
#include "logging.h"
#include "server.h"

#include <QJsonDocument>
#include <QList>

namespace Orvix::WebSocketServer {

namespace {

QList<Server *> &servers()
{
    static QList<Server *> list;
    return list;
}

} // namespace

void EventSender::sendEvent(const QString &name, const QJsonValue &data)
{
    if (clientCount() == 0)
        return;
    const QString message =
        QString::fromUtf8(QJsonDocument(Envelope::event(name, data)).toJson(QJsonDocument::Compact));
    qCDebug(lcWebSocketServer) << "event" << name << "to" << clientCount() << "clients";
    for (Server *server : qAsConst(servers()))
        server->broadcast(message);
}

int EventSender::clientCount()
{
    int count = 0;
    for (Server *server : qAsConst(servers()))
        count += server->clientCount();
    return count;
}

void EventSender::addServer(Server *server)
{
    if (!servers().contains(server))
        servers().append(server);
}

void EventSender::removeServer(Server *server)
{
    servers().removeAll(server);
}

} // namespace Orvix::WebSocketServer
