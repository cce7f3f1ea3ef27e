#include "actions/getresponsibledata.h"

#include "actions/lookupanswer.h"

namespace Orvix::Actions {

GetResponsibleData::GetResponsibleData(QObject *parent)
    : Action(QStringLiteral("/get_responsible_data"), false, parent)
{
    lookUpPbxHost();
}

void GetResponsibleData::handle(const QJsonObject &params, Reply *reply)
{
    QString phone;
    if (!takeText(params, QStringLiteral("phone"), reply, &phone)
        || !requireNonBlank(phone, QStringLiteral("phone"), reply))
        return;
    const Utils::Promise<QJsonObject, CRM::Bitrix::LookupFailure> promise;
    answerLookupWhenSettled(reply, promise);
    Q_EMIT request(phone, promise);
}

} // namespace Orvix::Actions
