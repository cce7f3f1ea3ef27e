#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_config: Answers the whole configuration (it holds passwords: digest only).
class GetConfig : public Action
{
    Q_OBJECT

public:
    explicit GetConfig(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
