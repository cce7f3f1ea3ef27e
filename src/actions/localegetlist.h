#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /locale_get_list: Lists the dictionaries of CRM texts by name.
class LocaleGetList : public Action
{
    Q_OBJECT

public:
    explicit LocaleGetList(QObject *parent = nullptr);

Q_SIGNALS:
    void request(Utils::Promise<QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
