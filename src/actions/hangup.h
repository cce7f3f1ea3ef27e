#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /hangup: Hangs up the call of an internal number.
class Hangup : public Action
{
    Q_OBJECT

public:
    explicit Hangup(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &number, Utils::Promise<void, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
