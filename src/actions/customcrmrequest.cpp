#include "actions/customcrmrequest.h"

#include <QRegularExpression>

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
    // The method is a part of the portal's REST address: anything but a plain name could reach
    // another of its paths, its OAuth endpoint among them ("." and ".." name a directory, not a method).
    static const QRegularExpression plainMethod(
        QStringLiteral("^(?=[0-9_.]*[A-Za-z])[A-Za-z0-9_]+(\\.[A-Za-z0-9_]+)*\\z"));
    if (!plainMethod.match(method).hasMatch()) {
        reply->sendError(422, QStringLiteral("Malformed parameter: method: a REST method name of letters, digits, "
                                             "'_' and '.', such as crm.lead.list"));
        return;
    }
    if (!httpMethod.isEmpty() && httpMethod.compare(QLatin1String("GET"), Qt::CaseInsensitive) != 0
        && httpMethod.compare(QLatin1String("POST"), Qt::CaseInsensitive) != 0) {
        reply->sendError(422, QStringLiteral("Malformed parameter: http_method: GET or POST"));
        return;
    }
    const Utils::Promise<QJsonValue, QString> promise;
    answerWhenSettled(reply, promise, 502, QStringLiteral("CRM request failed"));
    Q_EMIT request(method, methodParams, httpMethod, promise);
}

} // namespace Orvix::Actions
