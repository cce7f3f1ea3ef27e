#pragma once

#include "actions/action.h"
#include "crm/bitrix/lookupfailure.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_responsible_data: Answers the responsible number and the entity name ("number", "name") of a phone.
// Public: PBX dial plans call it.
class GetResponsibleData : public Action
{
    Q_OBJECT

public:
    explicit GetResponsibleData(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &phone, Utils::Promise<QJsonObject, CRM::Bitrix::LookupFailure> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
