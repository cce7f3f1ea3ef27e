#include "actions/getresponsiblebyphonenumber.h"

namespace Orvix::Actions {

GetResponsibleByPhoneNumber::GetResponsibleByPhoneNumber(QObject *parent)
    : Action(QStringLiteral("/get_responsible_by_phone_number"), false, parent)
{
}

void GetResponsibleByPhoneNumber::handle(const QJsonObject &params, Reply *reply)
{
    QString phone;
    if (!takeText(params, QStringLiteral("phone"), reply, &phone)
        || !requireNonBlank(phone, QStringLiteral("phone"), reply))
        return;
    const Utils::Promise<QString> promise;
    answerWhenSettled(reply, promise, 404, QStringLiteral("Responsible not found"));
    Q_EMIT request(phone, promise);
}

} // namespace Orvix::Actions
