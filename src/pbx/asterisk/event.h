#pragma once

#include <QDateTime>
#include <QString>

namespace Orvix::PBX::Asterisk {

// Id of a CEL record. The CEL table's id column may be widened to BIGINT on busy PBXes, so every
// place that stores, compares or saves one uses this type.
using CelId = qint64;

// One record of the PBX's CEL table: which channel did what, when, in which call.
// Plain value type, main thread only.
class Event
{
public:
    // Numbering of the CEL event types; 0 is any name outside the table.
    enum Types {
        Unknown = 0,
        ChanStart = 1,
        ChanEnd = 2,
        BridgeEnter = 3,
        BridgeExit = 4,
        BridgeStart = 5,
        BridgeEnd = 6,
        BridgeUpdate = 7,
        ConfStart = 8,
        ConfEnd = 9,
        ConfEnter = 10,
        ConfExit = 11,
        Answer = 12,
        Hangup = 13,
        Forward = 14,
        Transfer = 15,
        BlindTransfer = 16,
        AttendedTransfer = 17,
        ParkStart = 18,
        ParkEnd = 19,
        Pickup = 20,
        LocalOptimize = 21,
        UserDefined = 22,
        LinkedIdEnd = 23,
        AppStart = 24,
        AppEnd = 25,
        Hookflash = 26,
        ThreeWayStart = 27,
        ThreeWayEnd = 28,
    };

    Event() = default;
    // One CEL row, every column as text, in the order of the events query.
    Event(const QString &id, const QString &typeName, const QString &occurredAt, QString caller,
          QString extension, QString channelId, QString linkedTo, QString channelName);
    // The same row when the database driver already delivered the event time as a date-time.
    Event(const QString &id, const QString &typeName, const QDateTime &occurredAt, QString caller,
          QString extension, QString channelId, QString linkedTo, QString channelName);

    // Exact, case-sensitive look-up in the type table; 0 for any other name.
    static Types typeFromName(const QString &name);
    // The id text as a non-negative decimal number, 0 when it is not one.
    static CelId idFromText(const QString &text);
    // An event time as text: ISO form with 'T' or a blank, optional fractional seconds, local time.
    // Anything else gives a null time.
    static QDateTime timeFromText(const QString &text);

    CelId id() const { return m_id; }
    Types type() const { return m_type; }
    QString typeName() const { return m_typeName; }
    QDateTime occurredAt() const { return m_occurredAt; }
    QString caller() const { return m_caller; }
    QString extension() const { return m_extension; }
    QString channelId() const { return m_channelId; }
    QString linkedTo() const { return m_linkedTo; }
    QString channelName() const { return m_channelName; }

    void setId(CelId id) { m_id = id; }
    // Stores the name as read and its value from the type table.
    void setType(const QString &typeName);
    void setOccurredAt(const QString &text);
    void setOccurredAt(const QDateTime &at);

    QString toString() const;

private:
    CelId m_id = 0;
    Types m_type = Unknown;
    QString m_typeName;
    QDateTime m_occurredAt;
    QString m_caller;
    QString m_extension;
    QString m_channelId;
    QString m_linkedTo;
    QString m_channelName;
};

} // namespace Orvix::PBX::Asterisk
