#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /locate_asterisk: Looks for the PBX's own configuration on this machine.
class LocateAsterisk : public Action
{
    Q_OBJECT

public:
    explicit LocateAsterisk(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
