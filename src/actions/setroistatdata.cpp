#include "actions/setroistatdata.h"

namespace Orvix::Actions {

SetRoistatData::SetRoistatData(QObject *parent)
    : Action(QStringLiteral("/set_roistat_data"), true, parent)
{
    acceptOnlyJson();
}

void SetRoistatData::handle(const QJsonObject &params, Reply *reply)
{
    QString callId;
    QJsonObject data;
    if (!takeText(params, QStringLiteral("call_id"), reply, &callId)
        || !takeObject(params, QStringLiteral("data"), reply, &data)
        || !requireNonBlank(callId, QStringLiteral("call_id"), reply))
        return;
    Q_EMIT event(callId, data);
    reply->sendResult(true);
}

} // namespace Orvix::Actions
