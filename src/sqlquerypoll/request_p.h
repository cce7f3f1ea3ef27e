#pragma once

#include "sqlquerypoll/response.h"
#include "utils/promise.h"

#include <QList>
#include <QMap>
#include <QString>
#include <QVariant>

namespace Orvix::SqlQueryPoll {

// Why a request given up by its caller before it started is rejected.
inline const QString kGivenUpReason = QStringLiteral("Given up before it started: not run");

// State of one request, shared by the caller's handle and the queued copy. The query text and bindings are set on
// the caller's thread before the request is queued and only read by the worker after that.
class RequestPrivate
{
public:
    RequestPrivate(const QString &query, int attempts)
        : query(query)
        , attempts(attempts)
    {
    }
    virtual ~RequestPrivate() = default;

    QString query;
    QList<QVariant> positionalValues;
    QMap<QString, QVariant> namedValues;
    Utils::Promise<Response, QString> promise;
    // Executions left before a failing query is rejected; 0 until queued means "the connector's default".
    int attempts = 0;
    // Re-runs spent on connections lost during this query; bounded so one slow query cannot block the pool.
    int lostConnections = 0;
    // Set before queueing: waits for a worker instead of failing when there is none.
    bool waitsForConnection = false;
    // Set before queueing: rejected rather than kept waiting while the database is away.
    bool failsWhileUnreachable = false;
    // Set by the worker before it rejects the request for that reason.
    bool unreachable = false;
    // Set before queueing: Request::runOnce, closeSessionAfter, limitResult (0: the whole result).
    bool runsOnce = false;
    bool closesSession = false;
    int maxRows = 0;
    qint64 maxBytes = 0;
    // Under the queue's mutex: given up by its caller (Connector::cancel); its statement on the server (running,
    // on the server's connection serverConnection).
    bool cancelled = false;
    bool running = false;
    quint64 serverConnection = 0;
};

} // namespace Orvix::SqlQueryPoll
