// Calls in the CRM's telephony: registration, call cards and finish.

#include "crm/bitrix/connector.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/telephonyeventloghandler.h"

#include <QDebug>
#include <QJsonArray>
#include <QPointer>

#include <algorithm>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

using RegistrationPromise = Utils::Promise<CallRegistration, RegistrationFailedReason>;

inline constexpr QLatin1String kDealId("deal_id");

QString ownerCallId(const Entities::Call &call)
{
    return call.id();
}

// The portal takes a register repeated within 30 minutes with the same number, type, user, line and
// external id for the call it already has. Each registration carries an id of its own physical call: two
// calls from one number at once stay two CRM calls, and a register sent again returns the same call.
QString externalCallId(const Entities::Call &call)
{
    return call.id();
}

QString externalCallId(const Entities::Conversation &conversation)
{
    return conversation.id();
}

// A conversation's events and new records are filed under the call it belongs to: that is where the call
// flow looks for them.
QString ownerCallId(const Entities::Conversation &conversation)
{
    return conversation.callId();
}

void addEvent(const QString &callId, const QString &line)
{
    Entities::TelephonyEventLogHandler::instance()->addEvent(callId, line);
}

QString entityEvent(const QString &type, int id, const QString &name)
{
    return QStringLiteral("Entity: {Type: %1, Id: %2, Name: %3}").arg(type).arg(id).arg(name);
}

QString notCreatedEvent(const QString &type)
{
    return QStringLiteral("Entity: {Type: %1, Status: hasn't been created}").arg(type);
}

QString notCreated(const QString &what, const QString &direction)
{
    return QStringLiteral("%1 for %2 call hasn't been created (according to business logic settings)")
        .arg(what, direction);
}

} // namespace

template <typename CallOrConversation>
Utils::Promise<QJsonObject> Connector::makeRegistrationParams(bool createEntity, bool createDeal,
                                                              const CallOrConversation &call,
                                                              const CRM::Entity &user, const MsgBuilder &msg)
{
    Utils::Promise<QJsonObject> result;
    NewRecord record;
    record.callId = ownerCallId(call);
    record.direction = call.type();
    record.userId = user.id() != 0 ? user.id() : m_defaultUserId;
    record.source = m_trunkToSource.value(call.trunk());
    record.createEntity = createEntity;
    record.createDeal = createDeal;

    QJsonObject params{
        {QStringLiteral("USER_ID"), record.userId},
        {QStringLiteral("TYPE"), record.direction == Entities::CallType::Incoming ? 2 : 1},
        {QStringLiteral("CALL_START_DATE"), call.startedAt().toUTC().toString(Qt::ISODate)},
        // The card is shown by requests of its own, to the users whose phones ring.
        {QStringLiteral("SHOW"), 0},
        {QStringLiteral("call"), call.toJson()},
        {QStringLiteral("user"), user.toJson()},
        {QStringLiteral("CRM_SOURCE"), record.source},
        {QStringLiteral("EXTERNAL_CALL_ID"), externalCallId(call)},
    };
    if (!record.source.isEmpty() && m_useExternalLines)
        params.insert(QStringLiteral("LINE_NUMBER"), call.trunk());

    const QPointer<Connector> self(this);
    if (isWithheldNumber(call.externalNumber())) {
        // Nobody to find or to add a record for: a search by this number would find whoever it fits. The
        // administrator's search hook still says whether the call is registered at all.
        params.insert(QStringLiteral("PHONE_NUMBER"), kWithheldCallerNumber);
        const QString number = call.externalNumber();
        customizeSearchParams(params, msg).onResolve([self, params, number, msg, result](const QJsonObject &answer) {
            if (!self)
                return result.reject();
            // Refused as any call is, before a search.
            if (answer.value(QLatin1String("action")).toString() == QLatin1String("ignore"))
                return self->searchRegistrationEntity(answer, {}, msg, result);
            QJsonObject withheld = params;
            withheld.remove(QStringLiteral("call"));
            withheld.remove(QStringLiteral("user"));
            withheld.insert(QStringLiteral("CRM_CREATE"), 0);
            qInfo().noquote() << msg.build(MsgBuilder::Ok, QStringLiteral("The caller's number [%1] is withheld: the "
                                                                          "call is registered under %2, bound to no "
                                                                          "record")
                                                               .arg(number, kWithheldCallerNumber));
            result.resolve(withheld);
        });
        return result;
    }
    customizePhone(call.externalNumber(), msg).onResolve([self, params, record, msg, result](const QString &phone) {
        if (!self)
            return result.reject();
        QJsonObject withPhone = params;
        withPhone.insert(QStringLiteral("PHONE_NUMBER"), phone);
        self->customizeSearchParams(withPhone, msg).onResolve([self, record, msg, result](const QJsonObject &answer) {
            if (self)
                self->searchRegistrationEntity(answer, record, msg, result);
            else
                result.reject();
        });
    });
    return result;
}

bool Connector::isWithheldNumber(const QString &number)
{
    return std::none_of(number.cbegin(), number.cend(), [](QChar c) { return c.isDigit(); });
}

void Connector::searchRegistrationEntity(QJsonObject params, const NewRecord &record, const MsgBuilder &msg,
                                         const Utils::Promise<QJsonObject> &result)
{
    if (params.value(QLatin1String("action")).toString() == QLatin1String("ignore")) {
        qWarning().noquote() << msg.build(
            MsgBuilder::Warning, QStringLiteral("Do not register conversation because of customization response"));
        result.reject();
        return;
    }
    // Between the system and the customization script only: the portal never sees them.
    params.remove(QStringLiteral("call"));
    params.remove(QStringLiteral("user"));
    params.remove(QStringLiteral("action"));
    const QJsonObject filter = params.take(QStringLiteral("filter")).toObject();
    // The script may have changed the number to search for.
    const QString phone = params.value(QLatin1String("PHONE_NUMBER")).toString();

    MsgBuilder search = msg;
    search.setChildTask(MsgBuilder::EntitySearch);
    const QPointer<Connector> self(this);
    findEntityForRegistration(phone, filter, search)
        .onResolve([self, params, record, msg, result](const CRM::Entity &entity) {
            if (self)
                self->attachFoundEntity(params, entity, record, msg, result);
            else
                result.reject();
        })
        .onReject([self, params, record, msg, result]() {
            if (self)
                self->attachNewEntity(params, record, msg, result);
            else
                result.reject();
        });
}

void Connector::attachFoundEntity(QJsonObject params, const CRM::Entity &entity, const NewRecord &record,
                                  const MsgBuilder &msg, const Utils::Promise<QJsonObject> &result)
{
    const QString phone = params.value(QLatin1String("PHONE_NUMBER")).toString();
    if (entity.type() == EntityType::User) {
        // A call from or to an employee's own number is no client's call.
        qInfo().noquote() << msg.build(
            MsgBuilder::Warning,
            QStringLiteral("Don't register the call because number [%1] belongs to user [%2]")
                .arg(phone)
                .arg(entity.id()));
        result.reject();
        return;
    }
    if (!isRegistrableEntityType(entity.type())) {
        qInfo().noquote() << msg.build(
            MsgBuilder::Warning,
            QStringLiteral("Don't register the call because an unusual entity [%1] was found for the number [%2]")
                .arg(entity.toString(), phone));
        result.reject();
        return;
    }
    addEntityToRegistrationParams(params, entity, msg);
    addEvent(record.callId, entityEvent(entity.typeToString(), entity.id(),
                                        entity.type() == EntityType::Contact ? entity.name() : entity.title()));
    result.resolve(params);
}

void Connector::attachNewEntity(QJsonObject params, const NewRecord &record, const MsgBuilder &msg,
                                const Utils::Promise<QJsonObject> &result)
{
    MsgBuilder add = msg;
    add.setChildTask(MsgBuilder::EntityAdd);
    const QString direction = Entities::callTypeToString(record.direction);
    if (!record.createEntity) {
        qDebug().noquote() << add.build(MsgBuilder::No, notCreated(QStringLiteral("Entity"), direction));
        params.insert(QStringLiteral("CRM_CREATE"), 0);
        result.resolve(params);
        return;
    }

    const QString phone = params.value(QLatin1String("PHONE_NUMBER")).toString();
    const QPointer<Connector> self(this);
    if (!m_noLeadMode) {
        createLead(phone, record.direction, record.source, record.userId, add)
            .onResolve([self, params, record, add, result](const CRM::Entity &lead) {
                addEvent(record.callId, entityEvent(QStringLiteral("lead"), lead.id(), lead.title()));
                if (!self)
                    return result.reject();
                Q_EMIT self->newEntityWasCreated(record.callId);
                QJsonObject withLead = params;
                self->addEntityToRegistrationParams(withLead, lead, add);
                result.resolve(withLead);
            })
            .onReject([params, record, add, direction, result]() {
                // The call is registered all the same, without a record of its own.
                addEvent(record.callId, notCreatedEvent(QStringLiteral("lead")));
                qDebug().noquote() << add.build(MsgBuilder::No, notCreated(QStringLiteral("Lead"), direction));
                result.resolve(params);
            });
        return;
    }

    createContact(phone, record.source, record.userId, add)
        .onResolve([self, params, record, add, direction, phone, result](const CRM::Entity &contact) {
            addEvent(record.callId, entityEvent(QStringLiteral("contact"), contact.id(), contact.name()));
            if (!self)
                return result.reject();
            Q_EMIT self->newEntityWasCreated(record.callId);
            QJsonObject withContact = params;
            self->addEntityToRegistrationParams(withContact, contact, add);
            const auto noDeal = [record, add, direction, result, withContact]() {
                addEvent(record.callId, notCreatedEvent(QStringLiteral("deal")));
                qDebug().noquote() << add.build(MsgBuilder::No, notCreated(QStringLiteral("Deal"), direction));
                result.resolve(withContact);
            };
            if (!record.createDeal)
                return noDeal();
            self->createDeal(phone, record.direction, record.source, contact.id(), record.userId, add)
                .onResolve([record, result, withContact](const CRM::Entity &deal) {
                    QJsonObject withDeal = withContact;
                    withDeal.insert(QStringLiteral("deal_id"), deal.id());
                    addEvent(record.callId, entityEvent(QStringLiteral("deal"), deal.id(), deal.title()));
                    result.resolve(withDeal);
                })
                .onReject(noDeal);
        })
        .onReject([params, record, add, direction, result]() {
            addEvent(record.callId, notCreatedEvent(QStringLiteral("contact")));
            addEvent(record.callId, notCreatedEvent(QStringLiteral("deal")));
            qDebug().noquote() << add.build(MsgBuilder::No, notCreated(QStringLiteral("Contact & Deal"), direction));
            result.resolve(params);
        });
}

Utils::Promise<CRM::Entity> Connector::findEntityForRegistration(const QString &phone, const QJsonObject &filter,
                                                                 const MsgBuilder &msg)
{
    return findEntityByPhone(phone, filter, msg);
}

RegistrationPromise Connector::oneAtATime(const QString &number, const std::function<RegistrationPromise()> &work)
{
    // Keyed as the search matches numbers: the written forms of one number (with or without a prefix) find,
    // or make, one record.
    const QString key = phoneVariants(number).value(0);
    if (key.isEmpty())
        return work();
    Utils::Promise<void> before;
    const auto earlier = m_numberTurns.constFind(key);
    if (earlier != m_numberTurns.constEnd())
        before = earlier->second;
    else
        before.resolve();
    const quint64 turn = ++m_lastNumberTurn;
    const Utils::Promise<void> mine;
    m_numberTurns.insert(key, qMakePair(turn, mine));
    RegistrationPromise result;
    const QPointer<Connector> self(this);
    const auto done = [self, key, turn, mine]() {
        if (self && self->m_numberTurns.value(key).first == turn)
            self->m_numberTurns.remove(key);
        mine.resolve();
    };
    before.onResolve([self, work, result, done]() {
        if (!self) {
            result.reject(RegistrationFailedReason::Failed);
            return done();
        }
        work()
            .onResolve([result, done](const CallRegistration &registration) {
                done();
                result.resolve(registration);
            })
            .onReject([result, done](RegistrationFailedReason reason) {
                done();
                result.reject(reason);
            });
    });
    return result;
}

template <typename CallOrConversation>
RegistrationPromise Connector::registerOnce(bool createEntity, bool createDeal, const CallOrConversation &call,
                                            const CRM::Entity &user, const MsgBuilder &msg, const RegisterMemo &memo,
                                            bool keepDealId)
{
    const QPointer<Connector> self(this);
    return oneAtATime(call.externalNumber(), [self, createEntity, createDeal, call, user, msg, memo, keepDealId]() {
        RegistrationPromise result;
        if (!self) {
            result.reject(RegistrationFailedReason::Failed);
        } else if (!memo.sent.isEmpty()) {
            self->sendRegistration(memo.sent, keepDealId, msg, result);
        } else {
            self->makeRegistrationParams(createEntity, createDeal, call, user, msg)
                .onResolve([self, msg, memo, keepDealId, result](const QJsonObject &params) {
                    if (!self)
                        return result.reject(RegistrationFailedReason::Failed);
                    if (memo.sending)
                        memo.sending(params);
                    self->sendRegistration(params, keepDealId, msg, result);
                })
                .onReject([result]() { result.reject(RegistrationFailedReason::Failed); });
        }
        return result;
    });
}

RegistrationPromise Connector::registerCall(bool createEntity, bool createDeal, const Entities::Call &call,
                                            const CRM::Entity &user, const MsgBuilder &msg, const RegisterMemo &memo)
{
    return registerOnce(createEntity, createDeal, call, user, msg, memo, true);
}

RegistrationPromise Connector::registerConversation(bool createEntity, bool createDeal,
                                                    const Entities::Conversation &conversation,
                                                    const CRM::Entity &user, const MsgBuilder &msg,
                                                    const RegisterMemo &memo)
{
    return registerOnce(createEntity, createDeal, conversation, user, msg, memo, false);
}

void Connector::sendRegistration(QJsonObject params, bool keepDealId, const MsgBuilder &msg,
                                 const RegistrationPromise &result)
{
    int dealId = 0;
    // The deal created for a new contact belongs to the call's record, not to the portal's register
    // method; a conversation's registration passes it on to the portal.
    if (keepDealId && params.contains(kDealId)) {
        dealId = params.value(kDealId).toInt(0);
        params.remove(kDealId);
    }
    run(QStringLiteral("telephony.externalcall.register"), params, HttpClient::Request::Post, msg)
        .onResolve([result, dealId](const QJsonValue &value) {
            CallRegistration registration(value.toObject());
            registration.setDealId(dealId);
            result.resolve(registration);
        })
        .onReject([result]() { result.reject(RegistrationFailedReason::Failed); });
}

void Connector::sendFinish(QJsonObject params, const MsgBuilder &msg, const RegistrationPromise &result)
{
    const QString action = params.value(QLatin1String("action")).toString();
    // These are for the customizer only.
    params.remove(QStringLiteral("action"));
    params.remove(QStringLiteral("conversation"));
    params.remove(QStringLiteral("entity_data"));

    const QPointer<Connector> self(this);
    const QString callId = params.value(QLatin1String("CALL_ID")).toString();
    // Once a finish is made, only the action of the customization is left to apply.
    const auto finished = [self, result, action, msg](const CallRegistration &registration) {
        if (action == QLatin1String("delete")) {
            if (self)
                self->deleteActivity(registration.activityId(), msg);
            result.reject(RegistrationFailedReason::ActivityDeleted);
            return;
        }
        result.resolve(registration);
    };
    runWithReason(QStringLiteral("telephony.externalcall.finish"), params, HttpClient::Request::Get, msg)
        .onResolve([self, callId, finished, msg](const QJsonValue &value) {
            const QJsonObject answer = value.toObject();
            if (!answer.value(kAlreadyFinished).toBool() || !self)
                return finished(CallRegistration(answer));
            // Its answer was lost: the activity it made is what the recording link and the activity's
            // customization need.
            self->findCallActivity(callId, msg).onResolve([answer, finished](int activityId) {
                QJsonObject completed = answer;
                completed.insert(QStringLiteral("CRM_ACTIVITY_ID"), activityId);
                finished(CallRegistration(completed));
            });
        })
        .onReject([self, callId, finished, result, msg](const RequestFailure &failure) {
            const auto failed = [result, msg, failure]() {
                qWarning().noquote() << msg.build(MsgBuilder::Warning, QStringLiteral("Failed to finish registration"));
                // A try that went unanswered may have closed the call: nothing bound to it is to be undone. One
                // that never got its answer may be sent again later.
                if (failure.kind == RequestFailure::Unreachable)
                    result.reject(RegistrationFailedReason::Unreachable);
                else
                    result.reject(failure.mayHaveBeenDone ? RegistrationFailedReason::Uncertain
                                                          : RegistrationFailedReason::Failed);
            };
            if (failure.kind != RequestFailure::Refused || !self)
                return failed();
            // The portal words the refusal of a call it closed already in its own language; the activity
            // that only a finish makes tells whether an earlier try (in this run or before a restart) did.
            self->findCallActivity(callId, msg).onResolve([callId, finished, failed, msg](int activityId) {
                if (activityId < 1)
                    return failed();
                qInfo().noquote() << msg.build(MsgBuilder::Ok,
                                               QStringLiteral("The call %1 was already finished").arg(callId));
                finished(CallRegistration(QJsonObject{{QStringLiteral("CALL_ID"), callId},
                                                      {QStringLiteral("CRM_ACTIVITY_ID"), activityId}}));
            });
        });
}

Utils::Promise<int> Connector::findCallActivity(const QString &callId, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::ActivityList);
    // The platform files the activity of an external call under the origin "VI_" plus the call's id.
    const QJsonObject params{
        {QStringLiteral("filter"), QJsonObject{{QStringLiteral("ORIGIN_ID"), QStringLiteral("VI_") + callId}}},
        {QStringLiteral("select"), QJsonArray{"ID"}}};
    Utils::Promise<int> result;
    run(QStringLiteral("crm.activity.list"), params, HttpClient::Request::Get, trace)
        .onResolve([result](const QJsonValue &value) {
            result.resolve(value.toArray().at(0).toObject().value(QLatin1String("ID")).toVariant().toInt());
        })
        .onReject([result]() { result.resolve(0); });
    return result;
}

RegistrationPromise Connector::finishCall(const QString &callId, int userId, const Entities::Conversation &conversation,
                                          bool addToChat, const QJsonObject &entityData, const MsgBuilder &msg)
{
    const QJsonObject params{
        {QStringLiteral("CALL_ID"), callId},
        {QStringLiteral("DURATION"), conversation.talkDuration()},
        {QStringLiteral("STATUS_CODE"), conversation.wasAnswered() ? 200 : 304},
        {QStringLiteral("ADD_TO_CHAT"), addToChat ? 1 : 0},
        {QStringLiteral("USER_ID"), userId < 1 ? m_defaultUserId : userId},
        {QStringLiteral("conversation"), conversation.toJson()},
        {QStringLiteral("entity_data"), entityData},
    };
    // The finish closes the call's cards in the CRM; kept, its users would stay here for the life of the service.
    m_shownUsers.remove(callId);
    m_withheldCards.remove(callId);
    RegistrationPromise result;
    const QPointer<Connector> self(this);
    // The customization resolves with the parameters unchanged when it is refused.
    customizeFinalParams(params, msg).onResolve([self, msg, result](const QJsonObject &customized) {
        if (self)
            self->sendFinish(customized, msg, result);
        else
            result.reject(RegistrationFailedReason::Failed);
    });
    return result;
}

Utils::Promise<void> Connector::sendCallCard(const QString &method, const QString &callId, const QJsonValue &userIds,
                                             const MsgBuilder &msg, const SendGuard &guard)
{
    const QJsonObject params{{QStringLiteral("CALL_ID"), callId}, {QStringLiteral("USER_ID"), userIds}};
    return runExpectingTrue(method, params, HttpClient::Request::Get, msg, guard);
}

Utils::Promise<void> Connector::showCallCard(const QString &callId, int userId, const MsgBuilder &msg,
                                             const SendGuard &guard)
{
    if (userId < 1) {
        Utils::Promise<void> result;
        result.reject();
        return result;
    }
    m_shownUsers[callId].insert(userId);
    MsgBuilder show = msg;
    show.setChildTask(MsgBuilder::CallCardShow);
    SendGuard judged;
    if (guard) {
        judged = [self = QPointer<Connector>(this), callId, userId, guard]() {
            const SendTurn turn = guard();
            if (!self || turn == SendTurn::Wait)
                return turn;
            if (turn == SendTurn::Send) {
                const auto withheld = self->m_withheldCards.find(callId);
                if (withheld != self->m_withheldCards.end())
                    withheld->remove(userId);
            } else {
                self->m_withheldCards[callId].insert(userId);
                self->m_shownUsers[callId].remove(userId);
            }
            return turn;
        };
    }
    return sendCallCard(QStringLiteral("telephony.externalcall.show"), callId, userId, show, judged);
}

Utils::Promise<void> Connector::hideCallCard(const QString &callId, int userId, const MsgBuilder &msg)
{
    if (userId < 1) {
        Utils::Promise<void> result;
        result.reject();
        return result;
    }
    const auto shown = m_shownUsers.find(callId);
    if (shown != m_shownUsers.end()) {
        shown->remove(userId);
        if (shown->isEmpty())
            m_shownUsers.erase(shown);
    }
    MsgBuilder hide = msg;
    hide.setChildTask(MsgBuilder::CallCardHide);
    // Judged when its turn comes, after its show's, which goes earlier in the same call's queue.
    const SendGuard shownFirst = [self = QPointer<Connector>(this), callId, userId, hide]() {
        if (!self || !self->m_withheldCards.contains(callId))
            return SendTurn::Send;
        QSet<int> &withheld = self->m_withheldCards[callId];
        if (!withheld.remove(userId))
            return SendTurn::Send;
        if (withheld.isEmpty())
            self->m_withheldCards.remove(callId);
        const QString text = QStringLiteral("Don't hide call card from user#%1: it was not shown").arg(userId);
        qDebug().noquote() << hide.build(MsgBuilder::Warning, text);
        return SendTurn::Skip;
    };
    return sendCallCard(QStringLiteral("telephony.externalcall.hide"), callId, userId, hide, shownFirst);
}

Utils::Promise<void> Connector::showCallCard(const QString &callId, const QString &phone, const MsgBuilder &msg,
                                             const SendGuard &guard)
{
    Utils::Promise<void> result;
    const QPointer<Connector> self(this);
    findUserByPhoneCached(phone, msg)
        .onResolve([self, callId, msg, guard, result](const CRM::Entity &user) {
            if (self)
                self->showCallCard(callId, user.id(), msg, guard).proxyTo(result);
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Utils::Promise<void> Connector::hideCallCard(const QString &callId, const QString &phone, const MsgBuilder &msg)
{
    Utils::Promise<void> result;
    const QPointer<Connector> self(this);
    findUserByPhoneCached(phone, msg)
        .onResolve([self, callId, msg, result](const CRM::Entity &user) {
            if (self)
                self->hideCallCard(callId, user.id(), msg).proxyTo(result);
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Utils::Promise<void> Connector::showCallCards(const QString &callId, const QJsonArray &internalNumbers,
                                              const MsgBuilder &msg)
{
    Utils::Promise<void> result;
    const QPointer<Connector> self(this);
    getUserList(QJsonObject{{QStringLiteral("UF_PHONE_INNER"), internalNumbers}}, msg)
        .onResolve([self, callId, msg, result](const QJsonArray &users) {
            if (!self)
                return result.reject();
            QJsonArray ids;
            for (const QJsonValue &user : users) {
                // The portal sends ids as text.
                const int id = user.toObject().value(QLatin1String("ID")).toVariant().toInt();
                if (id > 0) {
                    self->m_shownUsers[callId].insert(id);
                    ids.append(id);
                }
            }
            if (ids.isEmpty())
                return result.reject();
            MsgBuilder show = msg;
            show.setChildTask(MsgBuilder::CallCardShow);
            self->sendCallCard(QStringLiteral("telephony.externalcall.show"), callId, ids, show).proxyTo(result);
        })
        .onReject([result]() { result.reject(); });
    return result;
}

void Connector::hideCallCardsExcept(const QString &callId, int userId, const MsgBuilder &msg)
{
    const QSet<int> shown = m_shownUsers.value(callId);
    for (const int user : shown) {
        if (user != userId)
            hideCallCard(callId, user, msg);
    }
}

} // namespace Orvix::CRM::Bitrix
