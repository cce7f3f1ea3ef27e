#pragma once

#include "actions/action.h"
#include "crm/bitrix/lookupfailure.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_responsible_by_phone_number: Answers the number of the employee responsible for the CRM entity of a
// phone. Public: PBX dial plans call it.
class GetResponsibleByPhoneNumber : public Action
{
    Q_OBJECT

public:
    explicit GetResponsibleByPhoneNumber(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &phone, Utils::Promise<QString, CRM::Bitrix::LookupFailure> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
