#include "actions/action.h"

#include <QJsonValue>

namespace Orvix::Actions {

namespace {

enum class Presence { Missing, Malformed, Present };

Presence readText(const QJsonObject &params, const QString &key, QString *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return Presence::Missing;
    if (raw.isString()) {
        *value = raw.toString();
        return Presence::Present;
    }
    // A number posted as JSON ("number": 101) means the same as the text a form would carry.
    const double number = raw.toDouble();
    if (raw.isDouble() && number == static_cast<double>(static_cast<qint64>(number))) {
        *value = QString::number(static_cast<qint64>(number));
        return Presence::Present;
    }
    return Presence::Malformed;
}

} // namespace

Action::Action(const QString &route, bool requiresAuth, QObject *parent)
    : QObject(parent)
    , HttpServer::IAction(route, requiresAuth)
{
}

void Action::execute(const HttpServer::Request &request, HttpServer::Response response)
{
    auto *reply = new Reply(request.method(), std::move(response), this);
    reply->setClientAddress(request.remoteAddress());
    if (m_onlyJson && !request.isJson()) {
        reply->sendError(415, QStringLiteral("Send a JSON body (Content-Type: application/json)"));
        return;
    }
    if (request.isJson() && !request.isJsonValid()) {
        reply->sendError(400, QStringLiteral("Malformed JSON body"));
        return;
    }
    reply->startTimeout(m_timeout);
    handle(request.parameters(), reply);
}

bool Action::takeText(const QJsonObject &params, const QString &key, Reply *reply, QString *value)
{
    switch (readText(params, key, value)) {
    case Presence::Present:
        return true;
    case Presence::Missing:
        reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
        return false;
    case Presence::Malformed:
        break;
    }
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::requireNonBlank(const QString &value, const QString &key, Reply *reply)
{
    if (!value.trimmed().isEmpty())
        return true;
    reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
    return false;
}

bool Action::takeOptionalText(const QJsonObject &params, const QString &key, Reply *reply, QString *value)
{
    if (readText(params, key, value) != Presence::Malformed)
        return true;
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::takeObject(const QJsonObject &params, const QString &key, Reply *reply, QJsonObject *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull()) {
        reply->sendError(400, QStringLiteral("Missing parameter: %1").arg(key));
        return false;
    }
    return takeOptionalObject(params, key, reply, value);
}

bool Action::takeOptionalObject(const QJsonObject &params, const QString &key, Reply *reply,
                                QJsonObject *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return true;
    if (!raw.isObject()) {
        reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
        return false;
    }
    *value = raw.toObject();
    return true;
}

bool Action::takeOptionalBool(const QJsonObject &params, const QString &key, Reply *reply, bool *value)
{
    const QJsonValue raw = params.value(key);
    if (raw.isUndefined() || raw.isNull())
        return true;
    if (raw.isBool()) {
        *value = raw.toBool();
        return true;
    }
    // Forms and queries carry texts.
    const QString text = raw.isDouble() ? QString::number(raw.toDouble()) : raw.toString().toLower();
    if (text == QLatin1String("true") || text == QLatin1String("1")) {
        *value = true;
        return true;
    }
    if (text == QLatin1String("false") || text == QLatin1String("0")) {
        *value = false;
        return true;
    }
    reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(key));
    return false;
}

bool Action::takeSections(const QJsonObject &params, Reply *reply)
{
    if (params.isEmpty()) {
        reply->sendError(400, QStringLiteral("Missing parameter: configuration"));
        return false;
    }
    for (auto it = params.constBegin(); it != params.constEnd(); ++it) {
        if (!it.value().isObject()) {
            reply->sendError(400, QStringLiteral("Malformed parameter: %1").arg(it.key()));
            return false;
        }
    }
    return true;
}

} // namespace Orvix::Actions
