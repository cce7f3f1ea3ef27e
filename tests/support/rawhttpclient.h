#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QTcpSocket>

#include <optional>

namespace Orvix::Tests {

// One HTTP answer as read off the wire.
struct RawHttpResponse
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
};

// An HTTP client that writes exactly the bytes it is given (malformed ones included) on one TCP
// connection and reads the answers back one at a time (Content-Length, chunked, or up to the close),
// so tests see keep-alive, pipelining and the server's refusals as a client would.
class RawHttpClient : public QObject
{
    Q_OBJECT

public:
    explicit RawHttpClient(QObject *parent = nullptr);

    bool connectTo(quint16 port);
    void send(const QByteArray &bytes);
    // The next complete answer; nothing when the connection closed first or none came in 10 s. The
    // answer to a HEAD request has a head only.
    std::optional<RawHttpResponse> next(bool headOnly = false);
    // Whether the server closes the connection (within 10 s).
    bool waitClosed();
    bool isConnected() const { return m_socket.state() == QAbstractSocket::ConnectedState; }
    QTcpSocket &socket() { return m_socket; }

private:
    std::optional<RawHttpResponse> parse(bool atEnd, bool headOnly);

    QTcpSocket m_socket;
    QByteArray m_buffer;
};

} // namespace Orvix::Tests
