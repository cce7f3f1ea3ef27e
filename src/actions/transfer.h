#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /transfer: Transfers the call of an internal number, blind unless "blind" is false.
class Transfer : public Action
{
    Q_OBJECT

public:
    explicit Transfer(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &userPhone, const QString &transferTo, bool blind,
                 Utils::Promise<void, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
