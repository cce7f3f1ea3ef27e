#pragma once

#include "actions/action.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::Actions {

// /custom_crm_request: Sends one REST method of the CRM with its parameters and answers its result. A
// method that is no plain method name (at least one letter, parts of letters, digits and '_' between single
// dots), or an http_method other than GET or POST (empty is GET), is refused with 422.
class CustomCrmRequest : public Action
{
    Q_OBJECT

public:
    explicit CustomCrmRequest(QObject *parent = nullptr);

Q_SIGNALS:
    void request(const QString &method, const QJsonObject &params, const QString &httpMethod,
                 Utils::Promise<QJsonValue, QString> promise);

protected:
    void handle(const QJsonObject &params, Reply *reply) override;
};

} // namespace Orvix::Actions
