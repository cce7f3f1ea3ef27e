#include "actions/bitrixcheck.h"

namespace Orvix::Actions {

BitrixCheck::BitrixCheck(QObject *parent)
    : Action(QStringLiteral("/bitrix_check"), true, parent)
{
    acceptOnlyJson();
}

void BitrixCheck::handle(const QJsonObject &params, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise, params);
}

} // namespace Orvix::Actions
