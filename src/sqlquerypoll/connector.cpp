#include "connector.h"

#include "sqlquerypoll/connector_p.h"
#include "sqlquerypoll/connectorthread.h"
#include "sqlquerypoll/request_p.h"
#include "sqlquerypoll/requestqueue.h"

#include <QAtomicInt>
#include <QDebug>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QThread>
#include <QThreadPool>

namespace Orvix::SqlQueryPoll {

namespace {

// How long the destructor waits for a stopped worker to let go of its connection. An idle or reconnecting worker
// ends at once; one inside a slow query ends when the query does.
constexpr unsigned long kWorkerShutdownWaitMs = 5000;

QString uniqueConnectionName(const QString &base, const char *role)
{
    static QAtomicInt counter;
    return QStringLiteral("%1#%2%3").arg(base, QLatin1String(role)).arg(counter.fetchAndAddRelaxed(1));
}

// Where statements given up are ended on the server: apart from the customisation scripts' pool, which may be full.
Q_GLOBAL_STATIC(QThreadPool, g_killers)

} // namespace

Connector::Connector(const QString &connectionName, QObject *parent)
    : QObject(parent)
    , d(QSharedPointer<ConnectorPrivate>::create(connectionName))
{
}

Connector::~Connector()
{
    // A person's statement is not worth holding up the end of the service, nor left behind on the server.
    if (d->settingsSnapshot().statementTimeLimitSeconds > 0)
        cancel();
    stop();
    QList<Request> waiting;
    {
        QMutexLocker locker(&d->mutex);
        waiting.swap(d->waiting);
    }
    for (const Request &request : qAsConst(waiting))
        request.d->promise.reject(QStringLiteral("Loop disabled"));
    for (const QPointer<QThread> &thread : qAsConst(m_threads)) {
        if (thread)
            thread->wait(kWorkerShutdownWaitMs);
    }
}

void Connector::setConnectionSettings(const QString &host, int port, const QString &user, const QString &password,
                                      const QString &databaseName)
{
    QMutexLocker locker(&d->mutex);
    d->settings.host = host;
    d->settings.port = port;
    d->settings.userName = user;
    d->settings.password = password;
    d->settings.databaseName = databaseName;
}

void Connector::setDriver(int driver)
{
    QMutexLocker locker(&d->mutex);
    if (driver == MySql)
        d->settings.driverName = QStringLiteral("QMYSQL");
    else if (driver == Sqlite)
        d->settings.driverName = QStringLiteral("QSQLITE");
}

void Connector::addAfterConnectQuery(const QString &query)
{
    QMutexLocker locker(&d->mutex);
    d->afterConnectQueries.append(query);
}

void Connector::setReadTimeout(std::chrono::seconds timeout)
{
    QMutexLocker locker(&d->mutex);
    d->settings.readTimeoutSeconds = static_cast<int>(qMax<qint64>(1, timeout.count()));
}

void Connector::limitStatements(std::chrono::seconds limit)
{
    QMutexLocker locker(&d->mutex);
    d->settings.statementTimeLimitSeconds = static_cast<int>(qMax<qint64>(1, limit.count()));
}

void Connector::setReconnectInterval(std::chrono::milliseconds interval)
{
    QMutexLocker locker(&d->mutex);
    d->settings.reconnectInterval = static_cast<int>(qMax<qint64>(1, interval.count()));
}

void Connector::start()
{
    if (m_started)
        return;

    m_threads.removeAll(QPointer<QThread>());
    QSharedPointer<RequestQueue> queue;
    QString databaseConnectionName;
    {
        QMutexLocker locker(&d->mutex);
        // A worker that is still finishing keeps its own queue and connection; the new one starts afresh.
        queue = QSharedPointer<RequestQueue>::create(d->settings.defaultAttempts);
        d->queue = queue;
        databaseConnectionName = uniqueConnectionName(d->settings.connectionName, "worker");
    }

    auto *worker = new ConnectorThread(d, queue, databaseConnectionName);
    auto *thread = new QThread;
    worker->moveToThread(thread);
    connect(thread, &QThread::started, worker, &ConnectorThread::process);
    // Direct: the worker's thread ends by itself, even while this thread waits for it without an event loop.
    connect(worker, &ConnectorThread::finished, thread, &QThread::quit, Qt::DirectConnection);
    // Direct: the worker never returns to its event loop before it stops; stop() is thread-safe.
    connect(this, &Connector::stopThread, worker, &ConnectorThread::stop, Qt::DirectConnection);
    connect(worker, &ConnectorThread::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    const QWeakPointer<ConnectorPrivate> weak = d;
    connect(
        worker, &ConnectorThread::finished, worker,
        [weak, queue] {
            if (const QSharedPointer<ConnectorPrivate> connector = weak.toStrongRef()) {
                QMutexLocker locker(&connector->mutex);
                // Only this worker's own queue: a successor may already have taken the place.
                if (connector->queue == queue)
                    connector->queue.clear();
            }
        },
        Qt::DirectConnection);

    m_threads.append(thread);
    thread->start(QThread::InheritPriority);
    m_started = true;

    QList<Request> waiting;
    {
        QMutexLocker locker(&d->mutex);
        waiting.swap(d->waiting);
    }
    for (const Request &request : qAsConst(waiting))
        execute(request);
}

void Connector::execute(const Request &request)
{
    QSharedPointer<RequestQueue> queue;
    {
        QMutexLocker locker(&d->mutex);
        queue = d->queue;
    }
    QString reason;
    RequestQueue::Enqueued enqueued = queue ? queue->enqueue(request, &reason) : RequestQueue::Enqueued::Stopped;
    if (enqueued == RequestQueue::Enqueued::Stopped && request.d->waitsForConnection) {
        QMutexLocker locker(&d->mutex);
        // Checked again: a start in the meantime took the waiting list already.
        queue = d->queue;
        enqueued = queue ? queue->enqueue(request, &reason) : RequestQueue::Enqueued::Stopped;
        if (enqueued == RequestQueue::Enqueued::Stopped) {
            d->waiting.append(request);
            return;
        }
    }
    if (enqueued == RequestQueue::Enqueued::Unreachable)
        request.d->promise.reject(reason);
    else if (enqueued == RequestQueue::Enqueued::Stopped)
        request.d->promise.reject(QStringLiteral("Loop disabled"));
}

void Connector::stop()
{
    if (!m_started)
        return;
    m_started = false;
    QSharedPointer<RequestQueue> queue;
    {
        QMutexLocker locker(&d->mutex);
        queue = d->queue;
    }
    // Also through the queue itself: it reaches the worker even if the signal's receiver has gone.
    if (queue)
        queue->stop();
    Q_EMIT stopThread();
    qDebug() << "SQL connector stopped";
}

void Connector::cancel()
{
    QSharedPointer<RequestQueue> queue;
    {
        QMutexLocker locker(&d->mutex);
        queue = d->queue;
    }
    quint64 running = 0;
    const QList<Request> dropped = queue ? queue->cancel(&running) : QList<Request>();
    for (const Request &request : dropped)
        request.d->promise.reject(kGivenUpReason);
    if (running == 0)
        return;
    const ConnectionSettings settings = d->settingsSnapshot();
    const QString name = uniqueConnectionName(settings.connectionName, "kill");
    g_killers->start([settings, name, running] { ConnectorThread::killStatement(settings, name, running); });
}

bool Connector::checkConnection(QString &errorText)
{
    const ConnectionSettings settings = d->settingsSnapshot();
    // Its own connection: the worker's belongs to the worker's thread.
    const QString connectionName = uniqueConnectionName(d->checkConnectionName, "check");
    bool ok = false;
    {
        QSqlDatabase db = settings.addDatabase(connectionName);
        ok = db.open();
        if (!ok)
            errorText = db.lastError().text();
        db.close();
    }
    SqlConnections::remove(connectionName);
    return ok;
}

} // namespace Orvix::SqlQueryPoll
