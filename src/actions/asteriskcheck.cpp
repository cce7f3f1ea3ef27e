#include "actions/asteriskcheck.h"

namespace Orvix::Actions {

AsteriskCheck::AsteriskCheck(QObject *parent)
    : Action(QStringLiteral("/asterisk_check"), true, parent)
{
    acceptOnlyJson();
}

void AsteriskCheck::handle(const QJsonObject &params, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Check failed"));
    Q_EMIT request(promise, params);
}

} // namespace Orvix::Actions
