#include "actions/getresponsibledata.h"

namespace Orvix::Actions {

GetResponsibleData::GetResponsibleData(QObject *parent)
    : Action(QStringLiteral("/get_responsible_data"), false, parent)
{
}

void GetResponsibleData::handle(const QJsonObject &params, Reply *reply)
{
    QString phone;
    if (!takeText(params, QStringLiteral("phone"), reply, &phone)
        || !requireNonBlank(phone, QStringLiteral("phone"), reply))
        return;
    const Utils::Promise<QJsonObject> promise;
    answerWhenSettled(reply, promise, 404, QStringLiteral("Responsible not found"));
    Q_EMIT request(phone, promise);
}

} // namespace Orvix::Actions
