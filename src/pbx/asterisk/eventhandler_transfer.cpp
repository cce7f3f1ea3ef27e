// The call tracker's pick-ups and transfers: a leg picked up or moved from one call into another.

#include "pbx/asterisk/eventhandler.h"
#include "pbx/asterisk/eventhandler_p.h"

#include "entities/entities.h"

#include <algorithm>

namespace Orvix::PBX::Asterisk {

namespace {

using TrackerDetail::traceWarning;
using TrackerDetail::traceDebug;
using TrackerDetail::celText;
using TrackerDetail::notRegisteredChannel;
using TrackerDetail::notRegisteredCall;
using TrackerDetail::notRegisteredConversation;
using TrackerDetail::identicalTransfer;
using Builder = Utils::MsgBuilder;
using Entities::Call;
using Entities::CallStatus;
using Entities::Conversation;

// A leg ended this long before an ATTENDEDTRANSFER record still counts as its consultation leg: its
// channel may be gone by the time the PBX writes the transfer record.
constexpr qint64 kConsultationGraceMsec = 16 * 1000;

} // namespace

void EventHandler::handlePickup(const Event &event)
{
    const QString callId = event.linkedTo();
    const QDateTime at = event.occurredAt();
    const auto pickerIt = m_channels.constFind(m_pickupChannelId);
    QString picker;
    if (pickerIt != m_channels.cend()) {
        // A phone without a caller id (IAX2 shows this) is known by its channel name only.
        picker = pickerIt->caller();
        if (picker.isEmpty())
            picker = pickerIt->numberFromName();
    }
    traceDebug(callId, Builder::ConversationRequested, Builder::Start,
               QStringLiteral("There was an PICKUP in the call. %2 takes the call.").arg(picker));

    // A call the tracker does not follow (it started before the tracker watched) gets no entry:
    // nothing would ever end and remove it. Its pickup is logged as not incoming below.
    Call untracked;
    Call *const tracked = updatableCall(callId);
    Call &call = tracked ? *tracked : untracked;
    const Conversation pickedUp = call.conversations().value(event.channelId());

    Conversation conversation(m_pickupChannelId, m_pickupChannelId, callId);
    conversation.setTrunk(call.trunk());
    conversation.setFrom(pickedUp.from(), isInternalNumber(pickedUp.from()));
    conversation.setTo(picker, isInternalNumber(picker));

    Channel &pickupChannel = channelEntry(m_pickupChannelId);
    pickupChannel.setParentId(callId);
    pickupChannel.setState(Channel::Ended, at);

    if (!conversation.isIncoming()) {
        qWarning().noquote() << QStringLiteral("[%1]\tIt is not incoming call. Ignore PICKUP").arg(callId);
        return;
    }
    // Only ever raise the call's status: a pickup must not take back its start or answer time.
    conversation.setState(CallStatus::Ringing, at);
    conversation.setStartOrder(event.id());
    if (call.state() < CallStatus::Ringing)
        call.setState(CallStatus::Ringing, at);
    Q_EMIT conversationRequested(conversation);
    conversation.setState(CallStatus::Talking, at);
    conversation.setAnswerOrder(event.id());
    if (call.state() < CallStatus::Talking)
        call.setState(CallStatus::Talking, at);
    Q_EMIT conversationAccepted(conversation);
    call.conversations().insert(conversation.id(), conversation);
}

void EventHandler::handleBlindTransfer(const Event &event)
{
    if (Channel *transferer = updatableChannel(event.channelId()))
        transferer->setBlindTransferer();
    Q_EMIT callTransferred(event.channelId());
    if (event.linkedTo() != event.channelId())
        Q_EMIT callTransferred(event.linkedTo());
}

void EventHandler::handleAttendedTransfer(const Event &event)
{
    Q_EMIT callTransferred(event.channelId());
    if (event.linkedTo() != event.channelId())
        Q_EMIT callTransferred(event.linkedTo());
    // A consultation inside the customer's call: the colleague takes over the customer now (every phone
    // of it still up, should the consultation still ring on several).
    QStringList consulted;
    syncIndex();
    const QSet<QString> ofCall = m_index.channelsOf(event.linkedTo());
    for (const QString &key : ofCall) {
        const auto it = m_channels.constFind(key);
        if (it != m_channels.cend() && it->consultation() != Channel::NoConsultation
            && it->isState(Channel::Started))
            consulted.append(key);
    }
    std::sort(consulted.begin(), consulted.end(), Entities::uniqueIdBefore);
    for (const QString &channelId : qAsConst(consulted))
        joinConsultation(channelId, event.occurredAt());
    if (!consulted.isEmpty() || event.linkedTo() == event.channelId())
        return;

    // The consultation leg is the transferring employee's local call, still up or just hung up. It
    // lives in a call of its own: a transfer through the feature code or the AMI keeps the
    // consultation in the customer's call, and then there is nothing to move.
    // Another call of the same employee may have ended just before: a leg still up is the
    // consultation before one that has ended, the latest one of either kind before older ones.
    const QString caller = event.caller();
    const QDateTime at = event.occurredAt();
    const Conversation *found = nullptr;
    const auto betterThanFound = [&found](const Conversation &leg) {
        if (!found)
            return true;
        const bool up = leg.state() < CallStatus::Hung;
        const bool foundUp = found->state() < CallStatus::Hung;
        if (up != foundUp)
            return up;
        return up ? found->startedAt() < leg.startedAt() : found->endedAt() < leg.endedAt();
    };
    // Only the calls with a local leg of that number; in a fixed order, should two legs tie.
    syncIndex();
    const QSet<QString> withLeg = m_index.callsWithLocalLeg(caller);
    QStringList candidates(withLeg.cbegin(), withLeg.cend());
    std::sort(candidates.begin(), candidates.end(), Entities::uniqueIdBefore);
    for (const QString &callKey : qAsConst(candidates)) {
        const auto callIt = m_calls.constFind(callKey);
        if (callKey == event.linkedTo() || callIt == m_calls.cend())
            continue;
        for (const Conversation &leg : callIt->conversations()) {
            const bool recent = leg.state() < CallStatus::Hung
                || (leg.endedAt().isValid() && leg.endedAt().msecsTo(at) < kConsultationGraceMsec);
            if (leg.isLocal() && recent && (leg.from() == caller || leg.to() == caller)
                && betterThanFound(leg))
                found = &leg;
        }
    }
    if (!found)
        return;
    const QString legId = found->id();
    transfer(legId, event.linkedTo(), event.id(), at);
}

void EventHandler::joinConsultation(const QString &channelId, const QDateTime &at)
{
    Channel &channel = *updatableChannel(channelId);
    const bool answered = channel.consultation() == Channel::ConsultationAnswered;
    channel.setConsultation(Channel::NoConsultation);
    // The customer's talk with the colleague begins at the transfer, not at the consultation's answer.
    registerConversation(channel, at);
    Call *const call = updatableCall(channel.parentId());
    if (!answered || !call || !call->conversations().contains(channelId))
        return;
    Conversation &leg = call->conversations()[channelId];
    leg.setState(CallStatus::Talking, at);
    leg.setAnswerOrder(m_row);
    if (call->state() < CallStatus::Talking)
        call->setState(CallStatus::Talking, at);
    if (!call->isUnknown() && !leg.isUnknown())
        Q_EMIT conversationAccepted(leg);
}

void EventHandler::handleRelinkedChannel(const Event &event)
{
    const QString celId = celText(event);
    const auto isTrackedChannel = [this](const QString &id) {
        return !id.isEmpty() && m_channels.contains(id);
    };
    const auto isTrackedCall = [this](const QString &id) {
        return !id.isEmpty() && m_calls.contains(id);
    };

    QString source = event.channelId();
    if (!isTrackedChannel(source)) {
        traceWarning(source, Builder::CallTransferred, notRegisteredChannel(event));
        return;
    }
    if (m_channels.value(source).isPrimary()) {
        // A call's own channel joined another call: what moves is the call's single leg.
        const auto callIt = m_calls.constFind(source);
        if ((callIt == m_calls.cend() || callIt->conversations().isEmpty()) && joinParkedCall(event))
            return;
        if (callIt == m_calls.cend() || callIt->conversations().size() != 1) {
            traceWarning(source, Builder::CallTransferred,
                         QStringLiteral("Channel [%1] is not primary and it can not be trasferred. "
                                        "CEL ID [%2]")
                             .arg(source, celId));
            return;
        }
        source = callIt->conversations().firstKey();
    }
    if (!isTrackedChannel(source)) {
        traceWarning(source, Builder::CallTransferred, notRegisteredChannel(event));
        return;
    }
    const QString destination = event.linkedTo();
    if (!isTrackedChannel(destination)) {
        traceWarning(destination, Builder::CallTransferred, notRegisteredChannel(event));
        return;
    }
    if (!isTrackedCall(destination)) {
        traceWarning(destination, Builder::CallTransferred, notRegisteredCall(event));
        return;
    }
    const QString sourceCall = m_channels.value(source).parentId();
    if (!isTrackedChannel(sourceCall)) {
        traceWarning(sourceCall, Builder::CallTransferred, notRegisteredChannel(event));
        return;
    }
    if (!isTrackedCall(sourceCall)) {
        traceWarning(sourceCall, Builder::CallTransferred, notRegisteredCall(event));
        return;
    }
    if (sourceCall == destination) {
        traceWarning(sourceCall, Builder::CallTransferred,
                     identicalTransfer(sourceCall, source, celId));
        return;
    }
    transfer(source, destination, event.id(), event.occurredAt());
}

void EventHandler::handleParkStart(const Event &event)
{
    // The customer waits in the parking lot: the talk with them is over now, though the phone that parked
    // them stays on the line a few seconds to hear the space announced.
    const auto channelIt = m_channels.constFind(event.channelId());
    Call *const call = channelIt != m_channels.cend() ? updatableCall(channelIt->parentId()) : nullptr;
    if (!call)
        return;
    auto &legs = call->conversations();
    QStringList legIds = legs.keys();
    std::sort(legIds.begin(), legIds.end(), Entities::uniqueIdBefore);
    for (const QString &legId : qAsConst(legIds)) {
        Conversation &leg = legs[legId];
        if (!leg.isState(CallStatus::Talking))
            continue;
        leg.setState(CallStatus::Hung, event.occurredAt());
        leg.setEndOrder(event.id());
        Q_EMIT conversationEnded(leg);
    }
}

bool EventHandler::joinParkedCall(const Event &event)
{
    // The PBX ends the picking phone's own call (LINKEDID_END) and bridges it to the parked customer under
    // the customer's call: the customer is handed over to that phone as by a blind transfer.
    const QString channelId = event.channelId();
    const QString destinationId = event.linkedTo();
    const auto ownIt = m_calls.constFind(channelId);
    const bool ownOver = ownIt == m_calls.cend() || ownIt->isState(CallStatus::Hung);
    const auto destinationIt = m_calls.constFind(destinationId);
    if (!ownOver || destinationIt == m_calls.cend() || destinationIt->isState(CallStatus::Hung)
        || m_channels.value(channelId).isLocal() || !m_channels.contains(destinationId))
        return false;
    traceDebug(destinationId, Builder::CallTransferred, Builder::Start,
               QStringLiteral("Parked call picked up by %1. CEL ID [%2]")
                   .arg(m_channels.value(channelId).caller(), celText(event)));
    Q_EMIT callTransferred(channelId);
    Q_EMIT callTransferred(destinationId);
    Channel &channel = *updatableChannel(channelId);
    channel.setParentId(destinationId);
    // Up again, as it was: its own call's end marked it ended.
    channel.setState(Channel::Started, channel.startedAt());
    registerConversation(channel, event.occurredAt());
    return true;
}

void EventHandler::transfer(const QString &channelId, const QString &destinationCallId, CelId celId,
                            const QDateTime &at)
{
    const QString celText = QString::number(celId);
    const auto channelIt = m_channels.constFind(channelId);
    const QString sourceCallId = channelIt != m_channels.cend() ? channelIt->parentId() : QString();
    traceDebug(destinationCallId, Builder::CallTransferred, Builder::Start,
               QStringLiteral("Call transfer\t%1 %2 %3 %4")
                   .arg(sourceCallId, destinationCallId, channelId,
                        QStringLiteral("CEL ID [%1]").arg(celText)));

    // The leg is already in the destination call (its relinked records came first): moving it
    // again would report a live leg as ended and ring it anew.
    if (!sourceCallId.isEmpty() && sourceCallId == destinationCallId) {
        traceWarning(sourceCallId, Builder::CallTransferred,
                     identicalTransfer(sourceCallId, channelId, celText));
        return;
    }

    Q_EMIT callTransferred(sourceCallId);
    Q_EMIT callTransferred(destinationCallId);

    Channel *const channel = updatableChannel(channelId);
    Call *const source = updatableCall(sourceCallId);
    if (!channel || !source || !source->conversations().contains(channelId)) {
        traceWarning(destinationCallId, Builder::CallTransferred,
                     notRegisteredConversation(channelId, sourceCallId, celText));
        // A Local channel is no leg, but it has moved all the same: left filed under the old call,
        // every later record of it would be reported as a transfer again.
        if (channel && channel->isLocal())
            channel->setParentId(destinationCallId);
        return;
    }

    Conversation &old = source->conversations()[channelId];
    const bool wasAnswered = old.wasAnswered();
    const QDateTime answeredAt = old.answeredAt();
    const qint64 answerOrder = old.answerOrder();
    if (old.state() < CallStatus::Hung) {
        old.setState(CallStatus::Hung, at);
        old.setEndOrder(celId);
        Q_EMIT conversationEnded(old);
    }

    channel->setParentId(destinationCallId);
    registerChannel(*channel);

    if (!wasAnswered)
        return;
    Call *const destination = updatableCall(destinationCallId);
    if (!destination)
        return;
    const auto legIt = destination->conversations().find(channelId);
    if (legIt == destination->conversations().end())
        return;
    legIt->setState(CallStatus::Talking, answeredAt);
    legIt->setAnswerOrder(answerOrder);
    Q_EMIT conversationAccepted(*legIt);
}

} // namespace Orvix::PBX::Asterisk
