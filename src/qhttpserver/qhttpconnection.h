#pragma once

#include "qhttpserver/qhttprequest.h"
#include "qhttpserver/qhttpresponse.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTimer>

#include <chrono>
#include <memory>

class QTcpSocket;
struct http_parser;
struct http_parser_settings;

// One client connection: parses its requests with http-parser, hands each complete request over
// through newRequest, and writes the answers back in request order (keep-alive and pipelining).
// Bounded: a header block over 64 KiB is answered 431, a body over 16 MiB 413, anything the parser
// refuses 400, a head not complete within the head time-out after its first byte 408, each time
// followed by the close. Counts the open connections of the process per client address, so the
// listeners can turn away the ones over the limits. Owns its socket; deletes itself (deleteLater) once
// the socket is closed. Main thread only.
class QHttpConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxHeaderBytes = 64 * 1024;
    static constexpr qint64 kMaxBodyBytes = 16 * 1024 * 1024;
    // Requests parsed ahead of their answers before the connection stops reading.
    static constexpr int kMaxPipelined = 32;
    // Answers waiting in the socket before the next request is handed over: a client that sends
    // requests and never reads must not make us hold every answer.
    static constexpr qint64 kMaxWriteBacklog = 1024 * 1024;
    static constexpr std::chrono::seconds kIdleTimeout{60};
    // A client that dribbles its head a line at a time must not hold a descriptor for ever.
    static constexpr std::chrono::seconds kHeadTimeout{10};
    // Descriptors are shared with the PBX, database and portal links: one client must not take them all.
    static constexpr int kMaxConnectionsPerAddress = 256;
    static constexpr int kMaxConnections = 2048;

    QHttpConnection(QTcpSocket *socket, bool secure, std::chrono::milliseconds idleTimeout,
                    std::chrono::milliseconds headTimeout, QObject *parent);
    ~QHttpConnection() override;

    // The client's address, an IPv4 address mapped into IPv6 as plain IPv4.
    static QHostAddress clientAddress(const QTcpSocket *socket);
    // Whether one more connection from the address stays within the limits.
    static bool mayOpen(const QHostAddress &client);
    static int openConnections() { return s_open; }
    static int openConnections(const QHostAddress &client) { return s_openPerAddress.value(client); }
    // For tests and benchmarks; the defaults are the constants above.
    static void setConnectionLimits(int perAddress, int total);

    bool isClosing() const { return m_closing; }

Q_SIGNALS:
    void newRequest(QHttpRequest *request, QHttpResponse *response);
    void closed();

private:
    friend class QHttpResponse;
    struct Parser;

    void onReadyRead();
    void onBytesWritten();
    void onDisconnected();
    void onIdleTimeout();
    void onHeadTimeout();
    void parse();
    void fail(int status);
    void deliver();
    // For QHttpResponse: false when the bytes must wait in the answer's own buffer.
    bool writeFor(QHttpResponse *response, const QByteArray &bytes);
    void responseFinished(QHttpResponse *response);
    void closeAfterCurrent(QHttpResponse *response);
    qint64 socketBytesToWrite(const QHttpResponse *response) const;
    qint64 pendingBytes() const;
    void advance();
    void closeSocket();

    // http-parser callbacks
    static const http_parser_settings &parserSettings();
    static int onMessageBegin(http_parser *parser);
    static int onUrl(http_parser *parser, const char *at, size_t length);
    static int onHeaderField(http_parser *parser, const char *at, size_t length);
    static int onHeaderValue(http_parser *parser, const char *at, size_t length);
    static int onHeadersComplete(http_parser *parser);
    static int onBody(http_parser *parser, const char *at, size_t length);
    static int onMessageComplete(http_parser *parser);
    bool countHeaderBytes(size_t length);

    QTcpSocket *m_socket;
    bool m_secure;
    std::unique_ptr<Parser> m_parser;
    QTimer m_idleTimer;
    QTimer m_headTimer; // from the first byte of a head to its end
    QByteArray m_unparsed; // received while reading was paused
    QHostAddress m_client;

    // The message being parsed.
    QByteArray m_method;
    QByteArray m_target;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArray m_field;
    QByteArray m_value;
    bool m_lastWasValue = false;
    QByteArray m_body;
    int m_headerBytes = 0;
    bool m_inMessage = false;
    bool m_inBody = false;

    QList<QHttpResponse *> m_queue; // answers in request order, the first one on the wire
    QList<QHttpResponse *> m_ready; // parsed, not yet handed over
    QHttpResponse *m_closeAfter = nullptr;
    int m_failStatus = 0;
    bool m_closing = false; // no more requests are read
    bool m_paused = false;
    bool m_writeBlocked = false; // requests wait in m_ready until the socket drains
    bool m_gone = false;

    inline static QHash<QHostAddress, int> s_openPerAddress;
    inline static int s_open = 0;
    inline static int s_peak = 0; // since memory was last given back
    inline static int s_maxPerAddress = kMaxConnectionsPerAddress;
    inline static int s_max = kMaxConnections;
};
