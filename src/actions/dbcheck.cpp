#include "actions/dbcheck.h"

namespace Orvix::Actions {

DbCheck::DbCheck(QObject *parent)
    : Action(QStringLiteral("/db_check"), true, parent)
{
    acceptOnlyJson();
}

void DbCheck::handle(const QJsonObject &params, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise, params);
}

} // namespace Orvix::Actions
