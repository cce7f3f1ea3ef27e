#include "actions/executesqlquery.h"

namespace Orvix::Actions {

ExecuteSqlQuery::ExecuteSqlQuery(QObject *parent)
    : Action(QStringLiteral("/execute_sql"), true, parent)
{
    acceptOnlyJson();
}

void ExecuteSqlQuery::handle(const QJsonObject &params, Reply *reply)
{
    QString sql;
    if (!takeText(params, QStringLiteral("sql"), reply, &sql)
        || !requireNonBlank(sql, QStringLiteral("sql"), reply))
        return;
    // One statement at a time: each may hold the database for minutes and its answer 16 MiB, and a client that
    // sent several at once would add them up.
    if (m_running) {
        reply->sendError(503, QStringLiteral("Busy: another SQL statement is still running; send this one when it "
                                             "has ended"));
        return;
    }
    m_running = true;
    connect(reply, &QObject::destroyed, this, [this, statement = ++m_statements]() {
        if (m_running && statement == m_statements)
            Q_EMIT cancelRequest();
    });
    // Free again when the statement ends, whether its client still waits for it or not.
    const QPointer<ExecuteSqlQuery> self(this);
    const QPointer<Reply> guard(reply);
    const Utils::Promise<QJsonObject, QString> promise;
    promise.onResolve([self, guard](const QJsonObject &result) {
        if (self)
            self->m_running = false;
        if (guard)
            guard->sendResult(result);
    });
    promise.onReject([self, guard](const QString &error) {
        if (self)
            self->m_running = false;
        if (guard)
            guard->sendError(502, error);
    });
    Q_EMIT request(sql, promise);
}

} // namespace Orvix::Actions
