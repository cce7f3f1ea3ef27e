#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /get_user_list: Lists the CRM users that match the optional "filter" object.
class GetUserList : public Action
{
    Q_OBJECT

public:
    explicit GetUserList(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QJsonObject &filter, Utils::Promise<QJsonArray, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
