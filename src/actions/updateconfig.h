#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /update_config: Validates, saves and applies configuration sections: {section: {key: value}}. The
// promise resolves once the change is written and applied, or is written and waits for the links'
// restart: then with a note saying so, which the answer carries beside the result. A refusal is
// {key: error text}; one for a hand edit of the file is answered 409 with its text.
class UpdateConfig : public Action
{
    Q_OBJECT

public:
    explicit UpdateConfig(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QJsonObject &config, Utils::Promise<QString, QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
