#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /check_connections: Runs the checks of the database, the PBX and the CRM, with the settings a section of the
// request gives ({"Database": {...}, "Asterisk": {...}, "Bitrix": {...}}, as typed on the page) in place of
// the saved ones.
class ConnectionsCheck : public Action
{
    Q_OBJECT

public:
    explicit ConnectionsCheck(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
