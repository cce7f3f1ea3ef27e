#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace Orvix::SqlQueryPoll {

class RequestQueue;

// Held while a connection, and with it a driver, is registered or removed. The MySQL driver counts its
// instances in a plain integer and initialises and ends the client library on the first and the last one:
// two workers starting at once (the PBX link starts two) would run that on two threads and corrupt the heap.
inline QMutex &driverMutex()
{
    static QMutex mutex;
    return mutex;
}

// With the mutex held: one MySQL driver registered for the life of the process, so that the client library is
// initialised once and never ended between two workers, whatever other threads of the process do.
inline void keepMySqlLibrary()
{
    static bool kept = false;
    if (kept)
        return;
    kept = true;
    QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), QStringLiteral("orvix_mysql_library"));
}

// How a connector's connections are made. Copied out under the connector's mutex, so that a worker or the
// connection check works with one consistent set without holding the lock.
struct ConnectionSettings
{
    QString connectionName;
    QString driverName = QStringLiteral("QMYSQL");
    QString host = QStringLiteral("localhost");
    int port = 3281;
    QString userName;
    QString password;
    QString databaseName;
    int reconnectInterval = 5000;
    // MYSQL_OPT_READ_TIMEOUT: how long a query may keep the server silent before the driver gives up.
    int readTimeoutSeconds = 60;
    int defaultAttempts = 5;

    // A connection of this thread named `name` with these settings, not yet opened.
    QSqlDatabase addDatabase(const QString &name) const
    {
        if (driverName == QLatin1String("QMYSQL"))
            keepMySqlLibrary();
        QSqlDatabase db = QSqlDatabase::addDatabase(driverName, name);
        db.setHostName(host);
        db.setPort(port);
        db.setUserName(userName);
        db.setPassword(password);
        db.setDatabaseName(databaseName);
        return db;
    }
};

// The settings of one connector and the queue of its current worker. Shared by the connector and its workers, so
// a worker may outlive the connector. The mutex guards every field: the connector writes them on its thread while a
// worker reads them on its own.
class ConnectorPrivate
{
public:
    explicit ConnectorPrivate(const QString &connectionName)
        : checkConnectionName(connectionName)
    {
        settings.connectionName = connectionName;
    }
    virtual ~ConnectorPrivate() = default;

    ConnectionSettings settingsSnapshot() const
    {
        QMutexLocker locker(&mutex);
        return settings;
    }

    mutable QMutex mutex;
    ConnectionSettings settings;
    QStringList afterConnectQueries;
    // The queue of the worker that takes requests; empty when there is none.
    QSharedPointer<RequestQueue> queue;
    QString checkConnectionName;
};

} // namespace Orvix::SqlQueryPoll
