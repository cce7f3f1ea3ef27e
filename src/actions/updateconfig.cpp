#include "actions/updateconfig.h"

namespace Orvix::Actions {

UpdateConfig::UpdateConfig(QObject *parent)
    : Action(QStringLiteral("/update_config"), true, parent)
{
}

void UpdateConfig::handle(const QJsonObject &params, Reply *reply)
{
    if (params.isEmpty()) {
        reply->sendError(400, QStringLiteral("Missing parameter: configuration"));
        return;
    }
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!it.value().isObject()) {
            reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(it.key()));
            return;
        }
    }
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
