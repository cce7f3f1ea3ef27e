#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /asterisk_check: Checks the PBX with the settings given (the request parameters).
class AsteriskCheck : public Action
{
    Q_OBJECT

public:
    explicit AsteriskCheck(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
