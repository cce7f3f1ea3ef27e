#pragma once

#include <QMetaType>
#include <QString>

// Vocabulary shared by the whole program about calls: directions, statuses and the text formats of
// their time stamps. Calls and conversations store both enumerations as 32-bit integers and write
// them to JSON as such, so a value outside the table survives a save and shows as "unknown".

namespace Orvix::Entities {

enum class CallType : qint32 {
    Unknown = 0, // the from or the to number is empty
    Local = 1, // both numbers are internal
    Incoming = 2, // the caller is external
    Outgoing = 3, // the caller is internal and the callee external
};

// Ordered: a call or leg only moves up; each of Ringing, Talking and Hung records its own time.
enum class CallStatus : qint32 {
    Unknown = 0,
    Ringing = 1,
    Talking = 2,
    Hung = 3,
};

// Every time stamp of a call or conversation in JSON, dumps and summaries; read back as local time.
inline const QString DATE_TIME_FORMAT = QStringLiteral("yyyy-MM-dd HH:mm:ss");
// Durations in the call summary line.
inline const QString TIME_FORMAT = QStringLiteral("HH:mm:ss");
// Called number of a call while the dialled number is not yet known.
inline const QString PHONE_NUMBER_PLACEHOLDER = QStringLiteral("X00000000X");

QString callTypeToString(int type);
QString callTypeToString(CallType type);
QString callStatusToString(int status);
QString callStatusToString(CallStatus status);

// Whether the PBX's unique id `a` (of a channel, a leg) was handed out before `b`. The ids are
// "[system name-]seconds.counter": the counter passes from 9 to 10, 99 to 100 and so on, where text
// order would put the later one first. Ids of any other form come after those, in text order.
bool uniqueIdBefore(const QString &a, const QString &b);

} // namespace Orvix::Entities

Q_DECLARE_METATYPE(Orvix::Entities::CallType)
Q_DECLARE_METATYPE(Orvix::Entities::CallStatus)
