#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace Orvix::PBX::Asterisk {

// The tracker's record of one PBX channel seen starting in the CEL table: its ids, the numbers CEL
// reported for it, its name and its own start/end state. It knows nothing of calls.
// Plain value type, main thread only.
class Channel
{
public:
    enum State {
        Unknown = 0,
        Started = 1,
        Ended = 2,
    };
    // A phone an employee consults during an attended transfer, inside the customer's call: no leg
    // of that call until the transfer completes.
    enum Consultation {
        NoConsultation = 0,
        ConsultationRinging = 1,
        ConsultationAnswered = 2,
    };

    Channel() = default;
    // Clears a service extension ("s", "h", …) and marks the channel primary when id == parentId.
    Channel(QString id, QString parentId, QString caller, QString extension, QString name);
    // Rebuilds a channel from toJson(); the stored primary flag is taken as it stands.
    explicit Channel(const QJsonObject &json);

    static bool isServiceExtension(const QString &extension);
    static QString stateToString(int state);

    QString id() const { return m_id; }
    QString parentId() const { return m_parentId; }
    QString caller() const { return m_caller; }
    QString extension() const { return m_extension; }
    QString name() const { return m_name; }

    void setParentId(const QString &parentId);
    void setCaller(const QString &caller) { m_caller = caller; }

    bool isPrimary() const { return m_isPrimary; }
    // A Local/ channel is the PBX's internal plumbing (ring groups, queues), never a phone.
    bool isLocal() const;

    void setState(int state, const QDateTime &at);
    bool isState(int state) const { return m_state == state; }
    int state() const { return m_state; }
    QDateTime startedAt() const { return m_startedAt; }
    QDateTime endedAt() const { return m_endedAt; }

    int consultation() const { return m_consultation; }
    void setConsultation(int consultation) { m_consultation = consultation; }
    // The phone that blind-transferred its call: while it is up, what the call dials is the transfer's
    // destination, not a consultation.
    bool isBlindTransferer() const { return m_blindTransferer; }
    void setBlindTransferer() { m_blindTransferer = true; }

    // Whole seconds since the end, in minutes; 0 while the channel has not ended.
    float minutesSinceEnded() const;
    float minutesSinceEnded(const QDateTime &now) const;
    // The leading digits after the technology prefix: "SIP/101-0000001a" gives "101"; none for a port.
    QString numberFromName() const;
    // What the name is made of between the technology and the sequence: "SIP/101-0000001a" gives "101",
    // "IAX2/203.0.113.5:4569-1234" the carrier's address.
    QString device() const;
    // DAHDI names a channel after the line's port ("DAHDI/17-1"): its number is never a phone's.
    bool isPort() const;

    QJsonObject toJson() const;
    QString dump(int indent = 0) const;

    bool operator==(const Channel &other) const;
    bool operator!=(const Channel &other) const { return !(*this == other); }

private:
    QString m_id;
    QString m_parentId;
    QString m_caller;
    QString m_extension;
    QString m_name;
    bool m_isPrimary = false;
    qint32 m_state = Unknown;
    QDateTime m_startedAt;
    QDateTime m_endedAt;
    qint32 m_consultation = NoConsultation;
    bool m_blindTransferer = false;
};

} // namespace Orvix::PBX::Asterisk
