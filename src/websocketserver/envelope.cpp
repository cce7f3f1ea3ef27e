#include "envelope.h"

namespace Orvix::WebSocketServer::Envelope {

namespace {

QJsonObject meta(const QString &action, const QJsonValue &id, const QString &status)
{
    QJsonObject object{{QStringLiteral("status"), status}};
    if (!action.isEmpty())
        object.insert(QStringLiteral("action"), action);
    if (!id.isUndefined())
        object.insert(QStringLiteral("id"), id);
    return object;
}

} // namespace

QJsonObject response(const QString &action, const QJsonValue &id, const QJsonValue &data)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("response")},
                       {QStringLiteral("meta"), meta(action, id, QStringLiteral("success"))},
                       {QStringLiteral("data"), data}};
}

QJsonObject error(const QString &action, const QJsonValue &id, const QJsonObject &error)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("response")},
                       {QStringLiteral("meta"), meta(action, id, QStringLiteral("error"))},
                       {QStringLiteral("data"), error}};
}

QJsonObject event(const QString &name, const QJsonValue &data)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("event")},
                       {QStringLiteral("meta"), QJsonObject{{QStringLiteral("event"), name}}},
                       {QStringLiteral("data"), data}};
}

} // namespace Orvix::WebSocketServer::Envelope
