#pragma once

#include "qhttpserver/qhttprequest.h"
#include "qhttpserver/qhttpresponse.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QTimer>

#include <chrono>
#include <functional>
#include <limits>
#include <memory>

class QTcpSocket;
struct http_parser;
struct http_parser_settings;

// One client connection: parses its requests with http-parser, hands each complete request over
// through newRequest, and writes the answers back in request order (keep-alive and pipelining).
// Bounded: a header block over 64 KiB or 100 fields is answered 431, a body over the limit of its route
// 413 (at once, by what the head declares when it declares it), a body past 16 KiB that would take the
// process over its budget of buffered bytes, or its client over its share of it, 503, anything the parser
// refuses 400, a head not complete within the head time-out or a whole request not within the request
// time-out after its first byte 408, each time followed by the close. The budget counts the heads (from
// their first byte) and bodies of requests and the answers not yet sent; a head past 16 KiB is refused (503)
// while it is spent, and a connection stops reading while it holds more than a little, or while the budget
// is spent and its client has not taken its last answer, so a client that sends and never reads holds little.
// A TLS handshake not done within its time-out is dropped. Counts the open connections of the process per
// client (IPv6 per /64), in all as slots (kTlsConnectionSlots), and the TLS handshakes in progress per client,
// so the listeners can turn away the ones over the limits or make room by closing the connections idle longest, or
// those of the address that holds the most.
// Owns its socket; deletes itself (deleteLater) once the socket is closed. Main thread only.
class QHttpConnection : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxHeaderBytes = 64 * 1024;
    static constexpr int kMaxHeaderFields = 100;
    // A route takes the default unless it says it needs more; none may go past the ceiling.
    static constexpr qint64 kDefaultBodyBytes = 1024 * 1024;
    static constexpr qint64 kMaxBodyBytes = 16 * 1024 * 1024;
    // Bytes all connections together may hold for their clients: heads and bodies from their first byte
    // until the request is gone, and answers until the socket has sent them.
    static constexpr qint64 kBodyBudget = 64 * 1024 * 1024;
    // A body this small is never refused for lack of budget: the portal's events and the saves must get
    // through while others hold large bodies.
    static constexpr qint64 kSmallBodyBytes = 16 * 1024;
    // The same for a head: larger ones are refused (503) while the budget is spent.
    static constexpr int kSmallHeadBytes = 16 * 1024;
    // One client (as counted for the connection limits) holds at most this share of it, or one body of its
    // route's limit: bodies it trickles or leaves queued behind slow answers must not leave the portal's
    // events without room.
    static constexpr int kBodyBudgetShares = 8;
    // Requests parsed ahead of their answers before the connection stops reading.
    static constexpr int kMaxPipelined = 32;
    // Heads and bodies of requests parsed ahead of their answers before the connection stops reading.
    static constexpr qint64 kMaxHeldBytes = 64 * 1024;
    // Answers not yet sent before the connection stops reading and no next request is handed over: a
    // client that sends requests and never reads must not make us hold every answer.
    static constexpr qint64 kMaxWriteBacklog = 64 * 1024;
    static constexpr std::chrono::seconds kIdleTimeout{60};
    // A client that dribbles its head a line at a time must not hold a descriptor for ever.
    static constexpr std::chrono::seconds kHeadTimeout{10};
    // The same for a whole request, head and body: the idle timer restarts on every byte.
    static constexpr std::chrono::seconds kRequestTimeout{30};
    static constexpr std::chrono::seconds kHandshakeTimeout{10};
    // Descriptors are shared with the PBX, database and portal links: one client must not take them all.
    static constexpr int kMaxConnectionsPerAddress = 32;
    static constexpr int kMaxConnections = 2048;
    // Slots beyond the total for a client that holds none (the portal, the administrator), however the others
    // hold theirs: a 128th of the total.
    static constexpr int kNewcomerShare = 128;
    // TLS handshakes in progress per client when room must be made (makeRoom): each holds its slots until its
    // time-out, and no request shows.
    static constexpr int kMaxHandshakesPerAddress = 4;
    // A handshake, or an answer its client does not take, that has not moved for this long holds no work: the
    // connection may be closed to make room.
    static constexpr std::chrono::seconds kStalledTime{3};
    // Of kMaxConnections, what a connection over TLS takes: its TLS library and the socket around it keep
    // some 150 KiB of buffers outside the budget, and one whose client never reads holds four times what a
    // plain one does in all.
    static constexpr int kTlsConnectionSlots = 4;
    // Descriptors kept for the PBX, database and portal links, the log and the customisation script.
    static constexpr int kReservedDescriptors = 128;

    // The body limit of a request, by its method and target; kDefaultBodyBytes when not set.
    using BodyLimit = std::function<qint64(const QByteArray &method, const QByteArray &target)>;

    struct Timeouts
    {
        std::chrono::milliseconds idle{kIdleTimeout};
        std::chrono::milliseconds head{kHeadTimeout};
        std::chrono::milliseconds request{kRequestTimeout};
        std::chrono::milliseconds handshake{kHandshakeTimeout};
    };

    QHttpConnection(QTcpSocket *socket, bool secure, const Timeouts &timeouts, const BodyLimit &bodyLimit,
                    QObject *parent);
    ~QHttpConnection() override;

    // The client as counted: an IPv4 address mapped into IPv6 as plain IPv4; an IPv6 address as its /64
    // network, which one subscriber usually holds whole.
    static QHostAddress clientAddress(const QTcpSocket *socket);
    static QHostAddress clientKey(const QHostAddress &peer);
    // Whether one more connection from the client (over TLS when secure) stays within the limits of slots.
    static bool mayOpen(const QHostAddress &client, bool secure = false);
    // Closes the connections that have waited longest for their next request (or their first), which hold no work
    // (a parked request is none, nor a request trickling in, a stalled answer or handshake, nor an answer just
    // done), the client's own first and only those when it holds its share, until there is room, and says whether
    // there is. Short of those, the address that holds the most connections, more than the client would, gives up
    // the ones that served least recently, busy or not. A client amid kMaxHandshakesPerAddress handshakes gets none.
    static bool makeRoom(const QHostAddress &client, bool secure = false);
    static int openConnections() { return s_open; }
    static int openConnections(const QHostAddress &client) { return s_openPerAddress.value(client); }
    // For tests at a real MTU: the kernel's send buffer of each connection accepted after this, in bytes (0: the
    // kernel's own size).
    static void setSendBufferSize(int bytes) { s_sendBufferSize = bytes; }
    // For tests and benchmarks; the defaults are the constants above. The total (in slots) never goes past
    // what the descriptor limit in force allows (maxConnectionsFor).
    static void setConnectionLimits(int perAddress, int total);
    // The total that fits a descriptor limit: each connection may hold a second descriptor for a file it
    // streams, the newcomers' slots beyond the total are connections too, and the reserve stays free.
    static int maxConnectionsFor(quint64 descriptorLimit);
    // Bytes counted in the budget: heads, bodies and unsent answers.
    static qint64 bufferedBytes() { return s_bodyBytes; }
    static qint64 bufferedBytes(const QHostAddress &client) { return s_bodyBytesPerClient.value(client); }
    // For tests; the default is kBodyBudget.
    static void setBodyBudget(qint64 bytes) { s_bodyBudget = bytes; }
    // Answers every request handed over and not answered yet (nor begun) with the status and body, as the
    // service stops; gives how many.
    static int answerUnanswered(int status, const QByteArray &contentType, const QByteArray &body);

    bool isClosing() const { return m_closing; }

Q_SIGNALS:
    void newRequest(QHttpRequest *request, QHttpResponse *response);
    void closed();

private:
    friend class QHttpResponse;
    struct Parser;

    void onReadyRead();
    void onBytesWritten(qint64 bytes);
    void onDisconnected();
    void onIdleTimeout();
    void onRequestTimeout();
    void onHandshakeTimeout();
    // Waiting for a request, with nothing parsed, queued (but requests parked, QHttpResponse::setParked) or unsent;
    // or stalled on its client (kStalledTime): in its handshake, or with answers it does not take.
    bool isIdle() const;
    static bool takeFromBusiest(const QHostAddress &client, bool secure);
    // Slots one more connection of the client lacks; 0 or less when it fits.
    static int slotsShort(const QHostAddress &client, bool secure);
    void abortConnection();
    void endHandshake();
    void parse();
    void fail(int status);
    void deliver();
    // For QHttpResponse: false when the bytes must wait in the answer's own buffer.
    bool writeFor(QHttpResponse *response, const QByteArray &bytes);
    void writeToSocket(const QByteArray &bytes);
    void encryptNext();
    void responseFinished(QHttpResponse *response);
    void closeAfterCurrent(QHttpResponse *response);
    qint64 socketBytesToWrite(const QHttpResponse *response) const;
    qint64 pendingBytes() const;
    // Answers not yet handed to the network: in the socket and in the buffers of later answers.
    qint64 unsentBytes() const;
    void recountUnsent();
    bool mustStopReading() const;
    static bool budgetSpent(const QHostAddress &client);
    void resumeIfRoom();
    void release();
    void advance();
    void closeSocket();
    // Half-closes once nothing is left to send, encrypted or plain.
    void closeIfSent();
    void halfClose();

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
    // What the message being parsed holds leaves the budget: its head and body so far.
    void dropMessage();
    friend class QHttpRequest;
    static void countBodyBytes(const QHostAddress &client, qint64 bytes);

    QTcpSocket *m_socket;
    bool m_secure;
    std::unique_ptr<Parser> m_parser;
    QTimer m_idleTimer;
    QTimer m_headTimer; // from the first byte of a head to its end
    QTimer m_requestTimer; // from the first byte of a head to the end of its body
    QTimer m_handshakeTimer; // from the accept to the end of the TLS handshake
    BodyLimit m_bodyLimit;
    QByteArray m_unparsed; // received while reading was paused
    QHostAddress m_client;
    qint64 m_lastActive = 0; // when bytes last moved either way, in ms of a process-wide clock
    qint64 m_lastSent = 0; // when the accept was, or bytes last left, or the first of those waiting was written
    qint64 m_sentSinceStalled = 0; // bytes that left since m_lastSent
    qint64 m_lastReceived = 0; // when the request being received began, or its bytes last came kProgressBytes at once
    qint64 m_receivedSinceStalled = 0; // bytes that came since m_lastReceived
    // When its last answer was done, none waiting after it.
    qint64 m_answeredAt = std::numeric_limits<qint64>::min() / 2;
    qint64 m_queuedBytes = 0; // heads and bodies of the requests in m_queue
    qint64 m_countedUnsent = 0; // of the unsent answers, in the budget
    bool m_released = false; // no longer counted among the open connections
    bool m_handshaking = false; // counted in s_handshakesPerAddress
    int m_slots; // of the total, 1 or kTlsConnectionSlots

    // The message being parsed.
    QByteArray m_method;
    QByteArray m_target;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArray m_field;
    QByteArray m_value;
    bool m_lastWasValue = false;
    QByteArray m_body;
    qint64 m_maxBody = kDefaultBodyBytes;
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
    bool m_closeWhenWritten = false;
    bool m_halfClosed = false;
    bool m_closeQueued = false;
    bool m_writtenQueued = false; // onBytesWritten is due for bytes the kernel took directly
    QByteArray m_tlsBacklog; // answers not yet given to the TLS socket, from m_tlsOffset on
    int m_tlsOffset = 0;
    bool m_encrypting = false; // in encryptNext

    inline static QHash<QHostAddress, int> s_openPerAddress;
    inline static QHash<QHostAddress, int> s_handshakesPerAddress;
    inline static int s_sendBufferSize = 0;
    inline static QSet<QHttpConnection *> s_connections;
    inline static int s_open = 0;
    inline static int s_slots = 0; // taken of s_max
    inline static int s_peak = 0; // since memory was last given back
    inline static int s_maxPerAddress = kMaxConnectionsPerAddress;
    inline static int s_max = kMaxConnections;
    inline static qint64 s_bodyBytes = 0;
    inline static QHash<QHostAddress, qint64> s_bodyBytesPerClient;
    inline static qint64 s_bodyBudget = kBodyBudget;
};
