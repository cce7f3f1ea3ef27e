#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /update_config: Validates, saves and applies configuration sections: {section: {key: value}}.
class UpdateConfig : public Action
{
    Q_OBJECT

public:
    explicit UpdateConfig(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QJsonObject &config, Utils::Promise<void, QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
