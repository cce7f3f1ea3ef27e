#pragma once

#include "actions/action.h"
#include "crm/c2cdata.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /events/external_call_back_start: Receives the CRM's call-back event and passes its phone and line on. Public:
// the portal calls it.
class ExternalCallBackStartEventListener : public Action, public C2CData
{
    Q_OBJECT

public:
    explicit ExternalCallBackStartEventListener(QObject *parent = nullptr);

Q_SIGNALS:
    void event(const QString &phone, const QString &lineNumber);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
