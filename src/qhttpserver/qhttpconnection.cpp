#include "qhttpconnection.h"

#include "logging.h"
#include "qhttprequest.h"
#include "qhttpresponse.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSslSocket>
#include <QTcpSocket>

#include <http_parser.h>

#include <algorithm>
#include <climits>
#include <utility>

#include <sys/resource.h>
#include <sys/socket.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

struct QHttpConnection::Parser
{
    http_parser parser;
};

namespace {

// Bytes the socket may hold unread while the connection waits for its answers to drain; also what one
// read takes, so that what is read ahead of a pause stays as small.
constexpr qint64 kReadBufferBytes = 16 * 1024;
// The same over TLS, where each read is also copied whole into a buffer of the TLS library that keeps its
// largest size for the connection's life.
constexpr qint64 kTlsReadBufferBytes = 4 * 1024;
// What the TLS socket is given at a time: it encrypts all it holds in one go into such a buffer, which a
// streamed file would leave a third of a MiB large. With its record's overhead a block fills a quarter of
// the 32 KiB blocks in which the socket keeps what waits for the network.
constexpr int kTlsWriteBlock = 8 * 1024 - 32;
// How long a closing connection waits for the client to close its side.
constexpr std::chrono::seconds kLingerTime{2};
// What a client must take within QHttpConnection::kStalledTime for its answers not to count as stalled, or send
// for the request it is sending.
constexpr qint64 kProgressBytes = 16 * 1024;
// How long a connection whose answer is done is kept from being closed to make room (isIdle).
constexpr qint64 kAnsweredGraceMsec = 2000;

// The allocator keeps what a burst of connections freed; once most of them are gone it is handed back,
// a second later so that one pass covers the whole burst.
constexpr int kTrimAfterPeak = 64;
constexpr std::chrono::seconds kTrimDelay{1};
bool g_trimPending = false;

void scheduleTrim()
{
#ifdef __GLIBC__
    if (g_trimPending || !QCoreApplication::instance())
        return;
    g_trimPending = true;
    QTimer::singleShot(kTrimDelay, QCoreApplication::instance(), [] {
        g_trimPending = false;
        malloc_trim(0);
    });
#endif
}

// Grows by a quarter, not to the next power of two: the budget counts what a head or body holds, and
// thousands of them in progress would otherwise hold up to twice that.
void appendGrowing(QByteArray &to, const char *at, size_t length)
{
    const int size = to.size() + static_cast<int>(length);
    if (to.capacity() < size)
        to.reserve(qMax(size, to.size() + to.size() / 4));
    to.append(at, static_cast<int>(length));
}

QHttpConnection *connectionOf(http_parser *parser)
{
    return static_cast<QHttpConnection *>(parser->data);
}

// Takes `count` off the client's entry, which goes once nothing is left.
void uncount(QHash<QHostAddress, int> &counts, const QHostAddress &client, int count)
{
    auto it = counts.find(client);
    if (it != counts.end() && (it.value() -= count) <= 0)
        counts.erase(it);
}

qint64 now()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

} // namespace

QHttpConnection::QHttpConnection(QTcpSocket *socket, bool secure, const Timeouts &timeouts,
                                 const BodyLimit &bodyLimit, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_secure(secure)
    , m_parser(std::make_unique<Parser>())
    , m_bodyLimit(bodyLimit)
    , m_client(clientAddress(socket))
    , m_slots(secure ? kTlsConnectionSlots : 1)
{
    ++s_openPerAddress[m_client];
    s_peak = qMax(s_peak, ++s_open);
    s_slots += m_slots;
    s_connections.insert(this);
    m_lastActive = now();
    m_lastSent = m_lastActive;
    m_socket->setParent(this);
    if (s_sendBufferSize > 0)
        ::setsockopt(static_cast<int>(m_socket->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &s_sendBufferSize,
                     sizeof s_sendBufferSize);
    m_socket->setReadBufferSize(secure ? kTlsReadBufferBytes : kReadBufferBytes);
    http_parser_init(&m_parser->parser, HTTP_REQUEST);
    m_parser->parser.data = this;

    m_idleTimer.setSingleShot(true);
    m_idleTimer.setInterval(timeouts.idle);
    connect(&m_idleTimer, &QTimer::timeout, this, &QHttpConnection::onIdleTimeout);
    m_headTimer.setSingleShot(true);
    m_headTimer.setInterval(timeouts.head);
    connect(&m_headTimer, &QTimer::timeout, this, &QHttpConnection::onRequestTimeout);
    m_requestTimer.setSingleShot(true);
    m_requestTimer.setInterval(timeouts.request);
    connect(&m_requestTimer, &QTimer::timeout, this, &QHttpConnection::onRequestTimeout);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket); tls && !tls->isEncrypted()) {
        // A client that never ends its handshake must not hold a slot until the idle time-out.
        m_handshakeTimer.setSingleShot(true);
        m_handshakeTimer.setInterval(timeouts.handshake);
        connect(&m_handshakeTimer, &QTimer::timeout, this, &QHttpConnection::onHandshakeTimeout);
        connect(tls, &QSslSocket::encrypted, this, &QHttpConnection::endHandshake);
        m_handshakeTimer.start();
        m_handshaking = true;
        ++s_handshakesPerAddress[m_client];
    }
    connect(m_socket, &QTcpSocket::readyRead, this, &QHttpConnection::onReadyRead);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
        // Its plain bytes are taken as they are encrypted, whether or not the client reads them: only what leaves
        // encrypted is the client's progress.
        connect(tls, &QSslSocket::bytesWritten, this, [this] { onBytesWritten(0); });
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &QHttpConnection::onBytesWritten);
    } else {
        connect(m_socket, &QTcpSocket::bytesWritten, this, &QHttpConnection::onBytesWritten);
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &QHttpConnection::onDisconnected);
    m_idleTimer.start();
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        QMetaObject::invokeMethod(this, &QHttpConnection::onDisconnected, Qt::QueuedConnection);
    else if (m_socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &QHttpConnection::onReadyRead, Qt::QueuedConnection);
}

QHttpConnection::~QHttpConnection()
{
    dropMessage();
    release();
}

void QHttpConnection::release()
{
    if (m_released)
        return;
    m_released = true;
    countBodyBytes(m_client, -m_countedUnsent);
    m_countedUnsent = 0;
    s_connections.remove(this);
    endHandshake();
    uncount(s_openPerAddress, m_client, 1);
    --s_open;
    s_slots -= m_slots;
    if (s_peak >= kTrimAfterPeak && s_open <= s_peak / 4) {
        s_peak = s_open;
        scheduleTrim();
    }
}

void QHttpConnection::endHandshake()
{
    m_handshakeTimer.stop();
    m_lastSent = now();
    if (std::exchange(m_handshaking, false))
        uncount(s_handshakesPerAddress, m_client, 1);
}

bool QHttpConnection::isIdle() const
{
    if (m_gone)
        return false;
    const qint64 at = now();
    const qint64 stalledMsec = std::chrono::milliseconds(kStalledTime).count();
    const bool stalled = at - m_lastSent >= stalledMsec;
    if (m_handshaking)
        return stalled;
    // Answers its client has not taken for a while, whole or still streamed: it is the one that holds them up.
    if (unsentBytes() > 0)
        return stalled;
    // A browser sends a head in one go, and a body as fast as the network takes it: a request that trickles in
    // holds no work, whatever the time-outs still allow it. Between requests, the answer just done leaves a moment
    // for the next one (a login's answer to its challenge comes on the connection that had the challenge).
    if (m_inMessage ? at - m_lastReceived < stalledMsec : at - m_answeredAt < kAnsweredGraceMsec)
        return false;
    // A request that only waits out a delay is no work, nor are the answers queued behind it; nor is a request
    // not handed over yet, which waits for its client to read.
    const bool noWork = std::all_of(m_queue.cbegin(), m_queue.cend(), [this](const QHttpResponse *response) {
        return response->isParked() || response->isFinished() || m_ready.contains(const_cast<QHttpResponse *>(response));
    });
    return noWork && !m_closing && m_unparsed.isEmpty() && m_ready.isEmpty();
}

bool QHttpConnection::makeRoom(const QHostAddress &client, bool secure)
{
    // Handshakes are capped only here: a browser opens six connections at once, which an idle server takes.
    if (secure && s_handshakesPerAddress.value(client) >= kMaxHandshakesPerAddress)
        return false;
    // The client's own connections go first: a browser that opens a new one is done with those it leaves idle.
    const auto rank = [&client](const QHttpConnection *connection) {
        return std::make_pair(connection->m_client != client, connection->m_lastActive);
    };
    while (!mayOpen(client, secure)) {
        const bool ownOnly = s_openPerAddress.value(client) >= s_maxPerAddress;
        QHttpConnection *oldest = nullptr;
        for (QHttpConnection *connection : qAsConst(s_connections)) {
            if ((!ownOnly || connection->m_client == client) && connection->isIdle()
                && (!oldest || rank(connection) < rank(oldest)))
                oldest = connection;
        }
        if (!oldest)
            return !ownOnly && takeFromBusiest(client, secure);
        qCDebug(lcQHttpServer) << "closing the connection idle longest, from" << oldest->m_client;
        oldest->abortConnection();
    }
    return true;
}

bool QHttpConnection::takeFromBusiest(const QHostAddress &client, bool secure)
{
    // Connections that never stop making progress hold their slots too: the address holding the most gives up the
    // one that served least recently, whatever it does, so that a few addresses cannot keep all others out. Chosen
    // before any is closed: none goes unless the newcomer gets in.
    QHash<QHostAddress, int> held = s_openPerAddress;
    const int newcomer = held.value(client) + 1;
    QList<QHttpConnection *> taken;
    for (int missing = slotsShort(client, secure); missing > 0;) {
        const auto busiest = std::max_element(held.cbegin(), held.cend());
        if (busiest == held.cend() || busiest.value() <= newcomer)
            return false;
        QHttpConnection *victim = nullptr;
        for (QHttpConnection *connection : qAsConst(s_connections)) {
            if (connection->m_client == busiest.key() && !taken.contains(connection)
                && (!victim || connection->m_lastSent < victim->m_lastSent))
                victim = connection;
        }
        if (!victim)
            return false;
        taken.append(victim);
        --held[victim->m_client];
        missing -= victim->m_slots;
    }
    for (QHttpConnection *victim : qAsConst(taken)) {
        qCDebug(lcQHttpServer) << "closing a connection of the busiest address" << victim->m_client << "for" << client;
        victim->abortConnection();
    }
    return true;
}

void QHttpConnection::abortConnection()
{
    m_closing = true;
    m_socket->abort();
    onDisconnected();
}

int QHttpConnection::answerUnanswered(int status, const QByteArray &contentType, const QByteArray &body)
{
    int answered = 0;
    const QSet<QHttpConnection *> connections = s_connections;
    for (QHttpConnection *connection : connections) {
        if (!s_connections.contains(connection) || connection->m_gone)
            continue;
        const QList<QHttpResponse *> queue = connection->m_queue;
        for (QHttpResponse *response : queue) {
            if (connection->m_ready.contains(response) || response->isHeadWritten() || response->isFinished())
                continue;
            response->setHeader(QByteArrayLiteral("Content-Type"), contentType);
            response->writeHead(status);
            response->end(body);
            ++answered;
        }
    }
    return answered;
}

QHostAddress QHttpConnection::clientAddress(const QTcpSocket *socket)
{
    return clientKey(socket->peerAddress());
}

QHostAddress QHttpConnection::clientKey(const QHostAddress &peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4);
    if (peer.protocol() != QAbstractSocket::IPv6Protocol)
        return peer;
    Q_IPV6ADDR network = peer.toIPv6Address();
    for (int i = 8; i < 16; ++i)
        network[i] = 0;
    return QHostAddress(network);
}

int QHttpConnection::maxConnectionsFor(quint64 descriptorLimit)
{
    if (descriptorLimit <= quint64(kReservedDescriptors) + 2)
        return 1;
    // Connections, even plain ones of a slot each, the newcomers' among them (kNewcomerShare beyond the total).
    const quint64 fit = (descriptorLimit - kReservedDescriptors) / 2;
    return int(qBound<quint64>(1, fit - (fit + kNewcomerShare) / (kNewcomerShare + 1), kMaxConnections));
}

bool QHttpConnection::mayOpen(const QHostAddress &client, bool secure)
{
    return slotsShort(client, secure) <= 0 && s_openPerAddress.value(client) < s_maxPerAddress;
}

int QHttpConnection::slotsShort(const QHostAddress &client, bool secure)
{
    // The limit in force: the listener raised it to the hard one where it could.
    rlimit limit{};
    const int max = getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY
        ? s_max
        : qMin(s_max, maxConnectionsFor(limit.rlim_cur));
    const int total = s_openPerAddress.value(client) == 0 ? max + max / kNewcomerShare : max;
    return s_slots + (secure ? kTlsConnectionSlots : 1) - total;
}

void QHttpConnection::setConnectionLimits(int perAddress, int total)
{
    s_maxPerAddress = perAddress;
    s_max = total;
}

const http_parser_settings &QHttpConnection::parserSettings()
{
    static const http_parser_settings settings = [] {
        http_parser_settings s;
        http_parser_settings_init(&s);
        s.on_message_begin = &QHttpConnection::onMessageBegin;
        s.on_url = &QHttpConnection::onUrl;
        s.on_header_field = &QHttpConnection::onHeaderField;
        s.on_header_value = &QHttpConnection::onHeaderValue;
        s.on_headers_complete = &QHttpConnection::onHeadersComplete;
        s.on_body = &QHttpConnection::onBody;
        s.on_message_complete = &QHttpConnection::onMessageComplete;
        return s;
    }();
    return settings;
}

void QHttpConnection::onReadyRead()
{
    if (m_gone)
        return;
    m_idleTimer.start();
    m_lastActive = now();
    if (m_closing) {
        m_socket->readAll(); // nothing more is answered on this connection
        return;
    }
    // Only between requests: one on its way is read to its end (its head and body are bounded), else its
    // time-outs would run out while we are the ones not reading.
    if (!m_paused && !m_inMessage && mustStopReading())
        m_paused = true;
    if (m_paused)
        return; // left in the socket until the answers ahead drain
    if (!m_inBody && !m_headTimer.isActive()) {
        m_headTimer.start(); // the first byte of a head (or of what should have been one)
        if (!m_requestTimer.isActive())
            m_requestTimer.start();
    }
    const QByteArray received = m_socket->readAll();
    if ((m_receivedSinceStalled += received.size()) >= kProgressBytes) {
        m_receivedSinceStalled = 0;
        m_lastReceived = m_lastActive;
    }
    m_unparsed += received;
    parse();
    deliver();
}

void QHttpConnection::parse()
{
    http_parser *parser = &m_parser->parser;
    const QByteArray data = m_unparsed;
    int offset = 0;
    while (offset < data.size() && !m_paused && !m_closing) {
        const size_t parsed = http_parser_execute(parser, &parserSettings(), data.constData() + offset,
                                                  static_cast<size_t>(data.size() - offset));
        offset += static_cast<int>(parsed);
        const auto error = static_cast<http_errno>(parser->http_errno);
        if (error == HPE_PAUSED) {
            http_parser_pause(parser, 0);
            continue; // the loop condition says whether to go on
        }
        if (error != HPE_OK) {
            qCDebug(lcQHttpServer) << "parse error" << http_errno_name(error) << m_failStatus;
            fail(m_failStatus ? m_failStatus : error == HPE_HEADER_OVERFLOW ? 431 : 400);
            return;
        }
        if (parser->upgrade) {
            // A protocol switch we do not speak: answer what came, then close.
            m_closing = true;
            if (!m_queue.isEmpty())
                m_queue.last()->m_keepAlive = false;
            m_unparsed.clear();
            return;
        }
    }
    // What waits while reading is paused is kept in a block of its own size: the block it was read in may be
    // many times larger, and a connection that is never read from would hold it for as long as it stays.
    if (m_closing || offset >= data.size())
        m_unparsed.clear();
    else if (offset > 0)
        m_unparsed = QByteArray(data.constData() + offset, data.size() - offset);
}

void QHttpConnection::fail(int status)
{
    m_headTimer.stop();
    m_requestTimer.stop();
    m_closing = true;
    m_unparsed.clear();
    m_inMessage = false;
    dropMessage();
    m_target = QByteArray();
    m_headers.clear();
    m_field = QByteArray();
    m_value = QByteArray();
    auto *response = new QHttpResponse(this, nullptr, false, false);
    m_queue.append(response);
    response->setHeader(QByteArrayLiteral("Content-Type"), QByteArrayLiteral("text/plain; charset=utf-8"));
    response->writeHead(status);
    response->end(QHttpResponse::reasonPhrase(status) + '\n');
}

void QHttpConnection::deliver()
{
    while (!m_ready.isEmpty() && !m_gone) {
        if (unsentBytes() > kMaxWriteBacklog) {
            m_writeBlocked = true; // onBytesWritten goes on
            return;
        }
        QHttpResponse *response = m_ready.takeFirst();
        Q_EMIT newRequest(response->request(), response);
    }
    m_ready.clear();
}

bool QHttpConnection::writeFor(QHttpResponse *response, const QByteArray &bytes)
{
    if (m_gone)
        return true;
    if (m_queue.isEmpty() || m_queue.first() != response)
        return false;
    writeToSocket(bytes);
    return true;
}

void QHttpConnection::writeToSocket(const QByteArray &bytes)
{
    if (pendingBytes() == 0) {
        m_lastSent = now(); // the time its client takes is counted from here
        m_sentSinceStalled = 0;
    }
    if (m_secure) {
        m_tlsBacklog.remove(0, std::exchange(m_tlsOffset, 0));
        m_tlsBacklog += bytes;
        encryptNext();
        return;
    }
    // The socket copies a small write into a block of 32 KiB that it keeps for its whole life: thousands of
    // kept-alive connections would hold more that way than all the answers they wait for. What the kernel
    // takes at once goes to it directly; only the rest is left to the socket, behind nothing of its own.
    qint64 sent = 0;
    if (m_socket->bytesToWrite() == 0) {
        const ssize_t written = ::send(static_cast<int>(m_socket->socketDescriptor()), bytes.constData(),
                                       static_cast<size_t>(bytes.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (written > 0) {
            sent = written;
            m_lastSent = now();
            if (!m_writtenQueued) {
                m_writtenQueued = true;
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        m_writtenQueued = false;
                        if (!m_gone)
                            onBytesWritten(0);
                    },
                    Qt::QueuedConnection);
            }
        }
    }
    if (sent < bytes.size())
        m_socket->write(sent == 0 ? bytes : bytes.mid(static_cast<int>(sent)));
}

void QHttpConnection::encryptNext()
{
    // The next block once the socket has encrypted the last one (kTlsWriteBlock), handed to the kernel at once while
    // it takes them, as plain answers are: a client that shuts its side after its requests has its connection
    // closed as soon as that is read, with what still waited for the next turn of the event loop.
    if (std::exchange(m_encrypting, true))
        return; // again from the signals of the flush below
    const auto *tls = qobject_cast<const QSslSocket *>(m_socket); // none where tests count plain bytes as TLS
    bool taken = true;
    while (taken && !m_gone && m_tlsOffset < m_tlsBacklog.size() && m_socket->bytesToWrite() == 0) {
        const int block = qMin(m_tlsBacklog.size() - m_tlsOffset, kTlsWriteBlock);
        m_socket->write(m_tlsBacklog.constData() + m_tlsOffset, block);
        m_tlsOffset += block;
        if (m_tlsOffset == m_tlsBacklog.size()) {
            m_tlsBacklog = QByteArray();
            m_tlsOffset = 0;
        }
        m_socket->flush();
        taken = (tls ? tls->encryptedBytesToWrite() : m_socket->bytesToWrite()) == 0;
    }
    m_encrypting = false;
}

qint64 QHttpConnection::socketBytesToWrite(const QHttpResponse *response) const
{
    if (m_gone || m_queue.isEmpty() || m_queue.first() != response)
        return 0;
    return pendingBytes();
}

qint64 QHttpConnection::unsentBytes() const
{
    qint64 unsent = m_gone ? 0 : pendingBytes();
    for (const QHttpResponse *response : m_queue)
        unsent += response->m_buffer.size();
    return unsent;
}

void QHttpConnection::recountUnsent()
{
    if (m_released)
        return;
    const qint64 unsent = unsentBytes();
    countBodyBytes(m_client, unsent - m_countedUnsent);
    m_countedUnsent = unsent;
}

bool QHttpConnection::budgetSpent(const QHostAddress &client)
{
    return s_bodyBytes > s_bodyBudget || s_bodyBytesPerClient.value(client) > s_bodyBudget / kBodyBudgetShares;
}

bool QHttpConnection::mustStopReading() const
{
    if (m_queue.size() >= kMaxPipelined || m_queuedBytes + unsentBytes() > kMaxHeldBytes)
        return true;
    // With nothing of its own waiting (no request, no answer its client has not taken yet) it reads on, so
    // that every connection gets its turn.
    return (!m_queue.isEmpty() || unsentBytes() > 0) && budgetSpent(m_client);
}

void QHttpConnection::resumeIfRoom()
{
    if (!m_paused || m_gone || mustStopReading())
        return;
    m_paused = false;
    // Not from here: we may be inside an answer's end() or inside deliver().
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_gone || m_paused)
                return;
            parse();
            deliver();
            if (!m_paused && m_socket->bytesAvailable() > 0)
                onReadyRead();
        },
        Qt::QueuedConnection);
}

qint64 QHttpConnection::pendingBytes() const
{
    qint64 pending = m_socket->bytesToWrite() + m_tlsBacklog.size() - m_tlsOffset;
    // TLS encrypts what it is given at once: what waits for the network is in the encrypted buffer.
    if (const auto *tls = qobject_cast<const QSslSocket *>(m_socket))
        pending += tls->encryptedBytesToWrite();
    return pending;
}

void QHttpConnection::responseFinished(QHttpResponse *response)
{
    if (!m_queue.isEmpty() && m_queue.first() == response)
        advance();
}

void QHttpConnection::closeAfterCurrent(QHttpResponse *response)
{
    m_closing = true;
    m_unparsed.clear();
    if (!m_closeAfter)
        m_closeAfter = response;
}

void QHttpConnection::advance()
{
    while (!m_queue.isEmpty() && m_queue.first()->isFinished()) {
        QHttpResponse *done = m_queue.takeFirst();
        if (done->request())
            m_queuedBytes -= done->request()->m_budgetedBytes;
        done->deleteLater();
        if (done == m_closeAfter) {
            closeSocket();
            return;
        }
        if (!m_queue.isEmpty() && !m_queue.first()->m_buffer.isEmpty()) {
            QHttpResponse *next = m_queue.first();
            writeToSocket(next->m_buffer);
            next->m_buffer.clear();
        }
    }
    if (m_queue.isEmpty()) {
        m_idleTimer.start();
        m_lastActive = now();
        m_answeredAt = m_lastActive;
    }
    recountUnsent();
    resumeIfRoom();
}

void QHttpConnection::closeSocket()
{
    m_closing = true;
    m_closeWhenWritten = true;
    closeIfSent();
}

void QHttpConnection::closeIfSent()
{
    if (m_gone || m_halfClosed || !m_closeWhenWritten || pendingBytes() > 0)
        return;
    if (!m_secure) {
        halfClose();
        return;
    }
    // TLS says the plain bytes are written before it hands their records to the socket: were the socket shut
    // now, the last answer would never leave. Once that is done, whatever still waits shows in pendingBytes.
    if (std::exchange(m_closeQueued, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_closeQueued = false;
            if (!m_gone && !m_halfClosed && pendingBytes() == 0)
                halfClose();
        },
        Qt::QueuedConnection);
}

void QHttpConnection::halfClose()
{
    // The client may still be sending a body we refused: a close with its bytes unread would reset the
    // connection and lose the answer on its way. Say we are done, drop what still comes, and close when
    // the client does or the linger time has passed.
    m_halfClosed = true;
    ::shutdown(static_cast<int>(m_socket->socketDescriptor()), SHUT_WR);
    QTimer::singleShot(kLingerTime, this, [this] {
        if (m_gone)
            return;
        m_socket->abort();
        onDisconnected();
    });
}

void QHttpConnection::onBytesWritten(qint64 bytes)
{
    if (m_secure)
        encryptNext();
    m_idleTimer.start();
    m_lastActive = now();
    // A client that takes a few bytes now and then, to keep its answers from counting as stalled, takes too few.
    if ((m_sentSinceStalled += bytes) >= kProgressBytes) {
        m_sentSinceStalled = 0;
        m_lastSent = m_lastActive;
    }
    recountUnsent();
    if (m_closeWhenWritten) {
        closeIfSent();
        return;
    }
    if (!m_queue.isEmpty())
        Q_EMIT m_queue.first()->bytesWritten();
    if (m_writeBlocked && !m_gone && unsentBytes() <= kMaxWriteBacklog) {
        m_writeBlocked = false;
        deliver();
    }
    resumeIfRoom();
}

void QHttpConnection::onDisconnected()
{
    if (m_gone)
        return;
    m_gone = true;
    m_idleTimer.stop();
    m_headTimer.stop();
    m_requestTimer.stop();
    m_handshakeTimer.stop();
    dropMessage();
    m_tlsBacklog = QByteArray();
    m_tlsOffset = 0;
    release(); // its descriptor is closed: the slot is free now
    const QList<QHttpResponse *> pending = m_queue;
    for (QHttpResponse *response : pending) {
        response->m_clientGone = true;
        Q_EMIT response->clientGone();
    }
    Q_EMIT closed();
    deleteLater();
}

void QHttpConnection::onIdleTimeout()
{
    if (m_gone)
        return;
    if (!m_queue.isEmpty() && pendingBytes() == 0) {
        m_idleTimer.start(); // an answer is still being worked on
        return;
    }
    // Otherwise nothing came, or what we wrote has not moved: a client that stopped reading.
    qCDebug(lcQHttpServer) << "closing idle connection from" << m_socket->peerAddress();
    abortConnection();
}

void QHttpConnection::onHandshakeTimeout()
{
    if (m_gone)
        return;
    qCDebug(lcQHttpServer) << "TLS handshake not done in time from" << m_client;
    abortConnection();
}

void QHttpConnection::onRequestTimeout()
{
    if (m_gone || m_closing)
        return;
    qCDebug(lcQHttpServer) << "request not complete in time from" << m_client;
    fail(408);
}

void QHttpConnection::dropMessage()
{
    countBodyBytes(m_client, -(m_body.size() + m_headerBytes));
    m_body = QByteArray();
    m_headerBytes = 0;
}

void QHttpConnection::countBodyBytes(const QHostAddress &client, qint64 bytes)
{
    if (bytes == 0)
        return;
    s_bodyBytes += bytes;
    qint64 &held = s_bodyBytesPerClient[client];
    held += bytes;
    if (held <= 0)
        s_bodyBytesPerClient.remove(client);
}

bool QHttpConnection::countHeaderBytes(size_t length)
{
    // Counted as they come, not when the head is whole: thousands of connections each amid a large head
    // would otherwise hold more than the budget without being counted at all.
    const int bytes = static_cast<int>(qMin<size_t>(length, kMaxHeaderBytes + 1));
    m_headerBytes += bytes;
    countBodyBytes(m_client, bytes);
    if (m_headerBytes > kMaxHeaderBytes) {
        m_failStatus = 431;
        return false;
    }
    if (m_headerBytes > kSmallHeadBytes && budgetSpent(m_client)) {
        qCDebug(lcQHttpServer) << "budget spent, refusing a large head from" << m_client;
        m_failStatus = 503;
        return false;
    }
    return true;
}

int QHttpConnection::onMessageBegin(http_parser *parser)
{
    QHttpConnection *self = connectionOf(parser);
    self->m_method.clear();
    self->m_target.clear();
    self->m_headers.clear();
    self->m_field.clear();
    self->m_value.clear();
    self->dropMessage();
    self->m_lastWasValue = false;
    self->m_inMessage = true;
    self->m_inBody = false;
    self->m_lastReceived = now(); // the time its client takes to send it is counted from here
    self->m_receivedSinceStalled = 0;
    if (!self->m_headTimer.isActive())
        self->m_headTimer.start();
    if (!self->m_requestTimer.isActive())
        self->m_requestTimer.start();
    return 0;
}

int QHttpConnection::onUrl(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *self = connectionOf(parser);
    if (!self->countHeaderBytes(length))
        return -1;
    appendGrowing(self->m_target, at, length);
    return 0;
}

int QHttpConnection::onHeaderField(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *self = connectionOf(parser);
    // Each line also costs its separator and line end, so a flood of empty headers is bounded too.
    if (!self->countHeaderBytes(length + (self->m_lastWasValue || self->m_field.isEmpty() ? 4 : 0)))
        return -1;
    // Each field also costs its own allocations, many times what a short one takes on the wire.
    if (self->m_lastWasValue && self->m_headers.size() + 1 >= kMaxHeaderFields) {
        self->m_failStatus = 431;
        return -1;
    }
    if (self->m_lastWasValue) {
        self->m_headers.append({self->m_field, self->m_value});
        self->m_field.clear();
        self->m_value.clear();
        self->m_lastWasValue = false;
    }
    appendGrowing(self->m_field, at, length);
    return 0;
}

int QHttpConnection::onHeaderValue(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *self = connectionOf(parser);
    if (!self->countHeaderBytes(length))
        return -1;
    appendGrowing(self->m_value, at, length);
    self->m_lastWasValue = true;
    return 0;
}

int QHttpConnection::onHeadersComplete(http_parser *parser)
{
    QHttpConnection *self = connectionOf(parser);
    if (!self->m_field.isEmpty())
        self->m_headers.append({self->m_field, self->m_value});
    self->m_field.clear();
    self->m_value.clear();
    self->m_headTimer.stop();
    self->m_inBody = true;
    self->m_method = http_method_str(static_cast<http_method>(parser->method));
    self->m_maxBody = self->m_bodyLimit ? qMin(self->m_bodyLimit(self->m_method, self->m_target), kMaxBodyBytes)
                                        : kDefaultBodyBytes;
    // What a head declares is only refused or believed: memory is taken as the bytes come.
    if (parser->content_length != ULLONG_MAX && parser->content_length > static_cast<quint64>(self->m_maxBody)) {
        self->m_failStatus = 413;
        return -1;
    }
    for (const auto &header : qAsConst(self->m_headers)) {
        if (qstricmp(header.first.constData(), "Expect") == 0
            && qstricmp(header.second.trimmed().constData(), "100-continue") == 0 && self->m_queue.isEmpty()
            && parser->http_minor >= 1) {
            // The client waits for this before it sends the body; only safe with nothing ahead of it.
            self->writeToSocket(QByteArrayLiteral("HTTP/1.1 100 Continue\r\n\r\n"));
        }
    }
    return 0;
}

int QHttpConnection::onBody(http_parser *parser, const char *at, size_t length)
{
    QHttpConnection *self = connectionOf(parser);
    const auto bytes = static_cast<qint64>(length);
    if (self->m_body.size() + bytes > self->m_maxBody) {
        self->m_failStatus = 413;
        return -1;
    }
    // A route that takes more than the share still gets one whole body; a small body always gets through.
    const qint64 share = qMax(s_bodyBudget / kBodyBudgetShares, self->m_maxBody);
    if (self->m_body.size() + bytes > kSmallBodyBytes
        && (s_bodyBytes + bytes > s_bodyBudget || s_bodyBytesPerClient.value(self->m_client) + bytes > share)) {
        qCDebug(lcQHttpServer) << "body budget spent, refusing a body from" << self->m_client;
        self->m_failStatus = 503;
        return -1;
    }
    appendGrowing(self->m_body, at, length);
    countBodyBytes(self->m_client, bytes);
    return 0;
}

int QHttpConnection::onMessageComplete(http_parser *parser)
{
    QHttpConnection *self = connectionOf(parser);
    auto *request = new QHttpRequest(nullptr);
    request->m_method = self->m_method;
    request->m_target = std::move(self->m_target);
    request->m_headers = std::move(self->m_headers);
    // What the message counted in the budget is the request's now.
    request->m_budgetedBytes = self->m_body.size() + self->m_headerBytes;
    self->m_headerBytes = 0;
    request->m_budgetClient = self->m_client;
    request->m_body = std::move(self->m_body);
    request->m_major = parser->http_major;
    request->m_minor = parser->http_minor;
    request->m_remoteAddress = self->m_socket->peerAddress();
    request->m_remotePort = self->m_socket->peerPort();
    request->m_localAddress = self->m_socket->localAddress();
    request->m_secure = self->m_secure;
    self->m_target.clear();
    self->m_headers.clear();
    self->m_body = QByteArray();
    self->m_inMessage = false;
    self->m_inBody = false;
    self->m_requestTimer.stop();

    const bool keepAlive = http_should_keep_alive(parser) != 0;
    auto *response = new QHttpResponse(self, request, keepAlive, parser->method == HTTP_HEAD);
    self->m_queue.append(response);
    self->m_ready.append(response);
    self->m_queuedBytes += request->m_budgetedBytes;
    if (!keepAlive) {
        self->m_closing = true;
        http_parser_pause(parser, 1);
    } else if (self->mustStopReading()) {
        self->m_paused = true;
        http_parser_pause(parser, 1);
    }
    return 0;
}
