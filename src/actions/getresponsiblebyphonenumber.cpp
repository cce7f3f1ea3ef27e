#include "actions/getresponsiblebyphonenumber.h"

#include "actions/lookupanswer.h"

namespace Orvix::Actions {

GetResponsibleByPhoneNumber::GetResponsibleByPhoneNumber(QObject *parent)
    : Action(QStringLiteral("/get_responsible_by_phone_number"), false, parent)
{
    lookUpPbxHost();
}

void GetResponsibleByPhoneNumber::handle(const QJsonObject &params, Reply *reply)
{
    QString phone;
    if (!takeText(params, QStringLiteral("phone"), reply, &phone)
        || !requireNonBlank(phone, QStringLiteral("phone"), reply))
        return;
    const Utils::Promise<QString, CRM::Bitrix::LookupFailure> promise;
    answerLookupWhenSettled(reply, promise);
    Q_EMIT request(phone, promise);
}

} // namespace Orvix::Actions
