#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /locale_delete: Removes a dictionary of CRM texts (the built-in ones stay).
class LocaleDelete : public Action
{
    Q_OBJECT

public:
    explicit LocaleDelete(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &name, Utils::Promise<void> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
