#pragma once

#include "sqlquerypoll/request.h"

#include <QList>
#include <QMutex>
#include <QWaitCondition>

#include <optional>

namespace Orvix::SqlQueryPoll {

// The queue and running flag of one worker, shared by the connector (which queues) and the worker (which runs).
// Each worker has its own, so a stopped worker that is still finishing never sees the requests of its successor,
// and the queue outlives whichever of the two lets go of it last. The mutex is never held while a query runs.
class RequestQueue
{
public:
    explicit RequestQueue(int defaultAttempts);

    enum class Enqueued { Queued, Stopped, Unreachable };
    // Caller's thread. Stopped when the worker has stopped running, Unreachable (with the reason) for a request
    // that fails while the database cannot be reached: the caller rejects it.
    Enqueued enqueue(const Request &request, QString *unreachableReason = nullptr);
    // Any thread: no more requests are taken; wakes the worker.
    void stop();
    // Caller's thread: every request is given up. Those not started leave the queue and are returned; for one
    // running that closes its session, *serverConnection is set to the server's connection it runs on (a kill sent
    // after the statement has ended would reach only that closed session, never a later statement).
    QList<Request> cancel(quint64 *serverConnection);

    // Worker thread.
    bool isRunning() const;
    // The request to run next (it stays at the head until removeHead). Waits while the queue is empty and running;
    // nothing once stopped with an empty queue.
    std::optional<Request> waitForHead();
    void removeHead();
    // The head's statement goes to the server on its connection serverConnection; false when its caller has given
    // it up (it has left the queue then and must not run).
    bool startHead(const Request &request, quint64 serverConnection);
    // Its statement has ended, before its promise is settled.
    void endRun(const Request &request);
    bool isEmpty() const;
    // Sleeps for the given time, or less when the worker is stopped.
    void pause(int milliseconds);
    // Takes out the requests that have no attempts left.
    QList<Request> takeExhausted();
    // Takes out every queued request.
    QList<Request> takeAll();
    // Stops taking requests and takes out every queued one: the worker is leaving.
    QList<Request> close();
    // The database cannot be reached until the next successful open: takes out the requests that fail rather
    // than wait (Request::failWhileUnreachable), marked as such.
    QList<Request> setUnreachable(const QString &reason);
    void setReachable();

private:
    mutable QMutex m_mutex;
    QWaitCondition m_condition;
    QList<Request> m_requests;
    bool m_running = true;
    bool m_reachable = true;
    QString m_unreachableReason;
    const int m_defaultAttempts;
};

} // namespace Orvix::SqlQueryPoll
