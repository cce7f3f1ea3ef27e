#pragma once

#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/legoutlook.h"
#include "pbx/asterisk/channel.h"
#include "pbx/asterisk/event.h"
#include "pbx/asterisk/trackerindex.h"

#include <QHash>
#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Orvix::PBX::Asterisk {

// The call tracker: turns the CEL records of the PBX, fed one by one in id order, into calls and
// their legs, and announces every step of them. Owns the table of channels it has seen and the table
// of calls it follows; both survive a restart through toJson()/fromJson().
// Main thread only; signals are emitted synchronously from process().
class EventHandler : public QObject
{
    Q_OBJECT

public:
    explicit EventHandler(QObject *parent = nullptr);

    void setPickupCode(const QString &code);
    QString pickupCode() const { return m_pickupCode; }
    void setTrunks(const QStringList &trunks);
    QStringList trunks() const { return m_trunks; }
    void setPeers(const QStringList &peers);
    QStringList peers() const { return m_peers; }
    void setFeatureCodes(const QStringList &codes);
    QStringList featureCodes() const { return m_featureCodes; }

    // Remembers a call this system originates, so that the call that shows up for `from` can be
    // told where it goes. Returns the stored number.
    QString addOriginate(const QString &from, const QString &to);
    void removeOriginate(const QString &from);
    const QHash<QString, QString> &originateDictionary() const { return m_originateDictionary; }

    const QHash<QString, Channel> &channels() const { return m_channels; }
    const QHash<QString, Entities::Call> &calls() const { return m_calls; }

    void process(const Event &event);
    // Drops channels and calls that ended 30 minutes ago or more. `now` is the time on the PBX's clock,
    // that of the CEL rows (the host's clock when not given).
    void removeStale(const QDateTime &now = QDateTime());
    // Calls not ended whose last CEL row is 30 minutes old or more (`now` as above), and those missing
    // from the last channel list: the PBX may have lost them.
    QStringList quietCalls(const QDateTime &now = QDateTime()) const;
    // The latest CEL stamp read; and the latest time the tables hold (read once after a restore).
    QDateTime lastRowAt() const { return m_lastRowAt; }
    // The PBX's clock was set back: its rows are stamped from `newest` on again.
    void clockSetBack(const QDateTime &newest) { m_lastRowAt = newest; }
    QDateTime newestTime() const;
    // Checks the given calls against the channels the PBX listed at `listedAt` (`liveIds`: the unique and
    // linked ids of its channels; `listedAt` on the PBX's clock, that of the CEL stamps, and never before
    // the list; invalid when that cannot be told). A call without a channel there ends as an ordinary end
    // would (the PBX lost it without writing its end: a crash), once the list is sure of it: the call was
    // missing from the previous list too, or CEL rows stamped past the list have been read. Until then its end rows may
    // still be on their way (a call that hung up just before the list); they end it, or the next list or
    // row does. It ends at the time of its last CEL row; when the list is the first after the link to the
    // PBX was lost (`linkLosses`, oldest first), at the first loss after that row: the crash that cut the
    // link cut the call then at the latest, and its talk lasted until then, not until its answer. A call
    // missing from a list keeps the loss known then: a later one found it gone already. Returns how many
    // ended.
    int endLostCalls(const QStringList &callIds, const QSet<QString> &liveIds,
                     const QDateTime &listedAt = QDateTime(), const QList<QDateTime> &linkLosses = {});
    // The calls missing from one channel list whose verdict waits for the next list or a later row.
    QStringList missingCalls() const { return m_missingCalls.keys(); }
    bool hasMissingCalls() const { return !m_missingCalls.isEmpty(); }

    // The saved form of the tables as compact JSON text: {"calls": {id: call}, "channels": {id: channel}},
    // then `extraMembers` (text such as "\"key\":1") when given. Entries without an id are left out:
    // they could not be restored. Only the entries changed since the last call are converted again.
    QByteArray stateText(const QByteArray &extraMembers = QByteArray()) const;
    QJsonObject toJson() const;
    // Adds the saved channels and calls to the tables, replacing entries of the same id; a channel
    // that dialled the pickup code and has picked nothing yet is the pickup channel again. Set the
    // pickup code first.
    void fromJson(const QJsonObject &json);
    void dump() const;

    bool isInternalNumber(const QString &number) const;
    // What the tables tell of a leg now (`callId`: the call it rang in; a transfer may have moved it since),
    // for a card that would go to its phone. Never Unknown.
    Entities::LegOutlook legOutlook(const QString &legId, const QString &callId) const;

Q_SIGNALS:
    void callStarted(const Orvix::Entities::Call &call);
    void conversationRequested(const Orvix::Entities::Conversation &conversation);
    void conversationAccepted(const Orvix::Entities::Conversation &conversation);
    void conversationEnded(const Orvix::Entities::Conversation &conversation);
    void callEnded(const Orvix::Entities::Call &call);
    void callTransferred(const QString &callId);

private:
    void handleChannelStart(const Event &event);
    void handleChannelEnd(const Event &event);
    void handleAnswer(const Event &event);
    void handlePrimaryAnswer(const Event &event, Channel &channel);
    void handleCallEnd(const Event &event);
    void handlePickup(const Event &event);
    void handleBlindTransfer(const Event &event);
    void handleAttendedTransfer(const Event &event);
    void handleRelinkedChannel(const Event &event);
    void handleParkStart(const Event &event);
    // A phone whose own call is over turns up in another call: it took a parked call. True when it joined.
    bool joinParkedCall(const Event &event);

    void registerChannel(const Channel &channel);
    void registerCall(const Channel &channel);
    // Rings at `ringingAt`, or at the channel's start when not given.
    void registerConversation(const Channel &channel, const QDateTime &ringingAt = QDateTime());
    // Marks the leg with the first of the legs that ring with it for one transfer of the call, if any.
    void markRingsWith(const Entities::Call &call, Entities::Conversation &leg) const;
    bool isConsultation(const Channel &channel) const;
    // The number of the phone of ours the channel is, by its name; empty for a trunk, a port or a Local channel.
    QString ownPhoneNumber(const Channel &channel) const;
    void joinConsultation(const QString &channelId, const QDateTime &at);
    // Does nothing for a call that has ended already: a lost call's late end rows must not end it twice.
    void endCall(const QString &callId, const Channel *primary, const QDateTime &at, CelId order);
    // Ends the missing calls that the CEL rows read so far have passed the list of.
    void endMissingCalls();
    // Whether a row stamped well past a list made at `listedAt` has been read; never for a list of an
    // unknown time.
    bool listPassed(const QDateTime &listedAt) const;
    // The calls by the time the link to the PBX was lost while they were up (invalid: not known).
    int endLost(const QHash<QString, QDateTime> &calls);
    void noteEvent(const Event &event);
    void transfer(const QString &channelId, const QString &destinationCallId, CelId celId,
                  const QDateTime &at);

    // The number a leg rings on, taken from its channel name when the caller number CEL gave the leg
    // is useless (empty, or the trunk). Keeps `number` when the name has none.
    QString numberFromChannelName(const Channel &channel, const QString &callId,
                                  const QString &number) const;
    Entities::Call rebuildCall(const Channel &primary);

    // The only ways the tables are changed. Null when the key is not tracked.
    Entities::Call *updatableCall(const QString &key);
    Entities::Call &callEntry(const QString &key);
    void storeCall(const QString &key, const Entities::Call &call);
    void removeCall(const QString &key);
    Channel *updatableChannel(const QString &key);
    Channel &channelEntry(const QString &key);
    void storeChannel(const QString &key, const Channel &channel);
    void touchCall(const QString &key);
    void touchChannel(const QString &key);
    // Brings the look-ups up to date with the tables; before any use of m_index.
    void syncIndex() const { m_index.sync(m_channels, m_calls); }

    QHash<QString, QString> m_originateDictionary;
    QStringList m_trunks;
    QStringList m_peers;
    QStringList m_featureCodes;
    QString m_pickupChannelId;
    QHash<QString, Channel> m_channels;
    QHash<QString, Entities::Call> m_calls;
    QString m_pickupCode;
    // Calls missing from a channel list: the time of the first list that missed them, and of the lost link
    // before it. The latest CEL stamp read. In memory only: after a restart the first list asks again.
    struct MissingCall
    {
        QDateTime listedAt;
        QDateTime linkLostAt;
    };
    QHash<QString, MissingCall> m_missingCalls;
    QDateTime m_lastRowAt;
    // The record being handled.
    CelId m_row = 0;
    // Look-up copies of the three lists: the internal-number rule runs several times per event.
    QSet<QString> m_trunkSet;
    QSet<QString> m_peerSet;
    QSet<QString> m_featureCodeSet;
    void refreshStateText() const;

    // The saved text of every entry ("id":{...}) by table key, and the keys changed since it was last
    // brought up to date: a poll batch touches a few calls, and converting every tracked call after
    // each batch would cost many times more than handling the batch.
    mutable QMap<QString, QByteArray> m_callText;
    mutable QMap<QString, QByteArray> m_channelText;
    mutable QSet<QString> m_changedCalls;
    mutable QSet<QString> m_changedChannels;
    mutable int m_stateTextSize = 0;
    mutable TrackerIndex m_index;
};

} // namespace Orvix::PBX::Asterisk
