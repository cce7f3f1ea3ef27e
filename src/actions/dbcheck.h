#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /db_check: Checks the PBX database with the settings given (the request parameters).
class DbCheck : public Action
{
    Q_OBJECT

public:
    explicit DbCheck(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise, const QJsonObject &settings);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
