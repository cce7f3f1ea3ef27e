#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /set_roistat_data: Hands analytics data for a call to the CRM side, to be merged into its lead.
class SetRoistatData : public Action
{
    Q_OBJECT

public:
    explicit SetRoistatData(QObject *parent = nullptr);

Q_SIGNALS:
    void event(const QString &callId, const QJsonObject &data);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
