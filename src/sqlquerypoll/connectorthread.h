#pragma once

#include "utils/outagelog.h"

#include <QList>
#include <QObject>
#include <QSharedPointer>

class QSqlDatabase;

namespace Orvix::SqlQueryPoll {

class ConnectorPrivate;
struct ConnectionSettings;
class Request;
class RequestQueue;

// The worker of a connector: lives on its own thread, owns the database connection and runs the queued requests
// one at a time, in order. process() keeps the thread until the worker is stopped; then every request still queued
// is rejected and finished() is emitted. Deleted by deleteLater once finished.
class ConnectorThread : public QObject
{
    Q_OBJECT

public:
    ConnectorThread(const QSharedPointer<ConnectorPrivate> &connector, const QSharedPointer<RequestQueue> &queue,
                    const QString &databaseConnectionName);

    QSharedPointer<RequestQueue> queue() const { return m_queue; }

    // Ends the statement that runs on the server's connection `serverConnection`, from a connection of its own
    // named connectionName: a client that stops reading an answer does not stop the server. Blocks a few seconds
    // at most; any thread.
    static void killStatement(const ConnectionSettings &settings, const QString &connectionName,
                              quint64 serverConnection);

public Q_SLOTS:
    void process();
    // Safe from any thread: the loop sees it at its next check, at once when idle or pausing.
    void stop();

Q_SIGNALS:
    void finished();

private:
    void run(QSqlDatabase &db, const ConnectionSettings &settings);
    bool runAfterConnectQueries(QSqlDatabase &db, const ConnectionSettings &settings, QString *error);
    void runHead(QSqlDatabase &db, Request &request, const ConnectionSettings &settings);
    void rejectPendingRequests();
    static void rejectAll(const QList<Request> &requests, const QString &reason);

    QSharedPointer<ConnectorPrivate> m_connector;
    QSharedPointer<RequestQueue> m_queue;
    // Each worker registers its own connection: a stopped worker may still hold its connection while its successor
    // opens one, and Qt's connections are per thread.
    const QString m_databaseConnectionName;
    int m_reconnectBudget = 0;
    Utils::OutageLog m_outage;
};

} // namespace Orvix::SqlQueryPoll
