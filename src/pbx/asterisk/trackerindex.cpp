#include "pbx/asterisk/trackerindex.h"

namespace Orvix::PBX::Asterisk {

namespace {

template <typename Key>
void removeFrom(QHash<Key, QSet<QString>> &sets, const Key &setKey, const QString &value)
{
    const auto it = sets.find(setKey);
    if (it == sets.end())
        return;
    it->remove(value);
    if (it->isEmpty())
        sets.erase(it);
}

} // namespace

void TrackerIndex::sync(const QHash<QString, Channel> &channels, const QHash<QString, Entities::Call> &calls)
{
    for (const QString &key : qAsConst(m_touchedChannels))
        syncChannel(key, channels);
    m_touchedChannels.clear();
    for (const QString &key : qAsConst(m_touchedCalls))
        syncCall(key, calls);
    m_touchedCalls.clear();
}

void TrackerIndex::syncChannel(const QString &key, const QHash<QString, Channel> &channels)
{
    const auto channel = channels.constFind(key);
    const bool present = channel != channels.cend();
    const auto filed = m_channelParent.find(key);
    const bool moved = filed == m_channelParent.end() || !present || *filed != channel->parentId();
    if (moved && filed != m_channelParent.end()) {
        removeFrom(m_channelsByCall, *filed, key);
        m_channelParent.erase(filed);
    }
    if (moved && present) {
        m_channelsByCall[channel->parentId()].insert(key);
        m_channelParent.insert(key, channel->parentId());
    }
    m_channelEnds.update(key, present && channel->isState(Channel::Ended) ? channel->endedAt() : QDateTime());
}

void TrackerIndex::syncCall(const QString &key, const QHash<QString, Entities::Call> &calls)
{
    const auto call = calls.constFind(key);
    QStringList numbers;
    if (call != calls.cend()) {
        for (const Entities::Conversation &leg : call->conversations()) {
            if (!leg.isLocal())
                continue;
            for (const QString &number : {leg.from(), leg.to()}) {
                if (!numbers.contains(number))
                    numbers.append(number);
            }
        }
    }
    const QStringList filed = m_localNumbersOfCall.value(key);
    if (filed != numbers) {
        for (const QString &number : filed)
            removeFrom(m_callsByLocalNumber, number, key);
        for (const QString &number : qAsConst(numbers))
            m_callsByLocalNumber[number].insert(key);
        if (numbers.isEmpty())
            m_localNumbersOfCall.remove(key);
        else
            m_localNumbersOfCall.insert(key, numbers);
    }
    const bool hung = call != calls.cend() && call->isState(Entities::CallStatus::Hung);
    m_callEnds.update(key, hung ? call->endedAt() : QDateTime());
}

void TrackerIndex::Ends::update(const QString &key, const QDateTime &endedAt)
{
    if (!endedAt.isValid()) {
        filed.remove(key);
        return;
    }
    const auto it = filed.find(key);
    if (it != filed.end() && *it == endedAt)
        return;
    filed.insert(key, endedAt);
    byTime.emplace(endedAt, key);
}

QStringList TrackerIndex::takeEnded(Ends &ends, const QDateTime &cutoff)
{
    QStringList keys;
    while (!ends.byTime.empty() && ends.byTime.begin()->first <= cutoff) {
        const auto node = ends.byTime.begin();
        const auto filed = ends.filed.find(node->second);
        if (filed != ends.filed.end() && *filed == node->first) {
            keys.append(node->second);
            ends.filed.erase(filed);
        }
        ends.byTime.erase(node);
    }
    return keys;
}

} // namespace Orvix::PBX::Asterisk
