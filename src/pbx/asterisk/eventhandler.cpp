#include "pbx/asterisk/eventhandler.h"

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

using Builder = Utils::MsgBuilder;
using Entities::Call;
using Entities::CallStatus;
using Entities::CallType;
using Entities::Conversation;

// A leg ended this long before an ATTENDEDTRANSFER record still counts as its consultation leg: its
// channel may be gone by the time the PBX writes the transfer record.
constexpr qint64 kConsultationGraceMsec = 16 * 1000;
// Ended channels and calls leave the tables this long after their end; a call without any CEL row for
// this long is asked after on the PBX.
constexpr qint64 kStaleMinutes = 30;
// The PBX writes CEL rows in whole seconds and not strictly in stamp order: once a row stamped this
// long after a channel list has been read, every row of a channel that had gone by then has been too.
constexpr qint64 kListPassedSecs = 2;

QString traceText(const QString &id, Builder::TaskName task, Builder::TaskStatus status,
                  const QString &message)
{
    return Builder(id, task, Builder::NoChildTask).build(status, message);
}

void traceWarning(const QString &id, Builder::TaskName task, const QString &message)
{
    qWarning().noquote() << traceText(id, task, Builder::Warning, message);
}

void traceDebug(const QString &id, Builder::TaskName task, Builder::TaskStatus status,
                const QString &message)
{
    qDebug().noquote() << traceText(id, task, status, message);
}

QString celText(const Event &event)
{
    return QString::number(event.id());
}

QString notRegisteredChannel(const Event &event)
{
    return QStringLiteral("Channel was not registered. CEL ID [%2]").arg(celText(event));
}

QString notRegisteredCall(const Event &event)
{
    return QStringLiteral("Call was not registered. CEL ID [%2]").arg(celText(event));
}

QString notRegisteredConversation(const QString &conversationId, const QString &callId,
                                  const QString &celId)
{
    return QStringLiteral("Conversation [%1] was not registered in call [%2]. CEL ID [%3]")
        .arg(conversationId, callId, celId);
}

QString identicalTransfer(const QString &callId, const QString &channelId, const QString &celId)
{
    return QStringLiteral("The source and destination of transfer are identical([%1]) in call [%2]. "
                          "CEL ID [%3]")
        .arg(callId, channelId, celId);
}

// One member of a JSON object as compact text: "key":{...}.
QByteArray memberText(const QString &key, const QJsonObject &value)
{
    // The key through the JSON writer, for its escaping: ["key"] less the brackets.
    const QByteArray quotedKey = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact);
    return quotedKey.mid(1, quotedKey.size() - 2) + ':' + QJsonDocument(value).toJson(QJsonDocument::Compact);
}

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

void EventHandler::process(const Event &event)
{
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
    for (const Channel &other : m_channels) {
        if (other.parentId() != channel.parentId() || !other.isState(Channel::Started))
            continue;
        // A blind transfer dials its destination before the transferring phone has hung up.
        if (other.isBlindTransferer())
            return false;
        dialled = dialled || (other.isLocal() && other.startedAt() >= talkingSince);
    }
    return dialled;
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
    const QString caller = channel.caller();
    const QString extension = channel.extension();
    const bool callerInternal = isInternalNumber(caller);
    const bool extensionInternal = isInternalNumber(extension);

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

    if (call.isUnknown() && conversation.isIncoming()) {
        // The first ringing phone tells where a call of unknown direction goes.
        call.setTo(conversation.to(), true);
        call.setType(CallType::Incoming);
        Q_EMIT callStarted(call);
    }

    conversation.setState(CallStatus::Ringing, ringingAt.isValid() ? ringingAt : channel.startedAt());
    call.conversations().insert(conversationId, conversation);
    if (!call.isUnknown() && !conversation.isUnknown())
        Q_EMIT conversationRequested(conversation);
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

// ---- pickup and transfers -----------------------------------------------------------------------

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
    if (call.state() < CallStatus::Ringing)
        call.setState(CallStatus::Ringing, at);
    Q_EMIT conversationRequested(conversation);
    conversation.setState(CallStatus::Talking, at);
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
    for (auto it = m_channels.cbegin(); it != m_channels.cend(); ++it) {
        if (it->parentId() == event.linkedTo() && it->consultation() != Channel::NoConsultation
            && it->isState(Channel::Started))
            consulted.append(it.key());
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
    for (auto callIt = m_calls.cbegin(); callIt != m_calls.cend(); ++callIt) {
        if (callIt.key() == event.linkedTo())
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
    Q_EMIT conversationAccepted(*legIt);
}

// ---- table access ---------------------------------------------------------------------------------
// Every change of an entry goes through these, so that its saved text is rebuilt at the next stateText().

Call *EventHandler::updatableCall(const QString &key)
{
    const auto it = m_calls.find(key);
    if (it == m_calls.end())
        return nullptr;
    m_changedCalls.insert(key);
    return &*it;
}

Call &EventHandler::callEntry(const QString &key)
{
    m_changedCalls.insert(key);
    return m_calls[key];
}

void EventHandler::storeCall(const QString &key, const Call &call)
{
    m_changedCalls.insert(key);
    m_calls.insert(key, call);
}

void EventHandler::removeCall(const QString &key)
{
    m_changedCalls.insert(key);
    m_calls.remove(key);
}

Channel *EventHandler::updatableChannel(const QString &key)
{
    const auto it = m_channels.find(key);
    if (it == m_channels.end())
        return nullptr;
    m_changedChannels.insert(key);
    return &*it;
}

Channel &EventHandler::channelEntry(const QString &key)
{
    m_changedChannels.insert(key);
    return m_channels[key];
}

void EventHandler::storeChannel(const QString &key, const Channel &channel)
{
    m_changedChannels.insert(key);
    m_channels.insert(key, channel);
}

// ---- maintenance and saved state ----------------------------------------------------------------

void EventHandler::removeStale()
{
    // Every entry against one cut-off time: a local time converted for every tracked entry and batch
    // (ten thousand of them on a busy PBX) was most of the cleanup's cost. Times of the same offset
    // compare without any conversion.
    const QDateTime cutoff = Entities::Clock::now().addSecs(-kStaleMinutes * 60);
    const auto stale = [&cutoff](const QDateTime &endedAt) { return endedAt.isValid() && endedAt <= cutoff; };
    for (auto it = m_channels.begin(); it != m_channels.end();) {
        if (it->isState(Channel::Ended) && stale(it->endedAt())) {
            m_changedChannels.insert(it.key());
            it = m_channels.erase(it);
        } else {
            ++it;
        }
    }
    // By table key: an entry stored without an id of its own must go as well.
    for (auto it = m_calls.begin(); it != m_calls.end();) {
        if (it->isState(CallStatus::Hung) && stale(it->endedAt())) {
            m_changedCalls.insert(it.key());
            it = m_calls.erase(it);
        } else {
            ++it;
        }
    }
}

QStringList EventHandler::quietCalls() const
{
    const QDateTime cutoff = Entities::Clock::now().addSecs(-kStaleMinutes * 60);
    QStringList calls;
    for (auto it = m_calls.cbegin(); it != m_calls.cend(); ++it) {
        const QDateTime last = it->lastEventAt().isValid() ? it->lastEventAt() : it->startedAt();
        const bool quiet = (last.isValid() && last <= cutoff) || m_missingCalls.contains(it.key());
        if (quiet && !it->isState(CallStatus::Hung))
            calls.append(it.key());
    }
    return calls;
}

int EventHandler::endLostCalls(const QStringList &callIds, const QSet<QString> &liveIds, const QDateTime &listedAt)
{
    const QDateTime listed = listedAt.isValid() ? listedAt : Entities::Clock::now();
    const bool rowsPassed = m_lastRowAt.isValid() && listed.addSecs(kListPassedSecs) <= m_lastRowAt;
    // Live by its linked id, or by any channel of it (a leg moved here by a transfer keeps its own).
    QSet<QString> liveCalls = liveIds;
    for (const Channel &channel : qAsConst(m_channels)) {
        if (liveIds.contains(channel.id()))
            liveCalls.insert(channel.parentId());
    }
    QStringList lost;
    for (const QString &callId : callIds) {
        if (liveCalls.contains(callId))
            m_missingCalls.remove(callId);
        else if (rowsPassed || m_missingCalls.contains(callId))
            lost.append(callId);
        else if (m_calls.contains(callId) && !m_calls.value(callId).isState(CallStatus::Hung))
            m_missingCalls.insert(callId, listed);
    }
    return endLost(lost);
}

void EventHandler::endMissingCalls()
{
    QStringList passed;
    for (auto it = m_missingCalls.cbegin(); it != m_missingCalls.cend(); ++it) {
        if (it.value().addSecs(kListPassedSecs) <= m_lastRowAt)
            passed.append(it.key());
    }
    if (!passed.isEmpty())
        endLost(passed);
}

int EventHandler::endLost(const QStringList &callIds)
{
    QHash<QString, QDateTime> lost;
    for (const QString &callId : callIds) {
        m_missingCalls.remove(callId);
        const auto it = m_calls.constFind(callId);
        if (it != m_calls.cend() && !it->isState(CallStatus::Hung))
            lost.insert(callId, it->lastEventAt().isValid() ? it->lastEventAt() : it->startedAt());
    }
    if (lost.isEmpty())
        return 0;
    // The PBX wrote no end for them: their channels end with the call, and leave the tables later.
    for (auto it = m_channels.begin(); it != m_channels.end(); ++it) {
        const auto call = lost.constFind(it->parentId());
        if (call != lost.cend() && !it->isState(Channel::Ended)) {
            m_changedChannels.insert(it.key());
            it->setState(Channel::Ended, *call);
        }
    }
    for (auto it = lost.cbegin(); it != lost.cend(); ++it) {
        traceWarning(it.key(), Builder::CallEnded,
                     QStringLiteral("The PBX has no channel of the call any more: it ends at its last event, %1")
                         .arg(it.value().toString(Entities::DATE_TIME_FORMAT)));
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
