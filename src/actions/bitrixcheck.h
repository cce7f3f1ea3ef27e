#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /bitrix_check: Checks the CRM portal with the settings given (the request parameters).
class BitrixCheck : public Action
{
    Q_OBJECT

public:
    explicit BitrixCheck(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
