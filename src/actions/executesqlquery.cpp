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
    const QPointer<Reply> guard(reply);
    const Utils::Promise<QJsonObject, QString> promise;
    promise.onResolve([guard](const QJsonObject &result) {
        if (guard)
            guard->sendResult(result);
    });
    promise.onReject([guard](const QString &error) {
        if (guard)
            guard->sendError(502, error);
    });
    Q_EMIT request(sql, promise);
}

} // namespace Orvix::Actions
