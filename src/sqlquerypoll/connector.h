#pragma once

#include "sqlquerypoll/request.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSharedPointer>
#include <QString>

#include <chrono>

class QThread;

namespace Orvix::SqlQueryPoll {

class ConnectorPrivate;

// One named database connection served by a worker thread of its own. Requests run one at a time in the order
// given to execute(); each settles its promise on the thread that registered the callbacks. While the database is
// unreachable the worker retries every 5 s and the requests wait. Every operation is called on the connector's
// thread; the worker may outlive the connector briefly and is deleted once it has finished.
class Connector : public QObject
{
    Q_OBJECT

public:
    enum Driver { MySql = 0, Sqlite = 1 };

    explicit Connector(const QString &connectionName, QObject *parent = nullptr);
    ~Connector() override;

    // Read by the next worker that starts.
    void setConnectionSettings(const QString &host, int port, const QString &user, const QString &password,
                               const QString &databaseName);
    // 0 for MySQL/MariaDB ("QMYSQL"), 1 for SQLite ("QSQLITE"); other values change nothing.
    void setDriver(int driver);
    // Statements run after every successful open, before any request.
    void addAfterConnectQuery(const QString &query);
    // How long a MySQL query may keep the server silent before it fails (60 s unless set). A query that
    // fails that way is rejected at once, never run again. Read by the next worker that starts.
    void setReadTimeout(std::chrono::seconds timeout);
    // For statements a person sends: each runs at READ COMMITTED (no gap or next-key locks, so that other clients'
    // inserts never wait for it) and the server ends it after `limit`; its connection is opened for it; cancel() and
    // the destructor end it on the server. Read by the next worker that starts.
    void limitStatements(std::chrono::seconds limit);
    // The pause after a failed connection before the next try (5 s unless set). Read by the next worker.
    void setReconnectInterval(std::chrono::milliseconds interval);

    void start();
    // Between start() and stop().
    bool isStarted() const { return m_started; }
    // Queues the request; without a running worker it is rejected with "Loop disabled".
    void execute(const Request &request);
    // The worker takes no new requests, runs those already queued while the database is open, rejects the rest
    // with "Loop disabled" and ends. start() may follow at once.
    void stop();
    // The callers have given up every request held: those not started are rejected and never run; a running one
    // that closes its session is ended on the server (KILL QUERY from a connection of its own, off this thread).
    void cancel();

    // Opens and closes a connection with the current settings, on the calling thread.
    bool checkConnection(QString &errorText);

Q_SIGNALS:
    void stopThread();

private:
    QSharedPointer<ConnectorPrivate> d;
    bool m_started = false;
    // Threads of this connector's workers that may still be finishing; the destructor waits for them.
    QList<QPointer<QThread>> m_threads;
};

} // namespace Orvix::SqlQueryPoll
