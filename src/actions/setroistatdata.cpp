#include "actions/setroistatdata.h"

namespace Orvix::Actions {

SetRoistatData::SetRoistatData(QObject *parent)
    : Action(QStringLiteral("/set_roistat_data"), true, parent)
{
}

void SetRoistatData::handle(const QJsonObject &params, Reply *reply)
{
    QString callId;
    QJsonObject data;
    if (!takeText(params, QStringLiteral("call_id"), reply, &callId)
        || !takeObject(params, QStringLiteral("data"), reply, &data))
        return;
    if (callId.trimmed().isEmpty()) {
        reply->sendError(400, QStringLiteral("Missing parameter: call_id"));
        return;
    }
    Q_EMIT event(callId, data);
    reply->sendResult(true);
}

} // namespace Orvix::Actions
