// The tracker's upkeep: stale entries leave, calls the PBX lost end, and the tables are saved and
// restored.

#include "pbx/asterisk/eventhandler.h"

#include "entities/clock.h"
#include "entities/entities.h"
#include "utils/msgbuilder.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>

namespace Orvix::PBX::Asterisk {

namespace {

using Builder = Utils::MsgBuilder;
using Entities::Call;
using Entities::CallStatus;
using Entities::Conversation;

// Ended channels and calls leave the tables this long after their end; a call without any CEL row for
// this long is asked after on the PBX.
constexpr qint64 kStaleMinutes = 30;
// The PBX writes CEL rows in whole seconds and not strictly in stamp order: once a row stamped this
// long after a channel list has been read, every row of a channel that had gone by then has been too.
constexpr qint64 kListPassedSecs = 2;

// One member of a JSON object as compact text: "key":{...}.
QByteArray memberText(const QString &key, const QJsonObject &value)
{
    // The key through the JSON writer, for its escaping: ["key"] less the brackets.
    const QByteArray quotedKey = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact);
    return quotedKey.mid(1, quotedKey.size() - 2) + ':' + QJsonDocument(value).toJson(QJsonDocument::Compact);
}

void traceWarning(const QString &id, Builder::TaskName task, const QString &message)
{
    qWarning().noquote() << Builder(id, task, Builder::NoChildTask).build(Builder::Warning, message);
}

// The time of the call's last CEL row, or of its start when it has none.
QDateTime lastSeenAt(const Call &call)
{
    return call.lastEventAt().isValid() ? call.lastEventAt() : call.startedAt();
}

} // namespace

void EventHandler::removeStale(const QDateTime &now)
{
    // Every entry against one cut-off time: a local time converted for every tracked entry and batch
    // (ten thousand of them on a busy PBX) was most of the cleanup's cost. Times of the same offset
    // compare without any conversion. Only the entries ended by then are looked at, in the order of
    // their ends: walking every entry after each batch cost more than handling the batch.
    const QDateTime cutoff = (now.isValid() ? now : Entities::Clock::now()).addSecs(-kStaleMinutes * 60);
    syncIndex();
    for (const QString &key : m_index.takeEndedChannels(cutoff)) {
        touchChannel(key);
        m_channels.remove(key);
    }
    // By table key: an entry stored without an id of its own must go as well.
    for (const QString &key : m_index.takeEndedCalls(cutoff)) {
        touchCall(key);
        m_calls.remove(key);
    }
}

QStringList EventHandler::quietCalls(const QDateTime &now) const
{
    const QDateTime cutoff = (now.isValid() ? now : Entities::Clock::now()).addSecs(-kStaleMinutes * 60);
    QStringList calls;
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it) {
        const QDateTime last = lastSeenAt(*it);
        const bool quiet = (last.isValid() && last <= cutoff) || m_missingCalls.contains(it.key());
        if (quiet && !it->isState(CallStatus::Hung))
            calls.append(it.key());
    }
    return calls;
}

QDateTime EventHandler::newestTime() const
{
    QDateTime newest = m_lastRowAt;
    for (const Call &call : m_calls) {
        for (const QDateTime &at : {lastSeenAt(call), call.endedAt()}) {
            if (at.isValid() && (!newest.isValid() || newest < at))
                newest = at;
        }
    }
    return newest;
}

int EventHandler::endLostCalls(const QStringList &callIds, const QSet<QString> &liveIds, const QDateTime &listedAt,
                               const QList<QDateTime> &linkLosses)
{
    // The first loss of the link since the call's last row: it was up until then.
    const auto lossAfterLastRow = [&linkLosses](const Call &call) {
        const QDateTime last = lastSeenAt(call);
        for (const QDateTime &loss : linkLosses) {
            if (!last.isValid() || last <= loss)
                return loss;
        }
        return QDateTime();
    };
    const bool rowsPassed = listPassed(listedAt);
    // Live by its linked id, or by any channel of it (a leg moved here by a transfer keeps its own).
    QSet<QString> liveCalls = liveIds;
    for (const Channel &channel : qAsConst(m_channels)) {
        if (liveIds.contains(channel.id()))
            liveCalls.insert(channel.parentId());
    }
    QHash<QString, QDateTime> lost;
    for (const QString &callId : callIds) {
        const auto missing = m_missingCalls.constFind(callId);
        const auto call = m_calls.constFind(callId);
        if (liveCalls.contains(callId))
            m_missingCalls.remove(callId);
        else if (missing != m_missingCalls.cend())
            lost.insert(callId, missing->linkLostAt);
        else if (rowsPassed)
            lost.insert(callId, call != m_calls.cend() ? lossAfterLastRow(*call) : QDateTime());
        else if (call != m_calls.cend() && !call->isState(CallStatus::Hung))
            m_missingCalls.insert(callId, {listedAt, lossAfterLastRow(*call)});
    }
    return endLost(lost);
}

bool EventHandler::listPassed(const QDateTime &listedAt) const
{
    return listedAt.isValid() && m_lastRowAt.isValid() && listedAt.addSecs(kListPassedSecs) <= m_lastRowAt;
}

void EventHandler::endMissingCalls()
{
    QHash<QString, QDateTime> passed;
    for (auto it = m_missingCalls.cbegin(); it != m_missingCalls.cend(); ++it) {
        if (listPassed(it->listedAt))
            passed.insert(it.key(), it->linkLostAt);
    }
    if (!passed.isEmpty())
        endLost(passed);
}

int EventHandler::endLost(const QHash<QString, QDateTime> &calls)
{
    QHash<QString, QDateTime> lost;
    for (auto it = calls.cbegin(); it != calls.cend(); ++it) {
        m_missingCalls.remove(it.key());
        const auto call = m_calls.constFind(it.key());
        if (call == m_calls.cend() || call->isState(CallStatus::Hung))
            continue;
        QDateTime at = lastSeenAt(*call);
        // Up when the link to the PBX was lost: the crash that cut the link cut the call then at the latest.
        if (it.value().isValid() && (!at.isValid() || at < it.value()))
            at = it.value();
        lost.insert(it.key(), at);
    }
    if (lost.isEmpty())
        return 0;
    // The PBX wrote no end for them: their channels end with the call, and leave the tables later.
    syncIndex();
    for (auto call = lost.cbegin(); call != lost.cend(); ++call) {
        for (const QString &key : m_index.channelsOf(call.key())) {
            const auto channel = m_channels.constFind(key);
            if (channel != m_channels.cend() && !channel->isState(Channel::Ended))
                updatableChannel(key)->setState(Channel::Ended, *call);
        }
    }
    for (auto it = lost.cbegin(); it != lost.cend(); ++it) {
        const bool atLoss = calls.value(it.key()) == it.value();
        const QString when =
            atLoss ? QStringLiteral("when the link to the PBX was lost") : QStringLiteral("at its last event");
        traceWarning(it.key(), Builder::CallEnded,
                     QStringLiteral("The PBX has no channel of the call any more: it ends %1, %2")
                         .arg(when, it.value().toString(Entities::DATE_TIME_FORMAT)));
        // What was still up ended after every row of the call: a leg that a row ended in the same second
        // (a transfer's) is not the one the call ends with.
        CelId after = 0;
        for (const Conversation &leg : m_calls.constFind(it.key())->conversations())
            after = qMax(after, leg.endOrder());
        const auto primary = m_channels.constFind(it.key());
        endCall(it.key(), primary != m_channels.cend() && primary->isPrimary() ? &*primary : nullptr, it.value(),
                after + 1);
    }
    return lost.size();
}

void EventHandler::refreshStateText() const
{
    for (const QString &key : qAsConst(m_changedCalls)) {
        const auto it = m_calls.constFind(key);
        if (it == m_calls.cend() || it->id().isEmpty())
            m_callText.remove(key);
        else
            m_callText.insert(key, memberText(it->id(), it->toJson()));
    }
    m_changedCalls.clear();
    for (const QString &key : qAsConst(m_changedChannels)) {
        const auto it = m_channels.constFind(key);
        if (it == m_channels.cend() || it->id().isEmpty())
            m_channelText.remove(key);
        else
            m_channelText.insert(key, memberText(it->id(), it->toJson()));
    }
    m_changedChannels.clear();
}

QByteArray EventHandler::stateText(const QByteArray &extraMembers) const
{
    refreshStateText();
    // Joined from the saved texts: with ten thousand calls tracked, a copy of the bytes is all the
    // time it takes.
    QByteArray text;
    text.reserve(m_stateTextSize + extraMembers.size() + 64);
    const auto appendMembers = [&text](const QMap<QString, QByteArray> &members) {
        bool first = true;
        for (const QByteArray &member : members) {
            if (!first)
                text += ',';
            first = false;
            text += member;
        }
    };
    text += "{\"calls\":{";
    appendMembers(m_callText);
    text += "},\"channels\":{";
    appendMembers(m_channelText);
    text += '}';
    if (!extraMembers.isEmpty()) {
        text += ',';
        text += extraMembers;
    }
    text += '}';
    m_stateTextSize = text.size();
    return text;
}

QJsonObject EventHandler::toJson() const
{
    return QJsonDocument::fromJson(stateText()).object();
}

void EventHandler::fromJson(const QJsonObject &json)
{
    const QJsonObject channels = json.value(QLatin1String("channels")).toObject();
    for (auto it = channels.constBegin(); it != channels.constEnd(); ++it) {
        const Channel channel(it.value().toObject());
        if (!channel.id().isEmpty())
            storeChannel(channel.id(), channel);
    }
    const QJsonObject calls = json.value(QLatin1String("calls")).toObject();
    for (auto it = calls.constBegin(); it != calls.constEnd(); ++it) {
        if (!it.key().isEmpty())
            storeCall(it.key(), Call(it.value().toObject()));
    }

    // A restart between the pickup code's channel start and its PICKUP record would otherwise lose
    // the employee who took the call. Still its own call and not ended: it has picked nothing yet.
    if (m_pickupChannelId.isEmpty()) {
        const Channel *latest = nullptr;
        for (const Channel &channel : qAsConst(m_channels)) {
            if (channel.extension() == m_pickupCode && channel.isPrimary()
                && channel.isState(Channel::Started)
                && (!latest || channel.startedAt() > latest->startedAt()))
                latest = &channel;
        }
        if (latest)
            m_pickupChannelId = latest->id();
    }
}

void EventHandler::dump() const
{
    QString text = QStringLiteral("Звонки: [") + QString::number(m_calls.size()) + QStringLiteral("]\n");
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it) {
        text += QLatin1Char('\t') + it->id() + QLatin1Char('\n');
        for (const Conversation &conversation : it->conversations())
            text += conversation.dump(2);
    }
    text += QStringLiteral("Каналы: [") + QString::number(m_channels.size()) + QStringLiteral("]\n");
    for (const Channel &channel : m_channels)
        text += channel.dump(1);
    qDebug().noquote().nospace() << text;
}

} // namespace Orvix::PBX::Asterisk
