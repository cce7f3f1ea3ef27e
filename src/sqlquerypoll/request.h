#pragma once

#include "sqlquerypoll/response.h"
#include "utils/promise.h"

#include <QSharedPointer>
#include <QString>
#include <QVariant>

#include <functional>

namespace Orvix::SqlQueryPoll {

class RequestPrivate;

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

    QString query() const;

private:
    friend class Connector;
    friend class ConnectorThread;
    friend class RequestQueue;

    QSharedPointer<RequestPrivate> d;
};

} // namespace Orvix::SqlQueryPoll
