#include "networkreplywaiter.h"

#include "httpclient/logging.h"
#include "httpclient/peerconnections.h"

#include <QElapsedTimer>
#include <QHostInfo>

#include <algorithm>
#include <chrono>
#include <utility>

namespace Orvix::HttpClient {

namespace {

// How often the connections of a request still waiting for its head are looked at. The first look, a tick after
// the request went, only notes what they took so far: a head that comes within a tick (nearly every one) costs
// no look at the process's descriptors. A head past the limit is cut at the second look that finds it so:
// overtaken by a few MiB at most, never held for long.
constexpr std::chrono::milliseconds kHeadWatchInterval{100};

// The waiters alive, to tell whose bytes a shared peer's connections took. Main thread.
QList<NetworkReplyWaiter *> &waiters()
{
    static QList<NetworkReplyWaiter *> list;
    return list;
}

// The descriptors of each peer's connections ("host:port"), and when they were found: the process's descriptors are
// looked through for them at most once a second, not at each look of each waiter, so that a full front end does not
// slow the portal's requests. Main thread.
struct PeerDescriptors
{
    QVector<int> descriptors;
    QElapsedTimer found;
};

QHash<QString, PeerDescriptors> &peerDescriptors()
{
    static QHash<QString, PeerDescriptors> peers;
    return peers;
}

int defaultPort(const QUrl &url)
{
    return url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
}

} // namespace

NetworkReplyWaiter::NetworkReplyWaiter(QSharedPointer<Response> response)
    : m_response(std::move(response))
{
    waiters().append(this);
    m_went.start();
    QNetworkReply *reply = m_response->reply();
    // Settled on finished only: an HTTP error status also raises errorOccurred, and settling there
    // could hand out a body that has not fully arrived.
    connect(reply, &QNetworkReply::finished, this, &NetworkReplyWaiter::onFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &NetworkReplyWaiter::onError);
    connect(reply, &QObject::destroyed, this, &NetworkReplyWaiter::onFinished);
    connect(reply, &QNetworkReply::redirected, this, &NetworkReplyWaiter::onRedirected);
    connect(reply, &QNetworkReply::metaDataChanged, this, &NetworkReplyWaiter::onHeadCame);

    const Request request = m_response->request();
    const auto deadline = request.answerDeadline();
    if (deadline.count() > 0) {
        m_deadline.setSingleShot(true);
        m_deadline.setInterval(deadline);
        connect(&m_deadline, &QTimer::timeout, this, [this, deadline] {
            cut(QStringLiteral("no whole answer within %1 s").arg(deadline.count() / 1000.0));
        });
        // An upload that still moves keeps the deadline away; it counts from its last byte.
        connect(reply, &QNetworkReply::uploadProgress, &m_deadline, qOverload<>(&QTimer::start));
        m_deadline.start();
    }
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (received > kMaxAnswerBytes || total > kMaxAnswerBytes)
            cut(QStringLiteral("an answer of more than %1 MiB").arg(kMaxAnswerBytes / (1024 * 1024)));
    });

    const QUrl url = request.url();
    m_host = url.host();
    m_port = quint16(defaultPort(url));
    const QHostAddress literal(m_host);
    if (!literal.isNull())
        m_peer = {literal};
    m_headWatch.setInterval(kHeadWatchInterval);
    connect(&m_headWatch, &QTimer::timeout, this, &NetworkReplyWaiter::watchHead);
    m_headWatch.start();
}

NetworkReplyWaiter::~NetworkReplyWaiter()
{
    waiters().removeOne(this);
}

void NetworkReplyWaiter::cut(const QString &reason, QNetworkReply::NetworkError error)
{
    QNetworkReply *reply = m_response ? m_response->reply() : nullptr;
    if (!reply || reply->isFinished())
        return;
    // The query is left out of the log, since OAuth requests carry the password there.
    qWarning().noquote() << QStringLiteral("Request to %1 failed: %2")
                                .arg(m_response->request().url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo),
                                     reason);
    reply->setProperty(kCutProperty, reason);
    if (error != QNetworkReply::OperationCanceledError)
        reply->setProperty(kCutErrorProperty, int(error));
    reply->abort();
}

void NetworkReplyWaiter::onRedirected(const QUrl &target)
{
    // Only to the origin asked: a body, a password in the query or a token must reach no other server, and a 307
    // or 308 would post the body there again.
    const QUrl asked = m_response->request().url();
    const QUrl next = m_response->reply()->url().resolved(target);
    if (next.scheme() == asked.scheme() && next.host().compare(asked.host(), Qt::CaseInsensitive) == 0
        && defaultPort(next) == defaultPort(asked)) {
        // The next hop's head is watched afresh.
        m_went.start();
        m_headCame = false;
        m_noted = false;
        m_headWatch.start();
        Q_EMIT m_response->reply()->redirectAllowed();
        return;
    }
    cut(QStringLiteral("redirected to %1, another server than the one asked")
            .arg(next.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                     .toString()),
        QNetworkReply::InsecureRedirectError);
}

void NetworkReplyWaiter::setPeer(const QList<QHostAddress> &addresses)
{
    m_peer = addresses;
    m_noted = true;
    // What the connections open now took is counted as none of this head (a tick of it at most); one still
    // connecting has taken nothing yet.
    m_consumed.clear();
    m_pastHeadLimit = false;
    for (const PeerConnections::Connection &connection : connections())
        m_consumed.insert(connection.descriptor, connection.consumed);
}

QVector<PeerConnections::Connection> NetworkReplyWaiter::connections() const
{
    PeerDescriptors &peer = peerDescriptors()[m_host.toLower() + QLatin1Char(':') + QString::number(m_port)];
    QVector<PeerConnections::Connection> found = PeerConnections::look(peer.descriptors, m_peer, m_port);
    // Found again, at most once a second, for a request that went since (Qt may have opened a connection for it)
    // or when one of them has gone (Qt may have opened another in its place): a connection is watched a second
    // late at most.
    if (!peer.found.isValid()
        || (peer.found.hasExpired(1000)
            && (peer.found.msecsSinceReference() < m_went.msecsSinceReference()
                || found.size() < peer.descriptors.size()))) {
        found = PeerConnections::list(m_peer, m_port);
        peer.descriptors.clear();
        for (const PeerConnections::Connection &connection : qAsConst(found))
            peer.descriptors.append(connection.descriptor);
        peer.found.start();
    }
    return found;
}

void NetworkReplyWaiter::onHeadCame()
{
    m_headCame = true;
    m_headWatch.stop();
    rebaseOthers();
}

void NetworkReplyWaiter::rebaseOthers()
{
    for (NetworkReplyWaiter *other : qAsConst(waiters())) {
        if (other != this && other->m_port == m_port && other->m_host.compare(m_host, Qt::CaseInsensitive) == 0)
            other->m_rebase = true;
    }
}

void NetworkReplyWaiter::watchHead()
{
    if (m_peer.isEmpty()) {
        // A name is looked up only for a head that is slow to come; Qt keeps the answer it looked up already.
        if (!std::exchange(m_lookingUp, true))
            QHostInfo::lookupHost(m_host, this, [this](const QHostInfo &info) { setPeer(info.addresses()); });
        return;
    }
    if (!m_noted) {
        setPeer(m_peer);
        return;
    }
    // Bytes another request to the peer took while its answer came are its own, not this head.
    const bool othersAnswering = std::exchange(m_rebase, false)
        || std::any_of(waiters().cbegin(), waiters().cend(), [this](const NetworkReplyWaiter *other) {
               return other != this && other->m_headCame && other->m_port == m_port
                   && other->m_host.compare(m_host, Qt::CaseInsensitive) == 0;
           });
    QHash<int, quint64> consumed;
    QList<int> past;
    for (const PeerConnections::Connection &connection : connections()) {
        // One found since counts from then on: it may be older than the request, found late (a second at most).
        quint64 before = m_consumed.value(connection.descriptor, connection.consumed);
        if (othersAnswering || before > connection.consumed)
            before = connection.consumed;
        consumed.insert(connection.descriptor, before);
        if (connection.consumed - before > quint64(kMaxHeadBytes))
            past.append(connection.descriptor);
    }
    m_consumed = consumed;
    // Only a second look in a row: a head that has just ended may still be on its way to this thread.
    if (!std::exchange(m_pastHeadLimit, !past.isEmpty()) || past.isEmpty())
        return;
    m_headWatch.stop();
    cut(QStringLiteral("a header of more than %1 KiB").arg(kMaxHeadBytes / 1024), QNetworkReply::ProtocolFailure);
    // The network thread reads a plain connection's head for as long as bytes come, deaf to the abort meanwhile.
    for (const int descriptor : qAsConst(past))
        PeerConnections::shutDown(descriptor);
}

Utils::Promise<QSharedPointer<Response>> NetworkReplyWaiter::promise() const
{
    return m_promise;
}

void NetworkReplyWaiter::onFinished()
{
    m_deadline.stop();
    m_headWatch.stop();
    rebaseOthers();
    waiters().removeOne(this);
    if (QNetworkReply *reply = m_response->reply())
        disconnect(reply, nullptr, this, nullptr);
    m_promise.resolve(m_response);
    m_response.reset();
    deleteLater();
}

void NetworkReplyWaiter::onError(QNetworkReply::NetworkError code)
{
    const Request request = m_response->request();
    QNetworkReply *reply = m_response->reply();
    if (code == QNetworkReply::OperationCanceledError && reply && reply->property(kAbandonedProperty).toBool()) {
        qCDebug(lcHttpClient) << "request abandoned by its sender"
                              << request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
        return;
    }
    if (code == QNetworkReply::OperationCanceledError && reply && reply->property(kCutProperty).isValid())
        return; // said when it was cut
    if (code == QNetworkReply::OperationCanceledError) {
        // Apart from an abandoned request, nothing else aborts our replies: this is the transfer
        // time-out. The query is left out of the log, since OAuth requests carry the password there.
        qWarning().noquote() << QStringLiteral("No answer from %1 within %2 ms")
                                    .arg(request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo))
                                    .arg(request.transferTimeout().count());
        return;
    }
    // Not errorString(): it quotes the whole URL, query and credentials included.
    qCDebug(lcHttpClient) << "request error" << code << "from"
                          << request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
}

} // namespace Orvix::HttpClient
