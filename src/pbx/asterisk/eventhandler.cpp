#include "pbx/asterisk/eventhandler.h"
#include "pbx/asterisk/eventhandler_p.h"

#include "entities/clock.h"
#include "entities/entities.h"
#include "utils/msgbuilder.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <algorithm>

namespace Orvix::PBX::Asterisk {

namespace {

using TrackerDetail::traceWarning;
using TrackerDetail::traceDebug;
using TrackerDetail::celText;
using TrackerDetail::notRegisteredChannel;
using TrackerDetail::notRegisteredCall;
using TrackerDetail::notRegisteredConversation;
using Builder = Utils::MsgBuilder;
using Entities::Call;
using Entities::CallStatus;
using Entities::CallType;
using Entities::Conversation;

// The caller id a carrier gives a caller who withholds the number, taken for one who comes with none at all.
const QString kWithheldCaller = QStringLiteral("anonymous");

// The originated call shows up with the originating number, sometimes with the PBX's
// outside-line "0" in front of it.
QString withoutLeadingZero(const QString &number)
{
    return number.startsWith(QLatin1Char('0')) ? number.mid(1) : number;
}

} // namespace

EventHandler::EventHandler(QObject *parent)
    : QObject(parent)
    , m_pickupCode(QStringLiteral("*8"))
{
    // Receivers may queue the signals or spy on them: the argument types must be known by name.
    qRegisterMetaType<Entities::Call>();
    qRegisterMetaType<Entities::Conversation>();
}

void EventHandler::setPickupCode(const QString &code)
{
    m_pickupCode = code;
}

void EventHandler::setTrunks(const QStringList &trunks)
{
    m_trunks = trunks;
    m_trunkSet = QSet<QString>(trunks.cbegin(), trunks.cend());
}

void EventHandler::setPeers(const QStringList &peers)
{
    m_peers = peers;
    m_peerSet = QSet<QString>(peers.cbegin(), peers.cend());
}

void EventHandler::setFeatureCodes(const QStringList &codes)
{
    m_featureCodes = codes;
    m_featureCodeSet = QSet<QString>(codes.cbegin(), codes.cend());
}

QString EventHandler::addOriginate(const QString &from, const QString &to)
{
    m_originateDictionary.insert(from, to);
    return to;
}

void EventHandler::removeOriginate(const QString &from)
{
    m_originateDictionary.remove(from);
}


bool EventHandler::isInternalNumber(const QString &number) const
{
    // Trunk numbers count as internal: a call to one of our own numbers is a call to us.
    if (m_trunkSet.contains(number) || m_peerSet.contains(number) || m_featureCodeSet.contains(number))
        return true;
    if (!number.isEmpty() && number.size() <= 4) {
        qInfo().noquote()
            << QStringLiteral("Consider number [%1] as internal, because it's short").arg(number);
        return true;
    }
    return false;
}

Entities::LegOutlook EventHandler::legOutlook(const QString &legId, const QString &callId) const
{
    using Entities::LegOutlook;
    const auto channelIt = m_channels.constFind(legId);
    const QString current =
        channelIt != m_channels.cend() && !channelIt->parentId().isEmpty() ? channelIt->parentId() : callId;
    // A call no longer followed ended long ago.
    const auto callIt = m_calls.constFind(current);
    if (callIt == m_calls.cend() || callIt->isState(CallStatus::Hung))
        return LegOutlook::Ended;
    const auto legIt = callIt->conversations().constFind(legId);
    const QString number = legIt != callIt->conversations().cend() ? legIt->internalNumber() : QString();
    if (legIt != callIt->conversations().cend() && legIt->isState(CallStatus::Hung))
        return LegOutlook::Ended;
    // Its phone has the customer: whoever else talks, the card is this employee's.
    if (legIt != callIt->conversations().cend() && legIt->isState(CallStatus::Talking))
        return LegOutlook::Open;
    for (const Conversation &other : callIt->conversations()) {
        if (other.id() != legId && other.isState(CallStatus::Talking) && other.internalNumber() != number)
            return LegOutlook::TakenElsewhere;
    }
    return LegOutlook::Open;
}

void EventHandler::process(const Event &event)
{
    m_row = event.id();
    // A LINKEDID_END names the linked id that has just been retired, which the channel that wrote it
    // may have left already: it never tells that the channel joined another call.
    if (event.type() != Event::LinkedIdEnd && event.channelId() != m_pickupChannelId) {
        const auto it = m_channels.constFind(event.channelId());
        if (it != m_channels.cend() && it->parentId() != event.linkedTo())
            handleRelinkedChannel(event);
    }

    switch (event.type()) {
    case Event::ChanStart:
        handleChannelStart(event);
        break;
    case Event::ChanEnd:
        handleChannelEnd(event);
        break;
    case Event::BridgeEnter:
    case Event::Answer:
        handleAnswer(event);
        break;
    case Event::BlindTransfer:
        handleBlindTransfer(event);
        break;
    case Event::AttendedTransfer:
        handleAttendedTransfer(event);
        break;
    case Event::Pickup:
        handlePickup(event);
        break;
    case Event::ParkStart:
        handleParkStart(event);
        break;
    case Event::LinkedIdEnd:
        handleCallEnd(event);
        break;
    default:
        break;
    }
    noteEvent(event);
    if (!m_missingCalls.isEmpty())
        endMissingCalls();
}

void EventHandler::noteEvent(const Event &event)
{
    const QDateTime at = event.occurredAt();
    if (!at.isValid())
        return;
    if (!m_lastRowAt.isValid() || m_lastRowAt < at)
        m_lastRowAt = at;
    QString keys[2] = {event.linkedTo(), QString()};
    const auto channelIt = m_channels.constFind(event.channelId());
    if (channelIt != m_channels.cend() && channelIt->parentId() != event.linkedTo())
        keys[1] = channelIt->parentId();
    for (const QString &key : keys) {
        const auto it = m_calls.constFind(key);
        if (key.isEmpty() || it == m_calls.cend())
            continue;
        // A row of its own: the PBX has not lost it, and its end rows end it.
        m_missingCalls.remove(key);
        if (!it->lastEventAt().isValid() || it->lastEventAt() < at)
            updatableCall(key)->setLastEventAt(at);
    }
}

// ---- channel start and registration ------------------------------------------------------------

void EventHandler::handleChannelStart(const Event &event)
{
    Channel channel(event.channelId(), event.linkedTo(), event.caller(), event.extension(),
                    event.channelName());
    channel.setState(Channel::Started, event.occurredAt());

    if (!channel.isPrimary() && !m_channels.contains(channel.parentId())) {
        qWarning().noquote() << QStringLiteral("Parent channel wasn't found for channel [%1]. CEL ID [%2]")
                                    .arg(channel.id(), celText(event));
        return;
    }
    if (m_channels.contains(channel.id())) {
        // The PBX starts a channel once: a second start is the same record read again. Registering
        // it anew would announce its call or leg a second time and drop what the call has become.
        qWarning().noquote() << QStringLiteral("Channel [%1] was already registered. CEL ID [%2]")
                                    .arg(channel.id(), celText(event));
        return;
    }
    if (isConsultation(channel)) {
        // The customer hears hold music while the employee talks to a colleague: that is no talk with
        // the customer, and it becomes one only if the transfer completes (ATTENDEDTRANSFER).
        channel.setConsultation(Channel::ConsultationRinging);
        storeChannel(channel.id(), channel);
        traceDebug(channel.parentId(), Builder::ConversationRequested, Builder::Start,
                   QStringLiteral("Consultation of an attended transfer: %1").arg(channel.name()));
        return;
    }
    storeChannel(channel.id(), channel);

    if (channel.extension() == m_pickupCode) {
        // The picking-up phone gets no call of its own: its PICKUP record joins it to the ringing call.
        m_pickupChannelId = channel.id();
        return;
    }
    registerChannel(channel);
}

bool EventHandler::isConsultation(const Channel &channel) const
{
    if (channel.isPrimary() || channel.isLocal())
        return false;
    const auto callIt = m_calls.constFind(channel.parentId());
    if (callIt == m_calls.cend())
        return false;
    // An attended transfer through the PBX's feature (or the AMI) dials the colleague through a Local
    // channel pair of the customer's own call while a leg of that call is talking. A ring group or a
    // queue starts its Local channels before anyone answers.
    QDateTime talkingSince;
    for (const Conversation &leg : callIt->conversations()) {
        if (leg.isState(CallStatus::Talking) && (!talkingSince.isValid() || leg.answeredAt() < talkingSince))
            talkingSince = leg.answeredAt();
    }
    if (!talkingSince.isValid())
        return false;
    bool dialled = false;
    syncIndex();
    const QSet<QString> ofCall = m_index.channelsOf(channel.parentId());
    for (const QString &key : ofCall) {
        const auto otherIt = m_channels.constFind(key);
        if (otherIt == m_channels.cend() || !otherIt->isState(Channel::Started))
            continue;
        const Channel &other = *otherIt;
        // A blind transfer dials its destination before the transferring phone has hung up.
        if (other.isBlindTransferer())
            return false;
        dialled = dialled || (other.isLocal() && other.startedAt() >= talkingSince);
    }
    return dialled;
}

QString EventHandler::ownPhoneNumber(const Channel &channel) const
{
    // "SIP/103-0000002a" is phone 103 when the PBX lists a peer 103. It lists its trunk peers as well, so one
    // named after a number is told only by the configured trunks. Until a peer list has come, a short number.
    const QString device = channel.device();
    if (device.isEmpty() || channel.isPort() || channel.isLocal() || m_trunkSet.contains(device)
        || !std::all_of(device.cbegin(), device.cend(), [](QChar c) { return c.isDigit(); }))
        return QString();
    const bool known = m_peerSet.isEmpty() ? isInternalNumber(device) : m_peerSet.contains(device);
    return known ? device : QString();
}

void EventHandler::registerChannel(const Channel &channel)
{
    if (channel.isLocal())
        return;
    if (channel.isPrimary())
        registerCall(channel);
    else
        registerConversation(channel);
}

void EventHandler::registerCall(const Channel &channel)
{
    const QString callId = channel.parentId();
    const QString extension = channel.extension();
    const bool extensionInternal = isInternalNumber(extension);
    // A phone of ours set up without a caller id calls out as its employee all the same; a call of it inside
    // stays what it was (no withheld customer's, see registerConversation).
    const QString caller =
        channel.caller().isEmpty() && !extensionInternal ? ownPhoneNumber(channel) : channel.caller();
    const bool callerInternal = isInternalNumber(caller);

    Call call(callId);
    QString externalNumber = caller;
    if (callerInternal && !extensionInternal) {
        QString to = extension;
        bool toLocal = false;
        if (extension.isEmpty()) {
            // A call this system originated starts on the employee's phone with no dialled number yet.
            const QString key = withoutLeadingZero(caller);
            if (m_originateDictionary.contains(key)) {
                traceDebug(callId, Builder::CallStarted, Builder::Start,
                           QStringLiteral("Take number from originate dictionary"));
                to = m_originateDictionary.take(key);
                toLocal = isInternalNumber(to);
            }
        }
        call.setTo(to, toLocal);
        call.setFrom(caller, true);
        call.updateType();
        call.setTrunk(QString());
        externalNumber = call.to();
    } else if (!callerInternal && extensionInternal) {
        call.setFrom(caller, false);
        call.setTrunk(extension);
        call.setType(CallType::Incoming);
    } else if (!callerInternal && !extensionInternal) {
        traceWarning(callId, Builder::CallStarted,
                     QStringLiteral("Call has not any internal number (%1 and %2).").arg(caller, extension));
        call.setFrom(caller, false);
        call.setTrunk(extension);
        call.setType(CallType::Unknown);
    } else {
        call.setFrom(caller, true);
        call.setTo(extension, true);
        call.setType(CallType::Local);
        call.setTrunk(QString());
    }
    if (externalNumber.isEmpty())
        call.setType(CallType::Unknown);
    call.setState(CallStatus::Ringing, channel.startedAt());

    storeCall(callId, call);
    if (!call.isUnknown())
        Q_EMIT callStarted(call);
}

QString EventHandler::numberFromChannelName(const Channel &channel, const QString &callId,
                                            const QString &number) const
{
    const QString fromName = channel.numberFromName();
    if (fromName.isEmpty()) {
        traceDebug(callId, Builder::ConversationRequested, Builder::Error,
                   QStringLiteral("Failed to take number from channame: %1").arg(channel.name()));
        return number;
    }
    traceDebug(callId, Builder::ConversationRequested, Builder::Ok,
               QStringLiteral("Internal number not found in cid_num. Take number from channame: %1")
                   .arg(fromName));
    return fromName;
}

void EventHandler::registerConversation(const Channel &channel, const QDateTime &ringingAt)
{
    const QString conversationId = channel.id();
    const QString callId = channel.parentId();

    Call *const tracked = updatableCall(callId);
    if (!tracked) {
        traceWarning(callId, Builder::ConversationRequested,
                     QStringLiteral("Call was not registered."));
        return;
    }
    Call &call = *tracked;
    if (call.conversations().contains(conversationId)) {
        traceWarning(callId, Builder::ConversationRequested,
                     QStringLiteral("Conversation %1 was already registered").arg(conversationId));
    }

    Conversation conversation(conversationId, conversationId, callId);
    conversation.setTrunk(call.trunk());
    if (!call.isOutgoing()) {
        conversation.setFrom(call.from(), isInternalNumber(call.from()));
        QString to = channel.caller();
        // An IAX2 phone without a caller id starts its leg with an empty number, and some dial plans
        // give the leg the trunk number: either way the phone that rings is in the channel name.
        // The trunk leg of a call placed from an extension (outgoing, or not yet known to be) also
        // starts empty, and its name holds no extension.
        const bool placedFromExtension = call.isUnknown() && call.isFromLocal();
        const bool emptyCaller = to.isEmpty() && !placedFromExtension;
        if (emptyCaller)
            to = numberFromChannelName(channel, callId, to);
        conversation.setTo(to, isInternalNumber(to));
        if (!emptyCaller && conversation.isIncoming() && conversation.to() == conversation.trunk()) {
            to = numberFromChannelName(channel, callId, to);
            conversation.setTo(to, isInternalNumber(to));
        }
    } else {
        if (channel.caller().isEmpty() || call.conversations().isEmpty())
            conversation.setFrom(call.from(), true);
        else
            conversation.setFrom(channel.caller(), isInternalNumber(channel.caller()));
        conversation.setTo(call.to(), false);
    }

    if (call.isUnknown() && call.from().isEmpty() && m_trunkSet.contains(call.trunk()) && conversation.isToLocal()
        && !conversation.to().isEmpty() && ownPhoneNumber(m_channels.value(callId)).isEmpty()) {
        // A call from outside to one of our numbers whose caller still has no number when a phone rings for it
        // comes from a withheld caller: some lines send no caller id at all rather than "anonymous".
        call.setFrom(kWithheldCaller, false);
        conversation.setFrom(kWithheldCaller, false);
    }
    if (call.isUnknown() && conversation.isIncoming()) {
        // The first ringing phone tells where a call of unknown direction goes.
        call.setTo(conversation.to(), true);
        call.setType(CallType::Incoming);
        Q_EMIT callStarted(call);
    }

    conversation.setState(CallStatus::Ringing, ringingAt.isValid() ? ringingAt : channel.startedAt());
    conversation.setStartOrder(m_row);
    markRingsWith(call, conversation);
    call.conversations().insert(conversationId, conversation);
    if (!call.isUnknown() && !conversation.isUnknown())
        Q_EMIT conversationRequested(conversation);
}

void EventHandler::markRingsWith(const Call &call, Conversation &leg) const
{
    // Phones that start to ring once the call has been answered, until one of them answers, ring for one
    // transfer of it (a queue or a ring group it was put through to, one after another or all at once).
    // The PBX stamps whole seconds: within one, the order of its records tells which came first (a leg of
    // a state saved by an earlier version has none).
    const auto before = [](const QDateTime &at, qint64 order, const QDateTime &otherAt, qint64 otherOrder) {
        return at != otherAt ? at < otherAt : order != 0 && otherOrder != 0 && order < otherOrder;
    };
    const Conversation *lastAnswered = nullptr;
    for (const Conversation &other : call.conversations()) {
        if (other.id() != leg.id() && other.wasAnswered()
            && (!lastAnswered
                || before(lastAnswered->answeredAt(), lastAnswered->answerOrder(), other.answeredAt(),
                          other.answerOrder())))
            lastAnswered = &other;
    }
    if (!lastAnswered)
        return;
    QString first;
    for (const Conversation &other : call.conversations()) {
        if (other.id() == leg.id() || other.wasAnswered()
            || before(other.startedAt(), other.startOrder(), lastAnswered->answeredAt(), lastAnswered->answerOrder()))
            continue;
        if (first.isEmpty() || Entities::uniqueIdBefore(other.id(), first))
            first = other.id();
    }
    leg.setRingsWith(first);
}

// ---- answer ---------------------------------------------------------------------------------------

void EventHandler::handleAnswer(const Event &event)
{
    const QString channelId = event.channelId();
    Channel *const channel = updatableChannel(channelId);
    if (!channel) {
        traceWarning(channelId, Builder::ConversationAccepted, notRegisteredChannel(event));
        return;
    }
    if (channel->isPrimary()) {
        handlePrimaryAnswer(event, *channel);
        return;
    }
    if (channel->isLocal())
        return;
    if (channel->consultation() != Channel::NoConsultation) {
        channel->setConsultation(Channel::ConsultationAnswered);
        return;
    }

    const QString callId = channel->parentId();
    Call *const tracked = updatableCall(callId);
    if (!tracked) {
        traceWarning(channelId, Builder::ConversationAccepted, notRegisteredCall(event));
        return;
    }
    Call &call = *tracked;
    const auto legIt = call.conversations().find(channelId);
    if (legIt == call.conversations().end()) {
        traceWarning(channelId, Builder::ConversationAccepted,
                     notRegisteredConversation(channelId, callId, celText(event)));
        return;
    }
    Conversation &leg = *legIt;

    const bool wasUnknown = leg.isUnknown();
    const QString caller = event.caller();
    // An empty caller, or the trunk on an incoming leg, is not the phone that answered: the leg's
    // number was taken from its channel name for exactly that reason and must stay.
    const bool usableCaller = !caller.isEmpty() && !(leg.isIncoming() && caller == leg.trunk());
    if ((wasUnknown || call.conversations().size() == 1) && usableCaller && leg.to() != caller) {
        channel->setCaller(caller);
        leg.setTo(caller, isInternalNumber(caller));
    }

    if (!call.isUnknown()) {
        if (wasUnknown && !leg.isUnknown())
            Q_EMIT conversationRequested(leg);
    } else if (!leg.isOutgoing()) {
        traceWarning(channelId, Builder::ConversationAccepted,
                     QStringLiteral("Don't register call: ") + call.toJsonString());
        removeCall(callId);
        return;
    } else {
        // An answered outgoing leg tells where a call placed from an extension went.
        const QString to = leg.to();
        const bool internal = isInternalNumber(to);
        call.setTo(to, internal);
        call.setType(internal ? CallType::Local : CallType::Outgoing);
        Q_EMIT callStarted(call);
        Q_EMIT conversationRequested(leg);
    }

    if (leg.state() < CallStatus::Talking) {
        leg.setState(CallStatus::Talking, event.occurredAt());
        leg.setAnswerOrder(event.id());
        call.setState(CallStatus::Talking, event.occurredAt());
        Q_EMIT conversationAccepted(leg);
    }
}

void EventHandler::handlePrimaryAnswer(const Event &event, Channel &channel)
{
    const QString caller = event.caller();
    Call *const call = updatableCall(channel.id());
    if (call && call->isOutgoing()) {
        // The number presented to the outside world. On a click-to-call the caller id holds the
        // customer's number and on a plain dial the employee's: neither is a trunk.
        if (!caller.isEmpty() && caller != call->from() && caller != call->to())
            call->setTrunk(caller);
    }
    if (!channel.caller().isEmpty())
        return;
    channel.setCaller(caller);
    // The pickup channel has no call, and its call end is skipped: an entry made for it would stay.
    if (channel.id() == m_pickupChannelId)
        return;
    if (!call || call->from().isEmpty())
        callEntry(channel.id()).setFrom(caller, false);
}

// ---- channel end and call end -------------------------------------------------------------------

void EventHandler::handleChannelEnd(const Event &event)
{
    const QString channelId = event.channelId();
    Channel *const channel = updatableChannel(channelId);
    if (!channel) {
        traceWarning(channelId, Builder::NoTask, notRegisteredChannel(event));
        return;
    }
    // A call's own channel ends with the call, at LINKEDID_END.
    if (channel->isPrimary())
        return;
    channel->setState(Channel::Ended, event.occurredAt());
    // A consultation that ends without a transfer was never part of the customer's call.
    if (channel->isLocal() || channel->consultation() != Channel::NoConsultation)
        return;

    const QString callId = channel->parentId();
    Call *const tracked = updatableCall(callId);
    if (!tracked) {
        traceWarning(callId, Builder::NoTask, notRegisteredCall(event));
        return;
    }
    Call &call = *tracked;
    const auto legIt = call.conversations().find(channelId);
    if (legIt == call.conversations().end()) {
        traceWarning(callId, Builder::NoTask,
                     notRegisteredConversation(channelId, callId, celText(event)));
        return;
    }
    Conversation &leg = *legIt;
    // Ended already, with its call, by the verdict on a call the PBX seemed to have lost: its late rows
    // must not end it a second time.
    if (leg.isState(CallStatus::Hung))
        return;
    leg.setState(CallStatus::Hung, event.occurredAt());
    leg.setEndOrder(event.id());
    if (!leg.isUnknown()) {
        Q_EMIT conversationEnded(leg);
    } else if (call.isIncoming()) {
        leg.setTo(call.trunk(), true);
    } else if (call.isOutgoing()) {
        leg.setFrom(call.trunk(), true);
    }
}

Call EventHandler::rebuildCall(const Channel &primary)
{
    Call call(primary.parentId());
    call.setTrunk(primary.extension());
    call.setFrom(primary.caller(), isInternalNumber(primary.caller()));
    const QString key = withoutLeadingZero(primary.caller());
    if (m_originateDictionary.contains(key)) {
        const QString to = m_originateDictionary.take(key);
        call.setTo(to, isInternalNumber(to));
    } else {
        call.setTo(Call::PHONE_NUMBER_PLACEHOLDER, true);
    }
    call.setState(CallStatus::Ringing, primary.startedAt());
    call.setState(CallStatus::Hung, primary.endedAt());
    return call;
}

void EventHandler::handleCallEnd(const Event &event)
{
    const QString callId = event.linkedTo();
    if (callId == m_pickupChannelId) {
        traceDebug(callId, Builder::CallEnded, Builder::Start,
                   QStringLiteral("[%1] Channel engaged in PICKUP").arg(callId));
        // A pickup that found nothing to pick up leaves its channel on its own, and nothing else
        // ever ends it: without this it would stay in the tables and the saved state for good.
        Channel *const picker = updatableChannel(callId);
        if (picker && picker->isPrimary())
            picker->setState(Channel::Ended, event.occurredAt());
        return;
    }
    Channel *const primary = updatableChannel(callId);
    if (!primary) {
        traceWarning(callId, Builder::CallEnded, notRegisteredChannel(event));
        return;
    }
    if (!primary->isPrimary()) {
        traceWarning(callId, Builder::CallEnded,
                     QStringLiteral("Channel is not primary. CEL ID [%2]").arg(celText(event)));
        return;
    }
    primary->setState(Channel::Ended, event.occurredAt());
    if (!m_calls.contains(callId)) {
        traceWarning(callId, Builder::CallEnded, notRegisteredCall(event));
        return;
    }
    endCall(callId, primary, event.occurredAt(), event.id());
}

void EventHandler::endCall(const QString &callId, const Channel *primary, const QDateTime &at, CelId order)
{
    Call &call = *updatableCall(callId);
    if (call.isState(CallStatus::Hung))
        return;
    if (call.isOutgoing() && m_originateDictionary.contains(call.from()))
        m_originateDictionary.remove(call.from());
    if (call.isUnknown()) {
        traceWarning(callId, Builder::CallEnded,
                     QStringLiteral("Don't register the call\t") + call.toJsonString());
        removeCall(callId);
        return;
    }
    if (call.isIncoming() && call.conversations().isEmpty() && primary) {
        // No phone ever rang: report the call as it came in, to whom it was meant when we know.
        const CallType type = call.type();
        call = rebuildCall(*primary);
        call.setType(type);
    }

    call.setState(CallStatus::Hung, at);
    // In the order the PBX started the legs.
    auto &legs = call.conversations();
    QStringList legIds = legs.keys();
    std::sort(legIds.begin(), legIds.end(), Entities::uniqueIdBefore);
    for (const QString &legId : qAsConst(legIds)) {
        Conversation &leg = legs[legId];
        if (!leg.isState(CallStatus::Hung)) {
            leg.setState(CallStatus::Hung, at);
            leg.setEndOrder(order);
            Q_EMIT conversationEnded(leg);
        }
    }
    // The call ends with the employee who was still talking to the customer at the end: the call's
    // main leg, as the CRM finishes it (of the answered legs, the one that ended last). A ring group's
    // phone that stopped ringing when another one took the call is not whom the call went to. With no
    // answered leg, the last leg that rang.
    if (!legIds.isEmpty()) {
        const Conversation leg = call.wasAnswered() ? call.mainConversation() : legs.value(legIds.last());
        call.setTo(leg.to(), leg.isToLocal());
    }
    Q_EMIT callEnded(call);
}

// ---- table access ---------------------------------------------------------------------------------
// Every change of an entry goes through these, so that its saved text is rebuilt at the next stateText().

Call *EventHandler::updatableCall(const QString &key)
{
    const auto it = m_calls.find(key);
    if (it == m_calls.end())
        return nullptr;
    touchCall(key);
    return &*it;
}

Call &EventHandler::callEntry(const QString &key)
{
    touchCall(key);
    return m_calls[key];
}

void EventHandler::storeCall(const QString &key, const Call &call)
{
    touchCall(key);
    m_calls.insert(key, call);
}

void EventHandler::removeCall(const QString &key)
{
    touchCall(key);
    m_calls.remove(key);
}

Channel *EventHandler::updatableChannel(const QString &key)
{
    const auto it = m_channels.find(key);
    if (it == m_channels.end())
        return nullptr;
    touchChannel(key);
    return &*it;
}

Channel &EventHandler::channelEntry(const QString &key)
{
    touchChannel(key);
    return m_channels[key];
}

void EventHandler::storeChannel(const QString &key, const Channel &channel)
{
    touchChannel(key);
    m_channels.insert(key, channel);
}

void EventHandler::touchCall(const QString &key)
{
    m_changedCalls.insert(key);
    m_index.touchCall(key);
}

void EventHandler::touchChannel(const QString &key)
{
    m_changedChannels.insert(key);
    m_index.touchChannel(key);
}

} // namespace Orvix::PBX::Asterisk
