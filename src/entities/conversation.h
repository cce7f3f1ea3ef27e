#pragma once

#include "entities/entities.h"

#include <QDateTime>
#include <QJsonObject>
#include <QMetaType>
#include <QString>

namespace Orvix::Entities {

// One leg of a call: one PBX channel that rings, may be answered and ends. A plain value kept inside
// its Call and copied out whenever a signal carries it; main thread only.
class Conversation
{
public:
    // from() and to() hide it: the CRM side must never see the stand-in number.
    static inline const QString PHONE_NUMBER_PLACEHOLDER = QStringLiteral("X00000000X");

    Conversation() = default;
    Conversation(const QString &id, const QString &channelId, const QString &parentChannelId);
    explicit Conversation(const QJsonObject &json);

    QString id() const { return m_id; }
    QString channelId() const { return m_channelId; }
    QString parentChannelId() const { return m_parentChannelId; }
    // The owning call's id, under which the CRM side files the call.
    QString callId() const { return m_parentChannelId; }

    QString from() const;
    QString to() const;
    // Both recompute the direction.
    void setFrom(const QString &number, bool isLocal);
    void setTo(const QString &number, bool isLocal);

    QString trunk() const { return m_trunk; }
    void setTrunk(const QString &trunk) { m_trunk = trunk; }

    CallType type() const { return m_type; }
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
    bool wasAnswered() const { return m_wasAnswered; }
    // Where the leg's end falls among the PBX's records (the id of the record that ended it), 0 when
    // not known: the PBX stamps whole seconds, so two legs often end at the same time.
    qint64 endOrder() const { return m_endOrder; }
    void setEndOrder(qint64 order) { m_endOrder = order; }
    // The same for the record at which it began to ring in its call, and at which it was answered.
    qint64 startOrder() const { return m_startOrder; }
    void setStartOrder(qint64 order) { m_startOrder = order; }
    qint64 answerOrder() const { return m_answerOrder; }
    void setAnswerOrder(qint64 order) { m_answerOrder = order; }
    // The first of the legs that ring for the same transfer of the call (a queue, a ring group), when that
    // is another leg: the CRM call of that transfer is this leg's too. Empty otherwise.
    QString ringsWith() const { return m_ringsWith; }
    void setRingsWith(const QString &legId) { m_ringsWith = legId; }

    // Whole seconds from answer to end, sent to the CRM as the call's duration: never negative,
    // 0 unless the leg was answered and both times are known.
    int talkDuration() const;
    // Started less than two minutes before `now`: only such a leg gets a call card. `now` is on the clock of
    // the PBX that stamped the leg (this host's may be hours off it); this host's clock when it is invalid.
    bool isRecent(const QDateTime &now) const;
    // Hung, or started four hours or more before `now`, taken as by isRecent.
    bool isOutdated(const QDateTime &now) const;

    QString typeCode() const { return callTypeToString(m_type); }
    QString stateCode() const { return callStatusToString(m_state); }

    QJsonObject toJson() const;
    QString toJsonString() const;
    QString dump(int indent = 0) const;

    bool operator==(const Conversation &other) const { return toJson() == other.toJson(); }
    bool operator!=(const Conversation &other) const { return !(*this == other); }

private:
    QString m_id;
    QString m_channelId;
    QString m_parentChannelId;
    QString m_from;
    QString m_to;
    QString m_trunk;
    qint32 m_state = 0;
    CallType m_type = CallType::Unknown;
    bool m_fromLocal = false;
    bool m_toLocal = false;
    bool m_wasAnswered = false;
    qint64 m_endOrder = 0;
    qint64 m_startOrder = 0;
    qint64 m_answerOrder = 0;
    QString m_ringsWith;
    QDateTime m_startedAt;
    QDateTime m_answeredAt;
    QDateTime m_endedAt;
};

} // namespace Orvix::Entities

Q_DECLARE_METATYPE(Orvix::Entities::Conversation)
