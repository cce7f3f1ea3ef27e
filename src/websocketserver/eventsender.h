#pragma once

#include <QJsonValue>
#include <QString>

namespace Orvix::WebSocketServer {

class Server;

// Sends events to every client connected to every running WebSocket server; with no server running
// (the service does not start one) nothing is sent. Main thread only.
class EventSender
{
public:
    static void sendEvent(const QString &name, const QJsonValue &data);
    // The number of clients the next event would reach.
    static int clientCount();

private:
    friend class Server;
    static void addServer(Server *server);
    static void removeServer(Server *server);
};

} // namespace Orvix::WebSocketServer
