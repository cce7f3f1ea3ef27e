#pragma once

#include "sqlquerypoll/request.h"
#include "sqlquerypoll/sqlconnections.h"

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSharedPointer>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

namespace Orvix::SqlQueryPoll {

class RequestQueue;

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
    // Connector::limitStatements; 0: none.
    int statementTimeLimitSeconds = 0;
    int defaultAttempts = 5;

    // A connection of this thread named `name` with these settings, not yet opened.
    QSqlDatabase addDatabase(const QString &name) const
    {
        QSqlDatabase db = SqlConnections::add(name, driverName);
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
    // Requests that wait for the next worker (Request::waitForConnection).
    QList<Request> waiting;
    QString checkConnectionName;
};

} // namespace Orvix::SqlQueryPoll
