#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /forward: Sends a channel of a running call to another number.
class Redirect : public Action
{
    Q_OBJECT

public:
    explicit Redirect(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &channelId, const QString &to, Utils::Promise<void, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
