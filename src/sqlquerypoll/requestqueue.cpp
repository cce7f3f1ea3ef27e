#include "requestqueue.h"

#include "sqlquerypoll/request_p.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

namespace Orvix::SqlQueryPoll {

RequestQueue::RequestQueue(int defaultAttempts)
    : m_defaultAttempts(defaultAttempts)
{
}

RequestQueue::Enqueued RequestQueue::enqueue(const Request &request, QString *unreachableReason)
{
    QMutexLocker locker(&m_mutex);
    if (!m_running)
        return Enqueued::Stopped;
    if (!m_reachable && request.d->failsWhileUnreachable) {
        request.d->unreachable = true;
        if (unreachableReason)
            *unreachableReason = m_unreachableReason;
        return Enqueued::Unreachable;
    }
    if (request.d->attempts <= 0)
        request.d->attempts = m_defaultAttempts;
    const bool wasEmpty = m_requests.isEmpty();
    m_requests.append(request);
    if (wasEmpty)
        m_condition.wakeAll();
    return Enqueued::Queued;
}

void RequestQueue::stop()
{
    QMutexLocker locker(&m_mutex);
    m_running = false;
    m_condition.wakeAll();
}

bool RequestQueue::isRunning() const
{
    QMutexLocker locker(&m_mutex);
    return m_running;
}

std::optional<Request> RequestQueue::waitForHead()
{
    QMutexLocker locker(&m_mutex);
    while (m_requests.isEmpty()) {
        if (!m_running)
            return std::nullopt;
        m_condition.wait(&m_mutex);
    }
    return m_requests.first();
}

void RequestQueue::removeHead()
{
    QMutexLocker locker(&m_mutex);
    if (!m_requests.isEmpty())
        m_requests.removeFirst();
}

bool RequestQueue::startHead(const Request &request, quint64 serverConnection)
{
    QMutexLocker locker(&m_mutex);
    if (request.d->cancelled) {
        if (!m_requests.isEmpty() && m_requests.first().d == request.d)
            m_requests.removeFirst();
        return false;
    }
    request.d->running = true;
    request.d->serverConnection = serverConnection;
    return true;
}

void RequestQueue::endRun(const Request &request)
{
    QMutexLocker locker(&m_mutex);
    request.d->running = false;
}

bool RequestQueue::isEmpty() const
{
    QMutexLocker locker(&m_mutex);
    return m_requests.isEmpty();
}

QList<Request> RequestQueue::cancel(quint64 *serverConnection)
{
    QMutexLocker locker(&m_mutex);
    QList<Request> dropped;
    QList<Request> kept;
    for (const Request &request : qAsConst(m_requests)) {
        request.d->cancelled = true;
        if (!request.d->running) {
            dropped.append(request);
            continue;
        }
        kept.append(request);
        if (request.d->closesSession)
            *serverConnection = request.d->serverConnection;
    }
    m_requests = kept;
    return dropped;
}

void RequestQueue::pause(int milliseconds)
{
    QDeadlineTimer deadline(milliseconds);
    QMutexLocker locker(&m_mutex);
    // Requests queued meanwhile wake the condition too; they must not shorten the pause.
    while (m_running && !deadline.hasExpired())
        m_condition.wait(&m_mutex, deadline);
}

QList<Request> RequestQueue::takeExhausted()
{
    QMutexLocker locker(&m_mutex);
    QList<Request> exhausted;
    QList<Request> kept;
    for (const Request &request : qAsConst(m_requests)) {
        if (request.d->attempts <= 0)
            exhausted.append(request);
        else
            kept.append(request);
    }
    m_requests = kept;
    return exhausted;
}

QList<Request> RequestQueue::takeAll()
{
    QMutexLocker locker(&m_mutex);
    QList<Request> all;
    all.swap(m_requests);
    return all;
}

QList<Request> RequestQueue::close()
{
    QMutexLocker locker(&m_mutex);
    // Nothing may be queued after this, or it would never be settled.
    m_running = false;
    QList<Request> all;
    all.swap(m_requests);
    return all;
}

QList<Request> RequestQueue::setUnreachable(const QString &reason)
{
    QMutexLocker locker(&m_mutex);
    m_reachable = false;
    m_unreachableReason = reason;
    QList<Request> failing;
    QList<Request> kept;
    for (const Request &request : qAsConst(m_requests)) {
        if (request.d->failsWhileUnreachable) {
            request.d->unreachable = true;
            failing.append(request);
        } else {
            kept.append(request);
        }
    }
    m_requests = kept;
    return failing;
}

void RequestQueue::setReachable()
{
    QMutexLocker locker(&m_mutex);
    m_reachable = true;
    m_unreachableReason.clear();
}
} // namespace Orvix::SqlQueryPoll
