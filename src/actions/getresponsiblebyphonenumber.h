#pragma once

#include "actions/action.h"
#include "crm/bitrix/lookupfailure.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_responsible_by_phone_number: Answers the number of the employee responsible for the CRM entity of a
// phone. Open to this host and the PBX, whose dial plans call it; other clients log in.
class GetResponsibleByPhoneNumber : public Action
{
    Q_OBJECT

public:
    explicit GetResponsibleByPhoneNumber(QObject *parent = nullptr);

    // A login is asked only of clients other than this host and the PBX.
    bool requiresAuthFor(const HttpServer::Request &request) const override
    {
        return !isLocalOrPbx(request);
    }

Q_SIGNALS:
    void request(const QString &phone, Utils::Promise<QString, CRM::Bitrix::LookupFailure> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
