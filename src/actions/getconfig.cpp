#include "actions/getconfig.h"

namespace Orvix::Actions {

GetConfig::GetConfig(QObject *parent)
    : Action(QStringLiteral("/get_config"), true, parent)
{
}

void GetConfig::handle(const QJsonObject &, Reply *reply)
{
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("Configuration unavailable"));
    Q_EMIT request(promise);
}

} // namespace Orvix::Actions
