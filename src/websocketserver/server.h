#pragma once

#include <QHostAddress>
#include <QList>
#include <QObject>

class QWebSocket;
class QWebSocketServer;

namespace Orvix::WebSocketServer {

// The WebSocket server (the WebServer section's "sockets_port"): answers JSON requests through the
// registered IAction of their "action" name and receives the events of EventSender. Owns its sockets;
// main thread only.
class Server : public QObject
{
    Q_OBJECT

public:
    // Incoming messages above this size close the socket.
    static inline constexpr qint64 kMaxMessageBytes = 1024 * 1024;

    explicit Server(QObject *parent = nullptr);
    ~Server() override;

    // A failure is logged and gives false. Port 0 picks a free one (see port()).
    bool listen(const QHostAddress &address, quint16 port);
    void close();
    quint16 port() const;
    int clientCount() const { return m_clients.size(); }

    // Sends the text to every connected client.
    void broadcast(const QString &message);

Q_SIGNALS:
    void clientConnected();
    void clientDisconnected();

private:
    void onNewConnection();
    void onTextMessage(QWebSocket *socket, const QString &message);
    void onDisconnected(QWebSocket *socket);

    QWebSocketServer *m_server;
    QList<QWebSocket *> m_clients;
};

} // namespace Orvix::WebSocketServer
