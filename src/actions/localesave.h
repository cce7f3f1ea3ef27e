#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /locale_save: Stores a dictionary of CRM texts (a new name when "name" is empty) and answers its file name.
class LocaleSave : public Action
{
    Q_OBJECT

public:
    explicit LocaleSave(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &name, const QJsonObject &dictionary, Utils::Promise<QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
