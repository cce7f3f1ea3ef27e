#include "actions/updateconfig.h"

namespace Orvix::Actions {

UpdateConfig::UpdateConfig(QObject *parent)
    : Action(QStringLiteral("/update_config"), true, parent)
{
    acceptOnlyJson();
}

void UpdateConfig::handle(const QJsonObject &params, Reply *reply)
{
    if (!takeSections(params, reply))
        return;
    const QPointer<Reply> guard(reply);
    const Utils::Promise<void, QJsonObject> promise;
    promise.onResolve([guard]() {
        if (guard)
            guard->sendResult(true);
    });
    promise.onReject([guard](const QJsonObject &reason) {
        if (!guard)
            return;
        // A saved configuration whose links then failed to come back is an outage, not a bad request.
        const QString error = reason.value(QLatin1String("error")).toString();
        if (error == QLatin1String("ERROR_PBX_RECONNECTION") || error == QLatin1String("ERROR_CRM_RECONNECTION"))
            guard->sendJson(503, reason);
        else
            guard->sendJson(422, QJsonObject{{QStringLiteral("errors"), reason}});
    });
    Q_EMIT request(params, promise);
}

} // namespace Orvix::Actions
