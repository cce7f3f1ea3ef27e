#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /update_external_lines: Renames (or adds) one external line of the CRM: "NUMBER", "NAME".
class UpdateExternalLines : public Action
{
    Q_OBJECT

public:
    explicit UpdateExternalLines(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QJsonObject &line, Utils::Promise<void, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
