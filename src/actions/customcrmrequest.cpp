#include "actions/customcrmrequest.h"

namespace Orvix::Actions {

CustomCrmRequest::CustomCrmRequest(QObject *parent)
    : Action(QStringLiteral("/custom_crm_request"), true, parent)
{
    acceptOnlyJson();
}

void CustomCrmRequest::handle(const QJsonObject &params, Reply *reply)
{
    QString method;
    QJsonObject methodParams;
    QString httpMethod = QStringLiteral("GET");
    if (!takeText(params, QStringLiteral("method"), reply, &method)
        || !takeOptionalObject(params, QStringLiteral("params"), reply, &methodParams)
        || !takeOptionalText(params, QStringLiteral("http_method"), reply, &httpMethod)
        || !requireNonBlank(method, QStringLiteral("method"), reply))
        return;
    const Utils::Promise<QJsonValue, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("CRM request failed"));
    Q_EMIT request(method, methodParams, httpMethod, promise);
}

} // namespace Orvix::Actions
