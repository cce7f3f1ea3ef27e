// Calls in the CRM's telephony: registration, call cards and finish.

#include "crm/bitrix/connector.h"

#include <QDebug>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

using RegistrationPromise = Utils::Promise<CallRegistration, RegistrationFailedReason>;

inline constexpr QLatin1String kDealId("deal_id");

} // namespace

RegistrationPromise Connector::sendRegistration(const QJsonObject &params, bool keepDealId, const MsgBuilder &msg)
{
    RegistrationPromise result;
    QJsonObject sent = params;
    int dealId = 0;
    // The deal created for a new contact belongs to the call's record, not to the portal's register
    // method; a conversation's registration passes it on to the portal.
    if (keepDealId && sent.contains(kDealId)) {
        dealId = sent.value(kDealId).toInt(0);
        sent.remove(kDealId);
    }
    run(QStringLiteral("telephony.externalcall.register"), sent, HttpClient::Request::Post, msg)
        .onResolve([result, dealId](const QJsonValue &value) {
            CallRegistration registration(value.toObject());
            registration.setDealId(dealId);
            result.resolve(registration);
        })
        .onReject([result]() { result.reject(RegistrationFailedReason::Failed); });
    return result;
}

Utils::Promise<void> Connector::sendCallCard(const QString &method, const QString &callId, const QJsonValue &userIds,
                                             const MsgBuilder &msg)
{
    Utils::Promise<void> result;
    run(method, QJsonObject{{QStringLiteral("CALL_ID"), callId}, {QStringLiteral("USER_ID"), userIds}},
        HttpClient::Request::Get, msg)
        .onResolve([result](const QJsonValue &value) {
            // The portal answers false when it could not show or hide the card.
            if (value.isBool() && value.toBool())
                result.resolve();
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Utils::Promise<void> Connector::showCallCard(const QString &callId, int userId, const MsgBuilder &msg)
{
    if (userId < 1) {
        Utils::Promise<void> result;
        result.reject();
        return result;
    }
    m_shownUsers[callId].insert(userId);
    MsgBuilder show = msg;
    show.setChildTask(MsgBuilder::CallCardShow);
    return sendCallCard(QStringLiteral("telephony.externalcall.show"), callId, userId, show);
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
    return sendCallCard(QStringLiteral("telephony.externalcall.hide"), callId, userId, hide);
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
