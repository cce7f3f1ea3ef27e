#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_external_lines: Lists the CRM's external lines.
class GetExternalLines : public Action
{
    Q_OBJECT

public:
    explicit GetExternalLines(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonArray, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
