#pragma once

#include "entities/call.h"
#include "pbx/asterisk/channel.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <map>

namespace Orvix::PBX::Asterisk {

// Look-ups over the call tracker's tables, so that no CEL row and no poll batch walks every tracked channel
// and call (ten thousand of them on a busy PBX): the channels of a call, the calls with a local leg of a
// number, and the ended entries by their end time. The tracker names every key it changes; the look-ups are
// brought up to date from those keys when asked. Main thread only; owned by the EventHandler.
class TrackerIndex
{
public:
    void touchChannel(const QString &key) { m_touchedChannels.insert(key); }
    void touchCall(const QString &key) { m_touchedCalls.insert(key); }
    void sync(const QHash<QString, Channel> &channels, const QHash<QString, Entities::Call> &calls);

    // After sync(): the keys of the channels filed under the call.
    QSet<QString> channelsOf(const QString &callId) const { return m_channelsByCall.value(callId); }
    // After sync(): the keys of the calls with a local leg from or to the number.
    QSet<QString> callsWithLocalLeg(const QString &number) const { return m_callsByLocalNumber.value(number); }
    // After sync(): the keys of the ended channels (calls) whose end is at or before `cutoff`; they leave
    // the time look-up.
    QStringList takeEndedChannels(const QDateTime &cutoff) { return takeEnded(m_channelEnds, cutoff); }
    QStringList takeEndedCalls(const QDateTime &cutoff) { return takeEnded(m_callEnds, cutoff); }

private:
    // Each ended entry by its end time. An entry whose end changes is filed again; its older filing is
    // skipped when its time comes.
    struct Ends
    {
        std::multimap<QDateTime, QString> byTime;
        QHash<QString, QDateTime> filed;
        void update(const QString &key, const QDateTime &endedAt);
    };
    static QStringList takeEnded(Ends &ends, const QDateTime &cutoff);
    void syncChannel(const QString &key, const QHash<QString, Channel> &channels);
    void syncCall(const QString &key, const QHash<QString, Entities::Call> &calls);

    QSet<QString> m_touchedChannels;
    QSet<QString> m_touchedCalls;
    QHash<QString, QSet<QString>> m_channelsByCall;
    QHash<QString, QString> m_channelParent;
    QHash<QString, QSet<QString>> m_callsByLocalNumber;
    QHash<QString, QStringList> m_localNumbersOfCall;
    Ends m_channelEnds;
    Ends m_callEnds;
};

} // namespace Orvix::PBX::Asterisk
