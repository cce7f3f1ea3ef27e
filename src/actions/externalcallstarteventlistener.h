#pragma once

#include "actions/action.h"
#include "crm/c2cdata.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /events/external_call_start: Receives the CRM's click-to-call event (its form body) and passes it on. Public:
// the portal calls it.
class ExternalCallStartEventListener : public Action, public C2CData
{
    Q_OBJECT

public:
    explicit ExternalCallStartEventListener(QObject *parent = nullptr);

Q_SIGNALS:
    void event(int userId, const QString &phone, const QString &lineNumber, const QJsonObject &event);

protected:
    // For a listener taking the same event on another route.
    ExternalCallStartEventListener(const QString &route, QObject *parent);

    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
