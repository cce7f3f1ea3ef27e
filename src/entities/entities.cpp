#include "entities/entities.h"

#include <tuple>

namespace Orvix::Entities {

QString callTypeToString(int type)
{
    switch (type) {
    case static_cast<int>(CallType::Local):
        return QStringLiteral("local");
    case static_cast<int>(CallType::Incoming):
        return QStringLiteral("incoming");
    case static_cast<int>(CallType::Outgoing):
        return QStringLiteral("outgoing");
    default:
        return QStringLiteral("unknown");
    }
}

QString callTypeToString(CallType type)
{
    return callTypeToString(static_cast<int>(type));
}

QString callStatusToString(int status)
{
    switch (status) {
    case static_cast<int>(CallStatus::Ringing):
        return QStringLiteral("ringing");
    case static_cast<int>(CallStatus::Talking):
        return QStringLiteral("talking");
    case static_cast<int>(CallStatus::Hung):
        return QStringLiteral("hung");
    default:
        return QStringLiteral("unknown");
    }
}

QString callStatusToString(CallStatus status)
{
    return callStatusToString(static_cast<int>(status));
}

bool uniqueIdBefore(const QString &a, const QString &b)
{
    struct Key
    {
        bool other = true;
        QString prefix;
        qulonglong seconds = 0;
        qulonglong counter = 0;
        QString text;
    };
    const auto key = [](const QString &id) {
        Key result;
        result.text = id;
        const int dot = id.lastIndexOf(QLatin1Char('.'));
        if (dot < 0)
            return result;
        const int dash = id.lastIndexOf(QLatin1Char('-'), dot);
        bool secondsOk = false;
        bool counterOk = false;
        result.seconds = id.mid(dash + 1, dot - dash - 1).toULongLong(&secondsOk);
        result.counter = id.mid(dot + 1).toULongLong(&counterOk);
        result.other = !secondsOk || !counterOk;
        if (result.other) {
            result.seconds = 0;
            result.counter = 0;
        } else {
            result.prefix = id.left(dash + 1);
        }
        return result;
    };
    const Key x = key(a);
    const Key y = key(b);
    return std::tie(x.other, x.prefix, x.seconds, x.counter, x.text)
        < std::tie(y.other, y.prefix, y.seconds, y.counter, y.text);
}

} // namespace Orvix::Entities
