#pragma once

#include "sqlquerypoll/connector.h"
#include "sqlquerypoll/request.h"
#include "sqlquerypoll/response.h"
#include "support/promisewatch.h"

namespace Orvix::Tests {

using RequestOutcome = Outcome<SqlQueryPoll::Response, QString>;

// Requests settle like promises without being ones, so their types are named here.
inline QSharedPointer<RequestOutcome> watch(const SqlQueryPoll::Request &request)
{
    return watch<SqlQueryPoll::Response, QString>(request);
}

// Hands the request to the pool, watched from the calling thread.
inline QSharedPointer<RequestOutcome> execute(SqlQueryPoll::Connector &connector, const SqlQueryPoll::Request &request)
{
    auto outcome = watch(request);
    connector.execute(request);
    return outcome;
}

inline QSharedPointer<RequestOutcome> execute(SqlQueryPoll::Connector &connector, const QString &sql)
{
    return execute(connector, SqlQueryPoll::Request(sql));
}

} // namespace Orvix::Tests
