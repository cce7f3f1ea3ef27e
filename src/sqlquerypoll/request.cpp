#include "request.h"

#include "sqlquerypoll/request_p.h"

namespace Orvix::SqlQueryPoll {

Request::Request(const QString &query, quint8 attempts)
    : d(QSharedPointer<RequestPrivate>::create(query, int(attempts)))
{
}

Request &Request::addBindValue(const QVariant &value)
{
    d->positionalValues.append(value);
    return *this;
}

Request &Request::bindValue(const QString &placeholder, const QVariant &value)
{
    d->namedValues.insert(placeholder, value);
    return *this;
}

Request &Request::onResolve(std::function<void(Response)> callback)
{
    d->promise.onResolve(std::move(callback));
    return *this;
}

Request &Request::onReject(std::function<void(QString)> callback)
{
    d->promise.onReject(std::move(callback));
    return *this;
}

Request &Request::waitForConnection()
{
    d->waitsForConnection = true;
    return *this;
}

Request &Request::failWhileUnreachable()
{
    d->failsWhileUnreachable = true;
    return *this;
}

bool Request::isUnreachable() const
{
    return d->unreachable;
}

Request &Request::runOnce()
{
    d->attempts = 1;
    d->runsOnce = true;
    return *this;
}

Request &Request::closeSessionAfter()
{
    d->closesSession = true;
    return *this;
}

Request &Request::limitResult(int maxRows, qint64 maxBytes)
{
    Q_ASSERT(d->positionalValues.isEmpty() && d->namedValues.isEmpty());
    d->maxRows = maxRows;
    d->maxBytes = maxBytes;
    // A cut result ends its connection.
    d->closesSession = true;
    return *this;
}

QString Request::query() const
{
    return d->query;
}

} // namespace Orvix::SqlQueryPoll
