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

QString timeToText(const QDateTime &time)
{
    return time.isValid() ? time.toString(DATE_TIME_FORMAT) : QString();
}

void warnIfStatusGoesDown(int current, int next)
{
    if (next < current)
        qWarning().noquote()
                << QStringLiteral("A new call status is less then current one: %1 > %2").arg(current).arg(next);
}

} // namespace Orvix::Entities::Detail
