#include "accessfailures.h"

#include "qhttpserver/qhttpconnection.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QPair>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <utility>

namespace Orvix::HttpServer {

namespace {

// Clients counted one by one in a minute; the rest only in the total.
constexpr int kMaxCountedClients = 1024;
// Clients named in a summary.
constexpr int kNamedClients = 3;
// Clients whose login failures are followed; a larger crowd loses its quietest first.
constexpr int kMaxThrottledClients = 4096;
// A turn that is due goes to a client of the network that failed less; the others look again after this.
constexpr std::chrono::milliseconds kTurnTaken{20};
// A line carries what the client sent (a user name, a path): bounded and kept on one line, so that one
// request can neither fill the log nor write lines of its own into it. The middle goes: the end names the client.
constexpr int kMaxLineLength = 400;

QString oneLine(const QString &line)
{
    QString bounded = line.size() <= kMaxLineLength
        ? line
        : line.left(kMaxLineLength / 2) + QStringLiteral("...") + line.right(kMaxLineLength / 2);
    for (QChar &c : bounded) {
        const QChar::Category category = c.category();
        if (category == QChar::Other_Control || category == QChar::Separator_Line
            || category == QChar::Separator_Paragraph)
            c = QLatin1Char('?');
    }
    return bounded;
}

// The login failures of one client, and when its next login may be checked.
struct Throttle
{
    int failures = 0;
    qint64 lastFailure = 0; // ms on State::now()
    double nextTurn = 0;    // ms on State::now(), scaled (a fraction of a millisecond adds up in tests)
    double owedUntil = 0;   // the same, had every booking been kept: how far its failures ran ahead of its turns
    qint64 booked = 0;      // ms, unscaled
    bool waiting = false;   // a login of the client waits for its turn
    qint64 waitingSince = 0; // when that login came
    QList<QHostAddress> waiters; // of a network: its clients with a login waiting, the longest waiting first
};

struct State
{
    std::chrono::milliseconds interval = AccessFailures::kInterval;
    double delayScale = 1.0;
    QElapsedTimer clock;
    qint64 clockOffset = 0; // moved on by tests
    qint64 frozenAt = -1;   // where tests stopped it
    qint64 now() const { return frozenAt >= 0 ? frozenAt : clock.elapsed() + clockOffset; }
    QHash<QHostAddress, Throttle> throttles;
    // Past the ceiling, the failures of a whole network (prefixOf) too.
    QHash<QHostAddress, Throttle> prefixes;
    QPointer<QTimer> minute; // running while failures are summed up
    int suppressed = 0;
    int failures = 0; // login failures of all clients in the running minute
    QHash<QHostAddress, int> perClient;
    QString latest;
};

State &state()
{
    static State instance;
    if (!instance.clock.isValid())
        instance.clock.start();
    return instance;
}

// Failures more than a minute apart start the count again, for the waits they book as for the turns they rank.
int recentFailures(const Throttle &throttle, qint64 now)
{
    return now - throttle.lastFailure > std::chrono::milliseconds(AccessFailures::kInterval).count()
        ? 0
        : throttle.failures;
}

bool isStale(const Throttle &throttle, qint64 now)
{
    return recentFailures(throttle, now) == 0 && throttle.nextTurn <= now && !throttle.waiting
        && throttle.waiters.isEmpty();
}

Throttle &throttleOf(QHash<QHostAddress, Throttle> &throttles, const QHostAddress &client)
{
    if (!throttles.contains(client) && throttles.size() >= kMaxThrottledClients) {
        const qint64 now = state().now();
        for (auto it = throttles.begin(); it != throttles.end();)
            it = isStale(*it, now) ? throttles.erase(it) : std::next(it);
        if (throttles.size() >= kMaxThrottledClients) {
            const auto quietest = std::min_element(throttles.begin(), throttles.end(),
                                                   [](const Throttle &a, const Throttle &b) {
                                                       return std::make_tuple(a.waiting, a.waiters.size(), a.failures)
                                                           < std::make_tuple(b.waiting, b.waiters.size(), b.failures);
                                                   });
            throttles.erase(quietest);
        }
    }
    return throttles[client];
}

// The network a client's failures are counted over past the ceiling: an IPv4 /24, an IPv6 /48, where one
// guesser holds many clients.
QHostAddress prefixOf(const QHostAddress &client)
{
    bool isV4 = false;
    const quint32 v4 = client.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4 & 0xffffff00u);
    Q_IPV6ADDR network = client.toIPv6Address();
    for (int i = 6; i < 16; ++i)
        network[i] = 0;
    return QHostAddress(network);
}

// Books `delay` (unscaled ms) on the throttle. Turns follow each other, but never further ahead than the
// longest wait: a client that failed a thousand times, or left its logins waiting, must not keep its own
// login out for hours. What it owes is kept in full.
void book(Throttle &throttle, qint64 delay, qint64 now)
{
    const State &s = state();
    throttle.booked += delay;
    const double latest = double(now) + double(AccessFailures::kMaxDelay.count()) * s.delayScale;
    throttle.nextTurn = qMin(qMax(throttle.nextTurn, double(now)) + double(delay) * s.delayScale, latest);
    throttle.owedUntil = qMax(throttle.owedUntil, double(now)) + double(delay) * s.delayScale;
}

// The client's throttle and, where its network has one, the network's.
QList<Throttle *> throttlesOf(const QHostAddress &peer)
{
    State &s = state();
    QList<Throttle *> found;
    const QHostAddress client = QHttpConnection::clientKey(peer);
    if (const auto it = s.throttles.find(client); it != s.throttles.end())
        found.append(&it.value());
    if (const auto it = s.prefixes.find(prefixOf(client)); it != s.prefixes.end())
        found.append(&it.value());
    return found;
}

void endMinute()
{
    State &s = state();
    s.failures = 0;
    if (s.suppressed == 0) {
        s.minute->stop();
        return;
    }
    // Never empty here: the first clients of a minute are always counted.
    QList<QPair<int, QHostAddress>> clients;
    for (auto it = s.perClient.cbegin(); it != s.perClient.cend(); ++it)
        clients.append({it.value(), it.key()});
    const int named = qMin(kNamedClients, clients.size());
    std::partial_sort(clients.begin(), clients.begin() + named, clients.end(),
                      [](const auto &a, const auto &b) { return a.first > b.first; });
    QStringList most;
    for (int i = 0; i < named; ++i)
        most << QStringLiteral("%1 from %2").arg(clients.at(i).first).arg(clients.at(i).second.toString());
    qWarning().noquote() << QStringLiteral("%1 more failed logins or refused requests in the last minute from %2 "
                                           "client(s), %3; the latest: %4")
                                .arg(s.suppressed)
                                .arg(s.perClient.size())
                                .arg(most.join(QStringLiteral(", ")), s.latest);
    s.suppressed = 0;
    s.perClient.clear();
    s.latest.clear();
    // The timer goes on: the next minute is summed up too, so a steady stream gives one line a minute.
}

} // namespace

void AccessFailures::record(const QHostAddress &peer, const QString &line)
{
    const QHostAddress client = QHttpConnection::clientKey(peer);
    State &s = state();
    if (!s.minute && QCoreApplication::instance()) {
        s.minute = new QTimer(QCoreApplication::instance());
        s.minute->setInterval(s.interval);
        QObject::connect(s.minute, &QTimer::timeout, s.minute, &endMinute);
    }
    if (!s.minute || !s.minute->isActive()) {
        qWarning().noquote() << oneLine(line);
        if (s.minute)
            s.minute->start();
        return;
    }
    ++s.suppressed;
    s.latest = oneLine(line);
    if (s.perClient.size() < kMaxCountedClients || s.perClient.contains(client))
        ++s.perClient[client];
}

void AccessFailures::loginFailed(const QHostAddress &peer, const QString &line)
{
    record(peer, line);
    State &s = state();
    const qint64 now = s.now();
    const QHostAddress client = QHttpConnection::clientKey(peer);
    Throttle &throttle = throttleOf(s.throttles, client);
    if (isStale(throttle, now))
        throttle = Throttle();
    throttle.failures = recentFailures(throttle, now) + 1;
    throttle.lastFailure = now;
    ++s.failures;
    if (s.failures > kMaxFailuresPerMinute) {
        book(throttle, kMaxDelay.count(), now);
        // Each address of a network within its own allowance would still make its own guess every wait.
        Throttle &network = throttleOf(s.prefixes, prefixOf(client));
        if (isStale(network, now))
            network = Throttle();
        ++network.failures;
        network.lastFailure = now;
        book(network, kMaxDelay.count(), now);
    } else if (throttle.failures >= kFreeFailures) {
        book(throttle, qMin<qint64>(kDelayStep.count() * (throttle.failures - kFreeFailures + 1), kMaxDelay.count()),
             now);
    }
}

AccessFailures::Turn AccessFailures::takeTurn(const QHostAddress &peer)
{
    State &s = state();
    const QHostAddress client = QHttpConnection::clientKey(peer);
    const std::chrono::milliseconds wait = untilTurn(client);
    // One waiting login is all a client needs: more would only hold connections (and their slots) for it.
    if (s.throttles.value(client).waiting)
        return Turn{Turn::Refused, qMax(wait, std::chrono::milliseconds(1))};
    if (wait.count() == 0)
        return Turn();
    Throttle &throttle = throttleOf(s.throttles, client);
    throttle.waiting = true;
    throttle.waitingSince = s.now();
    if (const auto network = s.prefixes.find(prefixOf(client)); network != s.prefixes.end())
        network->waiters.append(client);
    return Turn{Turn::Wait, wait};
}

std::chrono::milliseconds AccessFailures::untilTurn(const QHostAddress &peer)
{
    const State &s = state();
    const double now = double(s.now());
    const QHostAddress client = QHttpConnection::clientKey(peer);
    const auto dueAt = [&s, now](const QHostAddress &of) { return qMax(now, s.throttles.value(of).nextTurn); };
    double due = dueAt(client);
    const auto network = s.prefixes.constFind(prefixOf(client));
    if (network != s.prefixes.cend())
        due = qMax(due, network->nextTurn);
    if (due > now)
        return std::chrono::milliseconds(qint64(std::ceil(due - now)));
    if (network == s.prefixes.cend())
        return std::chrono::milliseconds(0);
    // The administrator behind the network of a guesser is not kept waiting behind it: the network's turn goes to
    // the client that waited for it and failed least lately, the longest waiting of them, never to one that came
    // after it fell due. Its rate stays one guess a turn.
    const auto waitedForTurn = [&s, &network](const Throttle &throttle) {
        return throttle.waiting && double(throttle.waitingSince) < network->nextTurn;
    };
    const Throttle own = s.throttles.value(client);
    const int mine = recentFailures(own, qint64(now));
    bool before = true;
    for (const QHostAddress &waiter : network->waiters) {
        const Throttle other = s.throttles.value(waiter);
        before = before && waiter != client;
        if (waiter == client || dueAt(waiter) > now || !waitedForTurn(other))
            continue;
        const int failures = recentFailures(other, qint64(now));
        if (!waitedForTurn(own) || failures < mine || (before && failures == mine))
            return kTurnTaken;
    }
    return std::chrono::milliseconds(0);
}

bool AccessFailures::mayCheckAtOnce(const QHostAddress &peer)
{
    const State &s = state();
    // Not while other clients of its network wait: the turn that falls due is theirs, and a wrong guess checked now
    // would book it on.
    const QHostAddress client = QHttpConnection::clientKey(peer);
    if (const auto network = s.prefixes.constFind(prefixOf(client)); network != s.prefixes.cend()
        && std::any_of(network->waiters.cbegin(), network->waiters.cend(),
                       [&client](const QHostAddress &waiter) { return waiter != client; }))
        return false;
    const double latest = double(s.now()) + double(kMaxDelay.count()) * s.delayScale;
    const QList<Throttle *> throttles = throttlesOf(peer);
    return std::all_of(throttles.cbegin(), throttles.cend(),
                       [latest](const Throttle *throttle) { return throttle->owedUntil <= latest; });
}

void AccessFailures::endWait(const QHostAddress &peer)
{
    State &s = state();
    const QHostAddress client = QHttpConnection::clientKey(peer);
    if (const auto own = s.throttles.find(client); own != s.throttles.end())
        own->waiting = false;
    if (const auto network = s.prefixes.find(prefixOf(client)); network != s.prefixes.end())
        network->waiters.removeAll(client);
}

std::chrono::milliseconds AccessFailures::bookedDelay(const QHostAddress &peer)
{
    return std::chrono::milliseconds(state().throttles.value(QHttpConnection::clientKey(peer)).booked);
}

int AccessFailures::failures(const QHostAddress &peer)
{
    return state().throttles.value(QHttpConnection::clientKey(peer)).failures;
}

void AccessFailures::freezeClock(bool frozen)
{
    State &s = state();
    if (frozen == (s.frozenAt >= 0))
        return;
    if (frozen) {
        s.frozenAt = s.now();
        return;
    }
    s.clockOffset = s.frozenAt - s.clock.elapsed();
    s.frozenAt = -1;
}

void AccessFailures::advanceClock(std::chrono::milliseconds by)
{
    State &s = state();
    (s.frozenAt >= 0 ? s.frozenAt : s.clockOffset) += by.count();
}

void AccessFailures::setDelayScale(double scale)
{
    state().delayScale = scale;
}

void AccessFailures::setInterval(std::chrono::milliseconds interval)
{
    State &s = state();
    s.interval = interval;
    s.failures = 0;
    if (!s.minute)
        return;
    // What was summed up so far is said now; the next failure opens a minute of the new length.
    if (s.minute->isActive())
        endMinute();
    s.minute->stop();
    s.minute->setInterval(interval);
}

} // namespace Orvix::HttpServer
