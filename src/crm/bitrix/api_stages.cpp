// The call-flow stages of the CRM API: one task per PBX call event, from the registration at the start
// of a call to its finish and final updates at the end (the recordings: api_recordings.cpp).

#include "crm/bitrix/api.h"
#include "crm/bitrix/api_p.h"

#include "entities/telephonyeventloghandler.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Entities::Call;
using Entities::Conversation;
using Utils::MsgBuilder;
using Utils::Promise;

using ApiDetail::child;
using ApiDetail::resolved;
using ApiDetail::whenSettled;

inline constexpr QLatin1String kLeadComment("COMMENTS");
// How long a card waits at most for a PBX link that has not read its latest records yet.
constexpr std::chrono::milliseconds kCardWaitForPbx{10000};

} // namespace

// ---- Call start ----

Promise<void> API::onCallStartedTask(const Call &call, const MsgBuilder &trace, quint64 sequence)
{
    Promise<void> result;
    if (call.isOutgoing() && hasRememberedCall(call.to())) {
        // The CRM registered the call itself when it asked us to dial it.
        const CallRegistration registration = findRememberedCall(call.to());
        changeFacts(call.id(), [&registration](RegistrationLedger::CallFacts &facts) { facts.bound = registration; });
        Registration done;
        done.resolve(registration);
        m_pendingRegistrations.insert(call.id(), done);
        if (!registration.callId().isEmpty())
            m_ledger.registered(call.id(), {call.id(), registration, false});
        result.resolve();
        return result;
    }

    Promise<Entity> responsible;
    if (call.isOutgoing() && !call.from().isEmpty())
        responsible = m_connector.findUserByPhoneCached(call.from(), trace);
    else
        responsible.reject(); // an incoming call has no user yet while it rings

    const auto registerWith = [self = QPointer<API>(this), call, trace, sequence, result](const Entity &user) {
        if (!self) {
            result.resolve();
            return;
        }
        whenSettled(self->registerCallStart(call, user, trace, sequence), [result]() { result.resolve(); });
    };
    responsible.onResolve(registerWith);
    responsible.onReject([registerWith]() {
        // The registration parameters choose the user for this placeholder.
        registerWith(Entity(EntityType::User, 0, QString(), QString(), true));
    });
    return result;
}

API::Registration API::registerCallStart(const Call &call, const Entity &responsible, const MsgBuilder &trace,
                                         quint64 sequence)
{
    const MsgBuilder line = child(trace, MsgBuilder::CallStartRegister);
    if (call.isLocal()) {
        // A call between two extensions is no client's call: nothing is wrong.
        qDebug().noquote() << line.build(MsgBuilder::Error, QStringLiteral("Do not register call, because it is local"));
        Registration refused;
        refused.reject(RegistrationFailedReason::LocalCall);
        return refused;
    }
    const auto existing = m_pendingRegistrations.constFind(call.id());
    if (existing != m_pendingRegistrations.constEnd())
        return *existing;

    bool first = false;
    bool second = false;
    if (m_noLeadMode) {
        first = call.isIncoming() ? m_createContactsForIncoming : m_createContactsForOutgoing;
        second = call.isIncoming() ? m_createDealsForIncoming : m_createDealsForOutgoing;
    } else {
        first = call.isIncoming() ? m_createLeadsForIncoming : m_createLeadsForOutgoing;
    }
    const Registration registration =
        m_connector.registerCall(first, second, call, responsible, line, registerMemo(sequence, call.id()));
    // Stored before the callbacks: a registration refused at once must leave no entry behind.
    m_pendingRegistrations.insert(call.id(), registration);
    const QString callId = call.id();
    const QString externalNumber = call.externalNumber();
    registration.onResolve([self = QPointer<API>(this), callId, externalNumber, line](const CallRegistration &done) {
        if (self)
            self->onRegistered(callId, callId, done, externalNumber, line, false);
    });
    registration.onReject([self = QPointer<API>(this), callId, line](RegistrationFailedReason) {
        qInfo().noquote() << line.build(MsgBuilder::Error,
                                        QStringLiteral("Failed to register the beginning of conversation"));
        if (self)
            self->dropPending(callId);
    });
    return registration;
}

void API::onRegistered(const QString &key, const QString &callId, const CallRegistration &registration,
                       const QString &externalNumber, const MsgBuilder &trace, bool commentLead)
{
    qInfo().noquote() << trace.build(MsgBuilder::Ok, registration.toJson());
    // This registration made its entity when the CRM created the lead for it, or when the connector added
    // the record while building it (reported before the answer comes); a later leg of the call that only
    // found that record made nothing.
    const bool madeHere = m_newEntityCalls.remove(callId) || registration.isLeadCreated();
    // The call made its entity when any of its registrations did: the record stays the call's for the
    // answering employee and the final updates.
    const bool created = m_ledger.facts(callId).entityCreated || madeHere;
    changeFacts(callId, [&registration, created](RegistrationLedger::CallFacts &facts) {
        facts.bound = registration;
        facts.entityCreated = created;
    });
    if (m_pendingRegistrations.contains(key))
        m_ledger.registered(key, {callId, registration, created});
    // Only the lead this registration made gets the company's data and the comment: an existing record,
    // or the lead of an earlier leg with the notes its employee typed in, is left as it is.
    if (!madeHere || registration.entityType() != EntityType::Lead)
        return;
    updateLeadFromDoubleGis(registration, externalNumber, trace);
    if (commentLead) {
        m_connector.updateLead(registration.entityId(),
                               QJsonObject{{kLeadComment, QStringLiteral("Создан автоматически модулем интеграции с Asterisk")}},
                               child(trace, MsgBuilder::LeadCommentAdd));
    }
}

void API::updateLeadFromDoubleGis(const CallRegistration &registration, const QString &phone, const MsgBuilder &trace)
{
    const bool mobile = phone.startsWith(QLatin1String("89")) || phone.startsWith(QLatin1String("79"))
        || phone.startsWith(QLatin1String("+79"));
    if (phone.size() <= 4 || mobile) {
        qDebug().noquote() << trace.build(MsgBuilder::Warning, QStringLiteral("\tDon't seek phone [%1] in 2gis").arg(phone));
        return;
    }
    const MsgBuilder line = child(trace, MsgBuilder::LeadUpdateFrom2Gis);
    Promise<Entity> company;
    Q_EMIT findCompanyInDoubleGisRequest(m_connector.phoneVariants(phone), company);
    const int leadId = registration.entityId();
    company.onResolve([self = QPointer<API>(this), leadId, phone, line](const Entity &found) {
        if (!self || !found.isValid() || leadId < 1)
            return;
        const QJsonObject fields{{QStringLiteral("TITLE"), found.title()}, {QStringLiteral("ADDRESS"), found.address()}};
        self->m_connector.updateLead(leadId, fields, line).onResolve([self, phone](const Entity &lead) {
            if (self)
                Q_EMIT self->entityFound(phone, lead);
        });
    });
    company.onReject([line]() {
        qDebug().noquote() << line.build(MsgBuilder::Warning, QStringLiteral("Company was not found in 2Gis"));
    });
}

// ---- Conversation start and call cards ----

API::Registration API::findRegistration(const Conversation &conversation, const MsgBuilder &trace)
{
    auto it = m_pendingRegistrations.constFind(conversation.id());
    if (it == m_pendingRegistrations.constEnd())
        it = m_pendingRegistrations.constFind(conversation.callId());
    if (it != m_pendingRegistrations.constEnd())
        return *it;
    const QString text = trace.build(MsgBuilder::Warning, QStringLiteral("Conversation [%1] or call [%2] wasn't registered in CRM")
                                                              .arg(conversation.id(), conversation.callId()));
    // A call between two extensions is never registered: nothing is amiss.
    if (conversation.isLocal())
        qDebug().noquote() << text;
    else
        qWarning().noquote() << text;
    Registration missing;
    missing.reject(RegistrationFailedReason::Failed);
    return missing;
}

Promise<void> API::onConversationRequestedTask(const Conversation &conversation, const MsgBuilder &trace,
                                               quint64 sequence)
{
    Promise<void> result;
    const QString internalNumber = conversation.internalNumber();
    const auto showOwnCard = [self = QPointer<API>(this), conversation, trace, result](const CallRegistration &g) {
        if (self)
            self->showCallCardIfRecent(g.callId(), conversation, trace).proxyTo(result);
        else
            result.resolve();
    };
    const auto userNotFound = [internalNumber, result](const MsgBuilder &line) {
        qDebug().noquote() << line.build(MsgBuilder::Error,
                                         QStringLiteral("User for phone number %1 not found in Bitrix24").arg(internalNumber));
        result.resolve();
    };

    if (!wasTransferredWhenKept(sequence, conversation, trace)) {
        if (conversation.isOutgoing() && hasRememberedCall(conversation.to())) {
            // The CRM shows its own card for a call it dialled.
            m_rememberedCalls.remove(m_connector.phoneWithoutPrefixes(conversation.to()));
            result.resolve();
            return result;
        }
        const Registration found = findRegistration(conversation, trace);
        found.onResolve(showOwnCard);
        found.onReject([self = QPointer<API>(this), conversation, trace, sequence, result, showOwnCard,
                        userNotFound](RegistrationFailedReason) {
            if (!self) {
                result.resolve();
                return;
            }
            const MsgBuilder line = child(trace, MsgBuilder::CallStartRegister);
            self->m_connector.findUserByPhoneCached(conversation.internalNumber(), trace)
                .onResolve([self, conversation, line, sequence, result, showOwnCard](const Entity &user) {
                    if (!self) {
                        result.resolve();
                        return;
                    }
                    qDebug().noquote() << line.build(
                        MsgBuilder::Start,
                        QStringLiteral("Register conversation [%1] in conversation requested task.")
                            .arg(conversation.callId()));
                    const Registration leg = self->registerConversationStart(conversation, user, line, sequence);
                    // Filed under the call too, so the later stages of the call find it.
                    self->fileRegistration(conversation.callId(), conversation.callId(), leg);
                    leg.onResolve(showOwnCard);
                    leg.onReject([result](RegistrationFailedReason) { result.reject(); });
                })
                .onReject([line, userNotFound]() { userNotFound(line); });
        });
        return result;
    }

    if (!m_createNewActivityAtTransfer) {
        showCallCard(conversation, trace).proxyTo(result);
        return result;
    }

    // A leg that rings for the same transfer as an earlier one (a queue, a ring group) shares its CRM call:
    // the phone that answers finishes it, the others only see its card come and go.
    const auto shared = m_pendingRegistrations.constFind(conversation.ringsWith());
    if (!conversation.ringsWith().isEmpty() && shared != m_pendingRegistrations.constEnd()) {
        const Registration transfer = *shared;
        fileRegistration(conversation.id(), conversation.callId(), transfer);
        transfer.onResolve(showOwnCard);
        transfer.onReject([result](RegistrationFailedReason) { result.reject(); });
        return result;
    }

    m_connector.findUserByPhoneCached(internalNumber, trace)
        .onResolve([self = QPointer<API>(this), conversation, trace, sequence, result,
                    showOwnCard](const Entity &user) {
            if (!self) {
                result.resolve();
                return;
            }
            const Registration leg = self->registerTransferredConversationStart(conversation, user, trace, sequence);
            // The member it rings with did not register (no CRM user): this one's CRM call is the transfer's,
            // shared by the members that ring after it.
            const QString ringsWith = conversation.ringsWith();
            if (!ringsWith.isEmpty() && !self->m_pendingRegistrations.contains(ringsWith))
                self->fileRegistration(ringsWith, conversation.callId(), leg);
            leg.onResolve(showOwnCard);
            leg.onReject([result](RegistrationFailedReason) { result.reject(); });
        })
        .onReject([trace, userNotFound]() { userNotFound(child(trace, MsgBuilder::NoChildTask)); });
    return result;
}

void API::fileRegistration(const QString &key, const QString &callId, const Registration &registration)
{
    m_pendingRegistrations.insert(key, registration);
    registration.onResolve([self = QPointer<API>(this), key, callId](const CallRegistration &done) {
        if (self && self->m_pendingRegistrations.contains(key))
            self->m_ledger.registered(key, {callId, done, self->m_ledger.facts(callId).entityCreated});
    });
    registration.onReject([self = QPointer<API>(this), key](RegistrationFailedReason) {
        if (self)
            self->dropPending(key);
    });
}

API::Registration API::registerConversationStart(const Conversation &conversation, const Entity &responsible,
                                                 const MsgBuilder &trace, quint64 sequence)
{
    const MsgBuilder line = child(trace, MsgBuilder::ConversationStartRegister);
    if (conversation.isLocal()) {
        qWarning().noquote() << line.build(
            MsgBuilder::Warning,
            QStringLiteral("Don't register conversation [%1] because it is local").arg(conversation.id()));
        Registration refused;
        refused.reject(RegistrationFailedReason::LocalCall);
        return refused;
    }
    const auto existing = m_pendingRegistrations.constFind(conversation.id());
    if (existing != m_pendingRegistrations.constEnd())
        return *existing;

    bool first = false;
    bool second = false;
    if (m_noLeadMode) {
        first = conversation.isIncoming() ? m_createContactsForIncoming : m_createContactsForOutgoing;
        second = conversation.isIncoming() ? m_createDealsForIncoming : m_createDealsForOutgoing;
    } else {
        first = conversation.isIncoming() ? m_createLeadsForIncoming : m_createLeadsForOutgoing;
    }
    const Registration registration = m_connector.registerConversation(
        first, second, conversation, responsible, line, registerMemo(sequence, conversation.callId()));
    const QString key = conversation.id();
    m_pendingRegistrations.insert(key, registration);
    const QString callId = conversation.callId();
    const QString externalNumber = conversation.externalNumber();
    registration.onResolve([self = QPointer<API>(this), key, callId, externalNumber, line](const CallRegistration &done) {
        if (self)
            self->onRegistered(key, callId, done, externalNumber, line, true);
    });
    registration.onReject([self = QPointer<API>(this), key, line](RegistrationFailedReason) {
        qInfo().noquote() << line.build(MsgBuilder::Error,
                                        QStringLiteral("Failed to register the beginning of conversation"));
        if (self)
            self->dropPending(key);
    });
    return registration;
}

API::Registration API::registerTransferredConversationStart(const Conversation &conversation,
                                                            const Entity &responsible, const MsgBuilder &trace,
                                                            quint64 sequence)
{
    // A transferred leg gets a registration, an activity and a card of its own; a local leg is refused.
    return registerConversationStart(conversation, responsible, trace, sequence);
}

Promise<void> API::showCallCard(const Conversation &conversation, const MsgBuilder &trace)
{
    Promise<void> result;
    const Registration found = findRegistration(conversation, trace);
    found.onResolve([self = QPointer<API>(this), conversation, trace, result](const CallRegistration &registration) {
        if (self)
            self->showCallCardIfRecent(registration.callId(), conversation, trace).proxyTo(result);
        else
            result.resolve();
    });
    found.onReject([result](RegistrationFailedReason) { result.resolve(); });
    return result;
}

Promise<void> API::showCallCardIfRecent(const QString &crmCallId, const Conversation &conversation,
                                        const MsgBuilder &trace)
{
    if (m_endedCalls.contains(conversation.callId())) {
        qInfo().noquote() << child(trace, MsgBuilder::CallCardShow)
                                 .build(MsgBuilder::Warning,
                                        QStringLiteral("Don't show call card to user#%1 because the call has ended")
                                            .arg(conversation.internalNumber()));
        return resolved();
    }
    if (!conversation.isRecent(pbxNow())) {
        qInfo().noquote() << child(trace, MsgBuilder::CallCardShow)
                                 .build(MsgBuilder::Warning,
                                        QStringLiteral("Don't show call card to user#%1 because conversation is old")
                                            .arg(conversation.internalNumber()));
        return resolved();
    }
    return m_connector.showCallCard(crmCallId, conversation.internalNumber(), trace, cardGuard(conversation, trace));
}

Connector::SendGuard API::cardGuard(const Conversation &conversation, const MsgBuilder &trace)
{
    // The card may wait in the connector's queue behind other calls' requests, and its call may end or another
    // phone take it meanwhile: it is judged again when it would go. While the PBX link has not read its latest
    // records (it is starting), the card waits for it, a while at most.
    const QDeadlineTimer patience(kCardWaitForPbx);
    return [self = QPointer<API>(this), conversation, trace, patience]() {
        using Entities::LegOutlook;
        if (!self)
            return Connector::SendTurn::Skip;
        LegOutlook outlook = LegOutlook::Open;
        if (self->m_endedCalls.contains(conversation.callId()))
            outlook = LegOutlook::Ended;
        else if (self->m_legProbe)
            outlook = self->m_legProbe(conversation);
        QString why;
        switch (outlook) {
        case LegOutlook::Open:
            return Connector::SendTurn::Send;
        case LegOutlook::Unknown:
            if (!patience.hasExpired())
                return Connector::SendTurn::Wait;
            why = QStringLiteral("the PBX link cannot tell whether the call is still up");
            break;
        case LegOutlook::Ended:
            why = QStringLiteral("the call has ended");
            break;
        case LegOutlook::TakenElsewhere:
            why = QStringLiteral("another employee has answered the call");
            break;
        }
        const QString text =
            QStringLiteral("Don't show call card to user#%1 because %2").arg(conversation.internalNumber(), why);
        qInfo().noquote() << child(trace, MsgBuilder::CallCardShow).build(MsgBuilder::Warning, text);
        return Connector::SendTurn::Skip;
    };
}

Promise<void> API::hideCallCard(const Conversation &conversation, const MsgBuilder &trace)
{
    Promise<void> result;
    const Registration found = findRegistration(conversation, trace);
    found.onResolve([self = QPointer<API>(this), conversation, trace, result](const CallRegistration &registration) {
        if (self)
            self->m_connector.hideCallCard(registration.callId(), conversation.internalNumber(), trace).proxyTo(result);
        else
            result.resolve();
    });
    found.onReject([result](RegistrationFailedReason) { result.resolve(); });
    return result;
}

Promise<void> API::onConversationAcceptedTask(const Conversation &conversation, const MsgBuilder &trace)
{
    Promise<void> result;
    changeFacts(conversation.callId(), [&conversation](RegistrationLedger::CallFacts &facts) {
        if (!facts.accepted.contains(conversation.id()))
            facts.accepted.append(conversation.id());
    });
    const Registration found = findRegistration(conversation, trace);
    found.onReject([trace, result](RegistrationFailedReason) {
        qDebug().noquote() << child(trace, MsgBuilder::NoChildTask).build(MsgBuilder::Error,
                                                                          QStringLiteral("Registration Not Found"));
        result.resolve();
    });
    found.onResolve([self = QPointer<API>(this), conversation, trace, result](const CallRegistration &registration) {
        if (!self) {
            result.resolve();
            return;
        }
        const QString internalNumber = conversation.internalNumber();
        self->m_connector.findUserByPhoneCached(internalNumber, trace)
            .onResolve([self, conversation, registration, trace, result](const Entity &user) {
                if (!self || !self->wasEntityCreated(conversation.callId(), trace)) {
                    result.resolve();
                    return;
                }
                // The entity the call created goes to the employee who answered.
                const QJsonObject fields{{QStringLiteral("ASSIGNED_BY_ID"), user.id()}};
                self->updateBoundEntity(registration, fields, trace).proxyTo(result);
            })
            .onReject([internalNumber, trace, result]() {
                qDebug().noquote() << child(trace, MsgBuilder::EntitySearch)
                                          .build(MsgBuilder::Error,
                                                 QStringLiteral("User for phone number %1 not found in Bitrix24")
                                                     .arg(internalNumber));
                result.resolve();
            });
    });
    return result;
}

Promise<void> API::updateBoundEntity(const CallRegistration &registration, const QJsonObject &fields,
                                     const MsgBuilder &trace)
{
    Promise<void> result;
    const int id = registration.entityId();
    if (id < 1) {
        result.resolve();
        return result;
    }
    switch (registration.entityType()) {
    case EntityType::Lead:
        whenSettled(m_connector.updateLead(id, fields, child(trace, MsgBuilder::LeadUpdate)),
                    [result]() { result.resolve(); });
        break;
    case EntityType::Contact: {
        const int dealId = registration.dealId();
        m_connector.updateContact(id, fields, child(trace, MsgBuilder::ContactUpdate))
            .onResolve([self = QPointer<API>(this), dealId, fields, trace, result](const Entity &) {
                if (self && dealId >= 1)
                    self->m_connector.updateDeal(dealId, fields, child(trace, MsgBuilder::DealUpdate));
                result.resolve();
            })
            .onReject([result]() { result.resolve(); });
        break;
    }
    case EntityType::Deal:
        whenSettled(m_connector.updateDeal(id, fields, child(trace, MsgBuilder::DealUpdate)),
                    [result]() { result.resolve(); });
        break;
    default:
        result.resolve();
        break;
    }
    return result;
}

void API::deleteBoundEntity(const CallRegistration &registration, const MsgBuilder &trace)
{
    const int id = registration.entityId();
    switch (registration.entityType()) {
    case EntityType::Lead:
        if (id >= 1)
            m_connector.deleteLead(id, trace);
        break;
    case EntityType::Contact:
        if (id >= 1)
            m_connector.deleteContact(id, trace);
        if (registration.dealId() >= 1)
            m_connector.deleteDeal(registration.dealId(), trace);
        break;
    case EntityType::Deal:
        if (id >= 1)
            m_connector.deleteDeal(id, trace);
        break;
    default:
        break;
    }
}

// ---- Conversation end and finish ----

Promise<void> API::onConversationEndedTask(const Conversation &conversation, const MsgBuilder &trace)
{
    // A leg between two extensions is never registered and has no card; finishing the call's
    // registration with it would close the outside call as that internal leg.
    if (conversation.isLocal())
        return resolved();
    if (!conversation.wasAnswered()) {
        // The registration stays for a later leg or for the end of the call.
        return hideCallCard(conversation, trace);
    }
    if (!m_createNewActivityAtTransfer)
        return hideCallCard(conversation, trace);

    QString key;
    if (m_pendingRegistrations.contains(conversation.id()))
        key = conversation.id();
    else if (m_pendingRegistrations.contains(conversation.callId()))
        key = conversation.callId();
    if (key.isEmpty()) {
        // Finished before a stop, its end handed over again: nothing was lost.
        const QString text = trace.build(
            MsgBuilder::Warning, QStringLiteral("Conversation %1 was not register in CRM").arg(conversation.id()));
        if (m_ledger.facts(conversation.callId()).finished.contains(conversation.id()))
            qDebug().noquote() << text;
        else
            qWarning().noquote() << text;
        return resolved();
    }
    Promise<void> result;
    whenSettled(registerConversationEnd(key, conversation, trace), [result]() { result.resolve(); });
    return result;
}

Promise<int> API::registerConversationEnd(const QString &key, const Conversation &conversation, const MsgBuilder &trace)
{
    Promise<int> result;
    const MsgBuilder line = child(trace, MsgBuilder::ConversationEndRegister);
    result.onResolve([line](int activityId) {
        qInfo().noquote() << line.build(MsgBuilder::Ok,
                                        QStringLiteral("The end of conversation was registered. ACTIVITY_ID:%1").arg(activityId));
    });
    result.onReject([self = QPointer<API>(this), callId = conversation.callId(), line]() {
        qInfo().noquote() << line.build(MsgBuilder::Error, QStringLiteral("Failed to register conversation end."));
        if (self)
            self->m_unfinishedCalls.insert(callId);
    });

    if (conversation.isUnknown()) {
        qInfo().noquote() << line.build(MsgBuilder::Error,
                                        QStringLiteral("Conversation is invalid: %1").arg(conversation.toJsonString()));
        dropPending(key);
        result.reject();
        return result;
    }
    if (!m_pendingRegistrations.contains(key)) {
        qInfo().noquote() << line.build(MsgBuilder::Error, QStringLiteral("Registration was not found for %1").arg(key));
        result.reject();
        return result;
    }
    // Out of the table before anything is sent: a registration is finished at most once. Its saved copy
    // stays until the finish's answer, marked as finishing, so a restart can still send it.
    const Registration registration = m_pendingRegistrations.take(key);
    registration.onReject([key, line, result](RegistrationFailedReason) {
        qDebug().noquote() << line.build(MsgBuilder::Error, QStringLiteral("Registration Is Invalid for [%1]").arg(key));
        result.reject();
    });
    registration.onResolve([self = QPointer<API>(this), key, conversation, line, result](const CallRegistration &g) {
        if (!self) {
            result.reject();
            return;
        }
        // The same CRM call may be filed under a leg and under its call: one finish serves both.
        const std::optional<Promise<int>> earlier = self->m_ledger.finishOnItsWay(conversation.callId(), g.callId());
        if (earlier) {
            const Promise<int> first = *earlier;
            first.onResolve([result](int activityId) { result.resolve(activityId); });
            first.onReject([self, key, g, conversation, line, result]() {
                // Kept for the next start of the link, which finishes the CRM call once. A member of a queue
                // that rang out never finishes the CRM call its colleague's finish left open: that would
                // close a served customer's call as missed.
                const bool ownFinish = conversation.wasAnswered() || key == conversation.callId();
                if (self && !self->m_ledger.isKept(g.callId()) && ownFinish)
                    self->finishRegistration(key, g, conversation, line, result);
                else
                    result.reject();
            });
            return;
        }
        self->finishRegistration(key, g, conversation, line, result);
    });
    return result;
}

void API::finishRegistration(const QString &key, const CallRegistration &registration, const Conversation &conversation,
                             const MsgBuilder &trace, Promise<int> result)
{
    m_ledger.finishing(key, registration, m_ledger.facts(conversation.callId()).entityCreated, conversation, result);
    result.onReject([self = QPointer<API>(this), key, crmCallId = registration.callId()]() {
        if (self && self->m_ledger.abandon(key, crmCallId))
            self->forgetRecording(crmCallId);
    });
    if (!conversation.wasAnswered() && !conversation.isOutgoing()) {
        // A missed incoming leg: the employee responsible for the caller's entity closes it.
        if (registration.entityId() < 1 || !Connector::isRegistrableEntityType(registration.entityType())) {
            // No record to bind the task to: the caller's number and the time are what the employee
            // calls back with; a withheld number gives nothing to call back.
            if (m_createTaskForUnanswered && !Connector::isWithheldNumber(conversation.externalNumber()))
                m_connector.createCallBackTask(conversation.externalNumber(), conversation.startedAt(), trace);
            sendFinish(registration, 0, conversation, trace, result);
            return;
        }
        m_connector.getEntity(registration.entityType(), registration.entityId(), false, trace)
            .onResolve([self = QPointer<API>(this), registration, conversation, trace, result](const Entity &entity) {
                if (!self) {
                    result.reject();
                    return;
                }
                if (self->m_createTaskForUnanswered)
                    self->m_connector.createTask(entity, trace);
                self->sendFinish(registration, entity.responsibleId(), conversation, trace, result);
            })
            .onReject([self = QPointer<API>(this), registration, conversation, trace, result]() {
                if (self)
                    self->sendFinish(registration, 0, conversation, trace, result);
                else
                    result.reject();
            });
        return;
    }

    findFinishingUser(conversation.internalNumber(), trace)
        .onResolve([self = QPointer<API>(this), key, registration, conversation, trace, result](const Entity &user) {
            if (!self) {
                result.reject();
                return;
            }
            Entities::TelephonyEventLogHandler::instance()->addEvent(
                key, QStringLiteral("User: {Id: %1, Name: %2}").arg(QString::number(user.id()), user.name()));
            self->sendFinish(registration, user.id(), conversation, trace, result);
        })
        .onReject([self = QPointer<API>(this), key, registration, conversation, trace, result]() {
            Entities::TelephonyEventLogHandler::instance()->addEvent(key, QStringLiteral("User not found"));
            qDebug().noquote() << trace.build(MsgBuilder::Warning, QStringLiteral("User wasn't found for call [%1]").arg(key));
            // An extension without a CRM user still ends the call, for the default user: left unfinished,
            // the call would stay open in the CRM for ever.
            if (self)
                self->sendFinish(registration, 0, conversation, trace, result);
            else
                result.reject();
        });
}

Promise<Entity> API::findFinishingUser(const QString &phone, const MsgBuilder &trace)
{
    // The connector sends a look-up that got no answer or a server error again; a look-up that failed for
    // good says nothing of who answered, and the default user gets the call.
    Promise<Entity> result;
    m_connector.searchUserCached(phone, trace)
        .onResolve([result](const Entity &user) { result.resolve(user); })
        .onReject([phone, trace, result](bool failed) {
            if (failed) {
                qWarning().noquote() << trace.build(MsgBuilder::Warning,
                                                    QStringLiteral("User look-up for %1 failed").arg(phone));
            }
            result.reject();
        });
    return result;
}

void API::sendFinish(const CallRegistration &registration, int userId, const Conversation &conversation,
                     const MsgBuilder &trace, Promise<int> result)
{
    const QString callId = conversation.callId();
    const RegistrationLedger::CallFacts facts = m_ledger.facts(callId);
    const CallRegistration bound = facts.bound;
    const QJsonObject entityData{
        {QStringLiteral("was_created"), facts.entityCreated},
        {QStringLiteral("entity_id"), bound.entityId()},
        {QStringLiteral("entity_type"), Entity::typeToString(bound.entityType())},
    };
    const QString crmCallId = registration.callId();
    // The leg's finish went through, or may have: the lead the call made is never deleted for it.
    const auto noteFinished = [callId, legId = conversation.id()](API *api) {
        api->changeFacts(callId, [&legId](RegistrationLedger::CallFacts &facts) {
            if (!facts.finished.contains(legId))
                facts.finished.append(legId);
        });
    };
    m_connector.finishCall(crmCallId, userId, conversation, m_postLeadInfoToChat, entityData, trace)
        .onResolve([self = QPointer<API>(this), callId, crmCallId, conversation, trace, result,
                    noteFinished](const CallRegistration &finish) {
            if (!self) {
                result.resolve(finish.activityId());
                return;
            }
            // Saved with it: a kill before the call's end leaves the lead it binds.
            noteFinished(self);
            // The answer names the activity a link goes into; stored before the saved finish goes, so a
            // restart during the activity's update still attaches the recording.
            self->m_ledger.oweRecording(finish, conversation);
            // Sent again after a restart: the call may have ended long ago, and the PBX link may not be up yet.
            const bool resent = self->m_ledger.done(callId, crmCallId);
            whenSettled(self->customUpdateActivity(finish.activityId(), conversation, trace),
                        [self, finish, conversation, trace, result, resent]() {
                            if (!self) {
                                result.resolve(finish.activityId());
                                return;
                            }
                            if (resent && !self->m_pbxStarted) {
                                // Left to attachOwedRecordings, once the PBX link can say where the file is.
                                self->m_ledger.putDown(finish.callId());
                                result.resolve(finish.activityId());
                                return;
                            }
                            const RegistrationStore::Upload upload =
                                self->m_ledger.owed(finish.callId(), {finish, conversation, QDateTime()});
                            const bool ending = self->m_endingCalls.contains(conversation.callId());
                            whenSettled(self->sendRecording(upload, trace, !ending && !resent),
                                        [finish, result]() { result.resolve(finish.activityId()); });
                        });
        })
        .onReject([self = QPointer<API>(this), callId, crmCallId, trace, result,
                   noteFinished](RegistrationFailedReason reason) {
            // Nothing is undone for it: the CRM call stays open, the records bound to it stay as they are.
            if (reason == RegistrationFailedReason::Failed) {
                qWarning().noquote() << trace.build(
                    MsgBuilder::Error,
                    QStringLiteral("Failed to finish CRM call [%1] of call [%2]; it stays open in the CRM")
                        .arg(crmCallId, callId));
            } else if (reason == RegistrationFailedReason::Uncertain) {
                qWarning().noquote() << trace.build(
                    MsgBuilder::Error,
                    QStringLiteral("The finish of CRM call [%1] of call [%2] went unanswered and was then refused; "
                                   "it may have gone through, so nothing bound to it is deleted")
                        .arg(crmCallId, callId));
            } else if (reason == RegistrationFailedReason::Unreachable && self) {
                self->keepFinish(callId, crmCallId, trace);
            }
            // A try went unanswered, or the finish goes again later: the call may well be closed, with the
            // records it binds.
            const bool outcomeOpen =
                reason == RegistrationFailedReason::Uncertain || reason == RegistrationFailedReason::Unreachable;
            // Saved now: a finish sent again at a start is no kept event, whose end would save it soon.
            if (self && outcomeOpen) {
                noteFinished(self);
                self->m_journal.write();
            }
            result.reject();
        });
}

Promise<void> API::customUpdateActivity(int activityId, const Conversation &conversation, const MsgBuilder &trace)
{
    Promise<void> result;
    const QJsonObject sent = conversation.toJson();
    Promise<QJsonObject, QString> fields;
    const MsgBuilder line = child(trace, MsgBuilder::ActivityUpdate);
    fields.onResolve([self = QPointer<API>(this), activityId, sent, line, result](const QJsonObject &answer) {
        // A hook that is off answers with what it was given: that is no set of activity fields.
        if (!self || answer.isEmpty() || answer == sent || activityId < 1) {
            result.resolve();
            return;
        }
        whenSettled(self->m_connector.updateActivity(activityId, answer, line), [result]() { result.resolve(); });
    });
    fields.onReject([line, result](const QString &error) {
        qDebug().noquote() << line.build(MsgBuilder::Error,
                                         QStringLiteral("Failed to get customized activity fields: [%1]").arg(error));
        result.resolve();
    });
    Q_EMIT activityFieldsCustomizationRequest(sent, fields);
    return result;
}

// ---- Call end and transfer ----

Promise<void> API::onCallEndedTask(const Call &call, const MsgBuilder &trace, quint64 sequence)
{
    // From now on a recording not found will not be found later.
    m_endingCalls.insert(call.id());
    QList<Promise<int>> finishes;
    for (const Conversation &conversation : call.conversations()) {
        if (!m_pendingRegistrations.contains(conversation.id()) || conversation.isLocal())
            continue;
        if (!conversation.wasAnswered() && wasTransferredWhenKept(sequence, conversation, trace)
            && !m_createNewActivityAtTransfer) {
            // It showed the card of the call's own registration, which the call's finish closes.
            dropPending(conversation.id());
            continue;
        }
        // With a new activity per transfer, every leg registered on its own is closed once, rung out or not:
        // a dropped one would stay an open call in the CRM for ever.
        finishes.append(registerConversationEnd(conversation.id(), conversation, trace));
    }

    Promise<void> result;
    const QString callId = call.id();
    result.onResolve([self = QPointer<API>(this), call, trace]() {
        // Y only when every finish the call needed went through.
        bool finished = true;
        if (self) {
            self->m_endingCalls.remove(call.id());
            finished = !self->m_unfinishedCalls.remove(call.id());
        }
        const auto log = Entities::TelephonyEventLogHandler::instance();
        qInfo().noquote() << trace.build(finished ? MsgBuilder::Yes : MsgBuilder::No, log->callSummary(call));
        log->removeEvents(call.id());
    });
    Promise<void>::all(finishes).onResolve([self = QPointer<API>(this), call, trace, result]() {
        if (!self) {
            result.resolve();
            return;
        }
        self->attachMissingRecordings(call.id(), trace).onResolve([self, call, trace, result]() {
            if (!self) {
                result.resolve();
                return;
            }
            if (!self->m_pendingRegistrations.contains(call.id())) {
                self->updateAndClearAll(call, trace);
                result.resolve();
                return;
            }
            self->registerCallEnd(call, trace)
                .onResolve([self, call, trace, result](int) {
                    if (self)
                        self->updateAndClearAll(call, trace);
                    result.resolve();
                })
                .onReject([self, call, trace, result]() {
                    if (self)
                        self->clearCallData(call, trace);
                    result.resolve();
                });
        });
    });
    return result;
}

Promise<int> API::registerCallEnd(const Call &call, const MsgBuilder &trace)
{
    const Conversation conversation =
        m_createNewActivityAtTransfer ? call.lastConversation() : call.mainConversation();
    return registerConversationEnd(call.id(), conversation, trace);
}

void API::updateAndClearAll(const Call &call, const MsgBuilder &trace)
{
    whenSettled(customUpdateLead(call, trace), [self = QPointer<API>(this), call, trace]() {
        if (self)
            self->clearCallData(call, trace);
    });
}

Promise<void> API::customUpdateLead(const Call &call, const MsgBuilder &trace)
{
    if (!wasEntityCreated(call.id(), trace))
        return resolved();
    QJsonObject sent = call.toJson();
    if (m_roistatData.contains(call.id()))
        sent.insert(QStringLiteral("roistat"), m_roistatData.take(call.id()));

    Promise<void> result;
    Promise<QJsonObject, QString> fields;
    const MsgBuilder line = child(trace, MsgBuilder::LeadUpdate);
    const CallRegistration registration = m_ledger.facts(call.id()).bound;
    fields.onResolve([self = QPointer<API>(this), registration, sent, line, result](const QJsonObject &answer) {
        // A hook that is off answers with what it was given: that is no set of fields.
        if (!self || answer.isEmpty() || answer == sent) {
            result.resolve();
            return;
        }
        self->updateBoundEntity(registration, answer, line).proxyTo(result);
    });
    fields.onReject([line, result](const QString &error) {
        qDebug().noquote() << line.build(MsgBuilder::Error,
                                         QStringLiteral("Failed to get customized lead fields: [%1]").arg(error));
        result.resolve();
    });
    Q_EMIT leadFieldsCustomizationRequest(sent, fields);
    return result;
}

void API::clearCallData(const Call &call, const MsgBuilder &trace)
{
    const QString callId = call.id();
    // Only a lead that the CRM made while registering the call goes again when no finish of the call was
    // confirmed; a record we added ourselves stays, whatever became of the finish.
    const RegistrationLedger::CallFacts facts = m_ledger.facts(callId);
    if (facts.bound.isLeadCreated() && facts.finished.isEmpty())
        deleteBoundEntity(facts.bound, trace);

    m_endedCalls.remove(callId);
    m_newEntityCalls.remove(callId);
    m_roistatData.remove(callId);
    m_ledger.forgetCall(callId);
    if (call.isOutgoing())
        m_rememberedCalls.remove(m_connector.phoneWithoutPrefixes(call.to()));

    // Nothing later can finish what the call left open, but for a finish kept for the next start of the link;
    // lines filed under its legs would stay for ever.
    QStringList keys{callId};
    const auto log = Entities::TelephonyEventLogHandler::instance();
    for (const Conversation &conversation : call.conversations()) {
        keys.append(conversation.id());
        log->removeEvents(conversation.id());
    }
    for (const QString &key : qAsConst(keys))
        m_pendingRegistrations.remove(key);
    // A transfer may have been reported under a leg's id.
    m_ledger.forgetFacts(keys);
    m_ledger.leave(keys);
}

Promise<void> API::onCallTransferredTask(const QString &callId, const MsgBuilder &trace)
{
    qDebug().noquote() << trace.build(MsgBuilder::Ok, QStringLiteral("Call transferred  %1").arg(callId));
    // Reported under the transferring leg's id as well; the stages read the facts of a call by its own id only,
    // and a leg's would cost a rewrite of the file for nothing.
    if (!m_ledger.isAnsweredLeg(callId))
        changeFacts(callId, [](RegistrationLedger::CallFacts &facts) { facts.transferred = true; });
    return resolved();
}

} // namespace Orvix::CRM::Bitrix
