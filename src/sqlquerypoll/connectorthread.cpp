#include "connectorthread.h"

#include "sqlquerypoll/connectionerror.h"
#include "sqlquerypoll/connector_p.h"
#include "sqlquerypoll/request_p.h"
#include "sqlquerypoll/requestqueue.h"
#include "sqlquerypoll/streamedquery.h"

#include <QDateTime>
#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace Orvix::SqlQueryPoll {

namespace {

// MySQL client errors that mean the connection, not the query, failed: CR_SERVER_GONE_ERROR (2006) and
// CR_SERVER_LOST (2013, lost during a query or at the read time-out), CR_SERVER_LOST_EXTENDED (2055), and
// CR_CONNECTION_ERROR (2002) and CR_CONN_HOST_ERROR (2003), which are what MYSQL_OPT_RECONNECT leaves behind when
// its own reconnect finds the server down. A query failing with one of them waits for the connection.
bool isConnectionLost(const QString &nativeErrorCode)
{
    static const QStringList codes{QStringLiteral("2002"), QStringLiteral("2003"), QStringLiteral("2006"),
                                   QStringLiteral("2013"), QStringLiteral("2055")};
    return codes.contains(nativeErrorCode);
}

// Re-runs of one request after lost connections; without a bound a query whose connection is lost on every run
// would hold the head of the queue for ever.
constexpr int kMaxLostConnectionReruns = 5;

QString mysqlConnectOptions(const ConnectionSettings &settings)
{
    return QStringLiteral("MYSQL_OPT_RECONNECT=1;MYSQL_OPT_CONNECT_TIMEOUT=60;MYSQL_OPT_READ_TIMEOUT=%1;"
                          "MYSQL_OPT_WRITE_TIMEOUT=60")
        .arg(settings.readTimeoutSeconds);
}

} // namespace

void ConnectorThread::rejectAll(const QList<Request> &requests, const QString &reason)
{
    for (const Request &request : requests)
        request.d->promise.reject(reason);
}

ConnectorThread::ConnectorThread(const QSharedPointer<ConnectorPrivate> &connector,
                                 const QSharedPointer<RequestQueue> &queue, const QString &databaseConnectionName)
    : m_connector(connector)
    , m_queue(queue)
    , m_databaseConnectionName(databaseConnectionName)
{
    QMutexLocker locker(&m_connector->mutex);
    m_reconnectBudget = m_connector->settings.defaultAttempts;
}

void ConnectorThread::stop()
{
    m_queue->stop();
}

void ConnectorThread::process()
{
    // Read once: later changes reach the next worker only.
    const ConnectionSettings settings = m_connector->settingsSnapshot();
    {
        QSqlDatabase db = settings.addDatabase(m_databaseConnectionName);
        if (settings.driverName == QLatin1String("QMYSQL"))
            db.setConnectOptions(mysqlConnectOptions(settings));
        run(db, settings);
        db.close();
    }
    SqlConnections::remove(m_databaseConnectionName);
    // Whoever waits on these requests must hear of them (the CEL poll waits for every answer).
    rejectAll(m_queue->close(), QStringLiteral("Loop disabled"));
    Q_EMIT finished();
}

void ConnectorThread::run(QSqlDatabase &db, const ConnectionSettings &settings)
{
    // A person's statement gets a session opened for it: one left idle may be ended by the server and opened again
    // by the client library on its own, without the session's limits.
    const bool limited = settings.statementTimeLimitSeconds > 0;
    for (;;) {
        if (!db.isOpen()) {
            if (!m_queue->isRunning() || (limited && !m_queue->waitForHead()))
                return;
            if (!db.open()) {
                // No host: the client library uses the local server's socket, and a port means nothing.
                const QString server = db.hostName().isEmpty()
                    ? QStringLiteral("the local server")
                    : QStringLiteral("%1:%2").arg(db.hostName()).arg(db.port());
                const QString reason = QStringLiteral("Cannot connect to the database at %1: %2")
                                           .arg(server, connectionErrorText(db.lastError(), db.hostName(), db.port()));
                rejectAll(m_queue->setUnreachable(reason), reason);
                // Tried again every few seconds while the server stays away: told once, then reminded.
                const bool repeated = m_outage.failed(QStringLiteral("[%1] %2").arg(settings.connectionName, reason),
                                                      QDateTime::currentDateTime());
                qDebug().noquote() << QStringLiteral("[%1] %2").arg(settings.connectionName, db.lastError().text());
                const QString next = QStringLiteral("[%1] DBQueryPool. Next connection attempt to %2 in %3 ms")
                                         .arg(settings.connectionName, server)
                                         .arg(settings.reconnectInterval);
                if (repeated)
                    qDebug().noquote() << next;
                else
                    qInfo().noquote() << next;
                rejectPendingRequests();
                m_queue->pause(settings.reconnectInterval);
                continue;
            }
            QString error;
            if (!runAfterConnectQueries(db, settings, &error)) {
                qCritical().noquote() << QStringLiteral("DBQueryPool. After connect queries error: %1").arg(error);
                db.close();
                if (--m_reconnectBudget <= 0) {
                    // The requests would otherwise wait for a connection that keeps failing the same way.
                    rejectAll(m_queue->takeAll(), error);
                    m_reconnectBudget = settings.defaultAttempts;
                }
                rejectPendingRequests();
                m_queue->pause(settings.reconnectInterval);
                continue;
            }
            m_reconnectBudget = settings.defaultAttempts;
            m_queue->setReachable();
            if (const auto since = m_outage.recovered()) {
                qInfo().noquote() << QStringLiteral("[%1] Connected to the database again, after failures since %2")
                                         .arg(settings.connectionName, since->toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            }
            continue;
        }
        if (limited && m_queue->isEmpty()) {
            db.close();
            continue;
        }
        std::optional<Request> request = m_queue->waitForHead();
        if (!request)
            return;
        runHead(db, *request, settings);
    }
}

bool ConnectorThread::runAfterConnectQueries(QSqlDatabase &db, const ConnectionSettings &settings, QString *error)
{
    QStringList queries;
    {
        QMutexLocker locker(&m_connector->mutex);
        queries = m_connector->afterConnectQueries;
    }
    const int limit = settings.driverName == QLatin1String("QMYSQL") ? settings.statementTimeLimitSeconds : 0;
    if (limit > 0) {
        queries.append(QStringLiteral("SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED"));
        // MariaDB's limit, else MySQL's (for SELECTs only); without either the kill on giving up still ends it.
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("SET SESSION max_statement_time = %1").arg(limit)))
            query.exec(QStringLiteral("SET SESSION max_execution_time = %1").arg(qint64(limit) * 1000));
    }
    for (const QString &text : qAsConst(queries)) {
        qDebug().noquote() << "Executing:" << text;
        QSqlQuery query(db);
        if (!query.exec(text)) {
            *error = query.lastError().text();
            return false;
        }
    }
    return true;
}

void ConnectorThread::runHead(QSqlDatabase &db, Request &request, const ConnectionSettings &settings)
{
    RequestPrivate &r = *request.d;
    const quint64 serverConnection = StreamedQuery::connectionId(db);
    if (!m_queue->startHead(request, serverConnection)) {
        r.promise.reject(kGivenUpReason);
        return;
    }
    QSqlQuery query(db);
    QElapsedTimer running;
    running.start();
    Response response;
    QString nativeError;
    const StreamedQuery::Outcome streamed = r.maxRows > 0
        ? StreamedQuery::run(db, r.query, r.maxRows, r.maxBytes, &response, &nativeError)
        : StreamedQuery::Outcome::Unsupported;
    bool ok = streamed == StreamedQuery::Outcome::Done;
    if (streamed == StreamedQuery::Outcome::Unsupported) {
        ok = query.prepare(r.query);
        if (ok) {
            for (const QVariant &value : qAsConst(r.positionalValues))
                query.addBindValue(value);
            for (auto it = r.namedValues.cbegin(); it != r.namedValues.cend(); ++it)
                query.bindValue(it.key(), it.value());
            ok = query.exec();
        }
        response = ok ? Response(query) : Response(query.lastError().type(), query.lastError().text());
        nativeError = query.lastError().nativeErrorCode();
    }
    m_queue->endRun(request);
    // A statement whose answer is no longer read may go on on the server, holding what it has locked.
    if (settings.statementTimeLimitSeconds > 0 && (ok ? response.isCut() : isConnectionLost(nativeError)))
        killStatement(settings, m_databaseConnectionName + QStringLiteral("#kill"), serverConnection);

    if (!ok) {
        const bool lost = isConnectionLost(nativeError);
        if (lost) {
            // Until the connection is open again, a request that would rather fail than wait is told at once,
            // this one first (it leaves the head before the others are taken out).
            const QString reason = QStringLiteral("Lost connection to the database: ") + response.errorText();
            const bool failsNow = r.failsWhileUnreachable;
            if (failsNow) {
                query.finish();
                db.close();
                m_queue->removeHead();
                r.unreachable = true;
                r.promise.reject(reason);
            }
            rejectAll(m_queue->setUnreachable(reason), reason);
            if (failsNow)
                return;
        }
        if (lost && running.elapsed() >= qint64(settings.readTimeoutSeconds) * 1000) {
            // The driver gave up waiting for the answer, and the same statement would only run into the
            // time-out again, holding every later request for as long each time.
            query.finish();
            db.close();
            qWarning().noquote() << QStringLiteral("Query outran the read time-out of %1 s, not run again")
                                        .arg(settings.readTimeoutSeconds);
        } else if (lost && r.runsOnce) {
            // Sent, so perhaps done: running it again could do it twice.
            query.finish();
            db.close();
            response = Response(QSqlError::ConnectionError,
                                QStringLiteral("The connection to the database was lost while the statement ran; it "
                                               "may have been done, and is not run again: %1")
                                    .arg(response.errorText()));
        } else if (lost) {
            // The request keeps its place and its attempts and runs again once the connection is back.
            query.finish();
            db.close();
            qWarning() << "Lost connection to database, reconnecting";
            if (++r.lostConnections <= kMaxLostConnectionReruns)
                return;
        } else if (--r.attempts > 0) {
            return;
        }
        if (response.isOk())
            response = Response(QSqlError::UnknownError, QStringLiteral("Query failed: %1").arg(r.query));
    }

    if (r.closesSession) {
        // The next request opens a fresh session.
        query.finish();
        db.close();
    }
    if (response.isOk())
        r.promise.resolve(response);
    else
        r.promise.reject(response.errorText());
    m_queue->removeHead();
}

void ConnectorThread::killStatement(const ConnectionSettings &settings, const QString &connectionName,
                                    quint64 serverConnection)
{
    if (serverConnection == 0)
        return;
    {
        QSqlDatabase db = settings.addDatabase(connectionName);
        db.setConnectOptions(
            QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=5;MYSQL_OPT_READ_TIMEOUT=5;MYSQL_OPT_WRITE_TIMEOUT=5"));
        QSqlError error = db.open() ? QSqlError() : db.lastError();
        if (db.isOpen()) {
            QSqlQuery query(db);
            // 1094, no such connection: the statement ended by itself.
            if (!query.exec(QStringLiteral("KILL QUERY %1").arg(serverConnection))
                && query.lastError().nativeErrorCode() != QLatin1String("1094"))
                error = query.lastError();
        }
        if (error.isValid()) {
            qWarning().noquote() << QStringLiteral("[%1] A statement given up could not be ended on the server: %2")
                                        .arg(settings.connectionName, error.text());
        }
        db.close();
    }
    SqlConnections::remove(connectionName);
}

void ConnectorThread::rejectPendingRequests()
{
    rejectAll(m_queue->takeExhausted(), QStringLiteral("Connection lost"));
}

} // namespace Orvix::SqlQueryPoll
