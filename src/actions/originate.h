#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /originate: Starts a call from an internal number to another number.
class Originate : public Action
{
    Q_OBJECT

public:
    explicit Originate(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &from, const QString &to, Utils::Promise<void, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
