#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /locale_get: Answers one dictionary of CRM texts and makes it current.
class LocaleGet : public Action
{
    Q_OBJECT

public:
    explicit LocaleGet(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &name, Utils::Promise<QJsonObject> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
