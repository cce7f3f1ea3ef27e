#include "entities/callmodel_p.h"

#include <QDebug>

namespace Orvix::Entities::Detail {

CallType deriveCallType(const QString &from, const QString &to, bool fromLocal, bool toLocal)
{
    if (from.isEmpty() || to.isEmpty())
        return CallType::Unknown;
    if (fromLocal && toLocal)
        return CallType::Local;
    if (fromLocal)
        return CallType::Outgoing;
    // An external caller, whether the callee is internal or external too.
    return CallType::Incoming;
}

QString internalNumberOf(CallType type, const QString &from, const QString &to)
{
    switch (type) {
    case CallType::Incoming:
        return to;
    case CallType::Outgoing:
        return from;
    default:
        return QString();
    }
}

QString externalNumberOf(CallType type, const QString &from, const QString &to)
{
    switch (type) {
    case CallType::Incoming:
        return from;
    case CallType::Outgoing:
        return to;
    default:
        return QString();
    }
}

QJsonValue timeToJson(const QDateTime &time)
{
    if (!time.isValid())
        return QJsonValue(QJsonValue::Null);
    return time.toString(DATE_TIME_FORMAT);
}

QDateTime timeFromJson(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return QDateTime();
    return QDateTime::fromString(value.toString(), DATE_TIME_FORMAT);
}

QString jsonText(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}

QString timeToText(const QDateTime &time)
{
    return time.isValid() ? time.toString(DATE_TIME_FORMAT) : QString();
}

bool moveToStatus(qint32 &state, int status, const QDateTime &at, QDateTime &startedAt, QDateTime &answeredAt,
                  QDateTime &endedAt)
{
    if (status == state)
        return false;
    if (status < state)
        qWarning().noquote()
                << QStringLiteral("A new call status is less then current one: %1 > %2").arg(state).arg(status);
    switch (status) {
    case static_cast<int>(CallStatus::Ringing):
        startedAt = at;
        break;
    case static_cast<int>(CallStatus::Talking):
        answeredAt = at;
        break;
    case static_cast<int>(CallStatus::Hung):
        endedAt = at;
        break;
    default:
        break;
    }
    state = status;
    return true;
}

} // namespace Orvix::Entities::Detail
