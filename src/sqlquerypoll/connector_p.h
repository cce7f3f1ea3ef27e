#pragma once

#include <QMutex>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace Orvix::SqlQueryPoll {

class RequestQueue;

// The settings of one connector and the queue of its current worker. Shared by the connector and its workers, so
// a worker may outlive the connector. The mutex guards every field: the connector writes them on its thread while a
// worker reads them on its own.
class ConnectorPrivate
{
public:
    explicit ConnectorPrivate(const QString &connectionName)
        : connectionName(connectionName)
        , checkConnectionName(connectionName)
    {
    }
    virtual ~ConnectorPrivate() = default;

    mutable QMutex mutex;
    QString connectionName;
    QString driverName = QStringLiteral("QMYSQL");
    QString host = QStringLiteral("localhost");
    int port = 3281;
    QString userName;
    QString password;
    QString databaseName;
    int reconnectInterval = 5000;
    int defaultAttempts = 5;
    QStringList afterConnectQueries;
    // The queue of the worker that takes requests; empty when there is none.
    QSharedPointer<RequestQueue> queue;
    QString checkConnectionName;
};

} // namespace Orvix::SqlQueryPoll
