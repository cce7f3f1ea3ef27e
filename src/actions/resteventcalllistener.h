#pragma once

#include "actions/action.h"
#include "crm/c2cdata.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /events/rest_call: Receives a click-to-call event sent as a REST event call and passes it on. Public: the
// portal calls it.
class RestEventCallListener : public Action, public C2CData
{
    Q_OBJECT

public:
    explicit RestEventCallListener(QObject *parent = nullptr);

Q_SIGNALS:
    void event(int userId, const QString &phone, const QString &lineNumber, const QJsonObject &event);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
