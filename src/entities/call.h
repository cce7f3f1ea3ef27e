#pragma once

#include "entities/conversation.h"
#include "entities/entities.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QMetaType>
#include <QString>

namespace Orvix::Entities {

// One PBX call (one Asterisk linked id) with its legs. A plain value: the PBX link keeps calls in its
// call table and emits copies; its JSON form is the call record of the saved PBX state. Main thread only.
class Call
{
public:
    // Stored as the to number (with the local flag set) until the dialled number is known; unlike a
    // conversation, a call returns it as stored.
    static inline const QString PHONE_NUMBER_PLACEHOLDER = QStringLiteral("X00000000X");

    Call() = default;
    explicit Call(const QString &id);
    explicit Call(const QJsonObject &json);

    QString id() const { return m_id; }

    QString from() const { return m_from; }
    QString to() const { return m_to; }
    // Setting a number leaves the direction alone: call updateType() or setType() afterwards.
    void setFrom(const QString &number, bool isLocal);
    void setTo(const QString &number, bool isLocal);

    QString trunk() const { return m_trunk; }
    void setTrunk(const QString &trunk);

    CallType type() const { return m_type; }
    void setType(CallType type) { m_type = type; }
    void updateType();
    bool isIncoming() const { return m_type == CallType::Incoming; }
    bool isOutgoing() const { return m_type == CallType::Outgoing; }
    bool isLocal() const { return m_type == CallType::Local; }
    bool isUnknown() const { return m_type == CallType::Unknown; }
    bool isFromLocal() const { return m_fromLocal; }
    bool isToLocal() const { return m_toLocal; }
    QString internalNumber() const;
    QString externalNumber() const;

    void setState(int status, const QDateTime &at);
    void setState(CallStatus status, const QDateTime &at) { setState(static_cast<int>(status), at); }
    CallStatus state() const { return static_cast<CallStatus>(m_state); }
    bool isState(int status) const { return m_state == status; }
    bool isState(CallStatus status) const { return isState(static_cast<int>(status)); }

    QDateTime startedAt() const { return m_startedAt; }
    QDateTime answeredAt() const { return m_answeredAt; }
    QDateTime endedAt() const { return m_endedAt; }
    // Time of the last PBX event seen for the call, whatever its kind: a call the PBX lost (a crash)
    // ends at it.
    QDateTime lastEventAt() const { return m_lastEventAt; }
    void setLastEventAt(const QDateTime &at) { m_lastEventAt = at; }
    // A call has no answered flag of its own: one answered leg is enough.
    bool wasAnswered() const;

    // Legs keyed by conversation id, in ascending key order. The PBX link inserts and replaces them itself.
    const QMap<QString, Conversation> &conversations() const { return m_conversations; }
    QMap<QString, Conversation> &conversations() { return m_conversations; }

    // The leg that stands for the call, answered or not: ended ones first, then the latest end.
    Conversation lastConversation() const;
    // The answered, ended leg with the latest end; lastConversation() when no leg was answered.
    Conversation mainConversation() const;

    // Minutes (from whole seconds) since the end; 0 while the call has not ended.
    float minutesSinceEnded() const;

    QJsonObject toJson() const;
    QString toJsonString() const;
    QString dump(int indent = 0) const;

private:
    QMap<QString, Conversation> m_conversations;
    QString m_id;
    QString m_from;
    QString m_to;
    QString m_trunk;
    // A trunk never set is written as null and one set to "" as "": peers tell the two apart.
    bool m_trunkSet = false;
    qint32 m_state = 0;
    CallType m_type = CallType::Unknown;
    bool m_toLocal = false;
    bool m_fromLocal = false;
    QDateTime m_startedAt;
    QDateTime m_answeredAt;
    QDateTime m_endedAt;
    QDateTime m_lastEventAt;
};

} // namespace Orvix::Entities

// Carried by the PBX link's signals; registered so queued connections and signal spies can copy it.
Q_DECLARE_METATYPE(Orvix::Entities::Call)
