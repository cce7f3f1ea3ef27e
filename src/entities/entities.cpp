#include "entities/entities.h"

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

} // namespace Orvix::Entities
