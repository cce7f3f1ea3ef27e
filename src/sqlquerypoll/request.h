#pragma once

#include "sqlquerypoll/response.h"
#include "utils/promise.h"

#include <QSharedPointer>
#include <QString>
#include <QVariant>

#include <functional>

namespace Orvix::SqlQueryPoll {

class RequestPrivate;

// What one administrator's statement may read (limitResult): the first of the two ends the answer. The bytes are
// those of the rows' compact JSON, escapes included.
inline constexpr int kStatementMaxRows = 10000;
inline constexpr qint64 kStatementMaxBytes = 16 * 1024 * 1024;

// One SQL query with its bound values and the promise its outcome settles. A handle: copies share one request, so
// the caller keeps a copy to register its callbacks and hands another to Connector::execute. Callbacks run on the
// thread that registered them.
class Request
{
public:
    // attempts: executions allowed for a query that keeps failing; 0 takes the connector's default.
    explicit Request(const QString &query, quint8 attempts = 0);

    // Positional values, bound in the order added.
    Request &addBindValue(const QVariant &value);
    // A named placeholder such as ":last_id"; binding a name again replaces its value.
    Request &bindValue(const QString &placeholder, const QVariant &value);

    Request &onResolve(std::function<void(Response)> callback);
    Request &onReject(std::function<void(QString)> callback);
    // Queued while the connector is stopped, the request waits for its next start instead of being
    // rejected with "Loop disabled": for a look-up that must not fail because the links restart.
    Request &waitForConnection();
    // Rejected at once while the database cannot be reached (the last connection attempt failed, or the
    // connection broke under this query) instead of waiting for it: for a client better told to come back
    // later. isUnreachable() then says why it was rejected.
    Request &failWhileUnreachable();
    bool isUnreachable() const;
    // Executed once: a failure is not tried again, nor is a statement whose connection was lost once it was
    // sent (the server may have done it). For a statement that may change data.
    Request &runOnce();
    // The connection is closed after this request, so that whatever it set on its session (SET, USE,
    // temporary tables, locks, an open transaction) reaches no later request.
    Request &closeSessionAfter();
    // Rows are read from the server one at a time, up to maxRows and maxBytes of their JSON; the rest is
    // left (Response::isCut), so the answer's memory does not follow the result, and the connection is cut rather
    // than drained (implies closeSessionAfter). The text is sent as it is: for a request without bound values. On
    // another driver than MySQL the whole result is read.
    Request &limitResult(int maxRows, qint64 maxBytes);

    QString query() const;

private:
    friend class Connector;
    friend class ConnectorThread;
    friend class RequestQueue;

    QSharedPointer<RequestPrivate> d;
};

} // namespace Orvix::SqlQueryPoll
