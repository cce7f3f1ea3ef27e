#pragma once

#include "crm/bitrix/api.h"
#include "crmportalmodel.h"
#include "entities/call.h"
#include "entities/clock.h"
#include "entities/conversation.h"
#include "utils/msgbuilder.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QSharedPointer>
#include <QStringList>
#include <QtTest>

// What tst_apicalls and tst_apirestart share: the writes a call leaves in the CRM, as CrmPortalModel records
// them, and the driver that hands the API the events of one call.

inline const QString kCallId = QStringLiteral("1700000000.1");
inline const QString kLookedUpNumber = QStringLiteral("74990000000");
inline constexpr int kScenarioTimeoutMsec = 15000;

inline QString register_(const QString &type, const QString &user, const QString &create, const QString &entity = {})
{
    QString line = "POST telephony.externalcall.register TYPE=" + type + " USER_ID=" + user + " CRM_CREATE=" + create;
    if (!entity.isEmpty()) {
        const QStringList parts = entity.split(':');
        line += " CRM_ENTITY_TYPE=" + parts.at(0) + " CRM_ENTITY_ID=" + parts.at(1);
    }
    return line;
}
inline QString show(int call, int user)
{
    return QStringLiteral("GET telephony.externalcall.show CALL_ID=externalCall.%1 USER_ID=%2").arg(call).arg(user);
}
inline QString hide(int call, int user)
{
    return QStringLiteral("GET telephony.externalcall.hide CALL_ID=externalCall.%1 USER_ID=%2").arg(call).arg(user);
}
inline QString finish(const QString &call, int user, int status)
{
    return QStringLiteral("GET telephony.externalcall.finish CALL_ID=%1 USER_ID=%2 STATUS_CODE=%3")
        .arg(call)
        .arg(user)
        .arg(status);
}
inline QString finish(int call, int user, int status)
{
    return finish(QStringLiteral("externalCall.%1").arg(call), user, status);
}
inline QString attach(const QString &call)
{
    return "POST telephony.externalcall.attachRecord CALL_ID=" + call;
}
inline QString attach(int call)
{
    return attach(QStringLiteral("externalCall.%1").arg(call));
}

// Drives the API with the events of one call, as the PBX link reports them.
class CallDriver
{
    using API = Orvix::CRM::Bitrix::API;
    using Call = Orvix::Entities::Call;
    using CallStatus = Orvix::Entities::CallStatus;
    using Conversation = Orvix::Entities::Conversation;
    using MsgBuilder = Orvix::Utils::MsgBuilder;

public:
    CallDriver(API &api, bool incoming, const QString &callId = kCallId,
               const QString &number = CrmPortalModel::kCallerNumber)
        : m_api(api)
        , m_incoming(incoming)
        , m_call(callId)
        , m_number(number)
    {
        if (incoming) {
            m_call.setFrom(number, false);
            m_call.setTo("101", true);
        } else {
            m_call.setFrom("101", true);
            m_call.setTo(number, false);
        }
        m_call.updateType();
    }

    struct Lookups
    {
        int busy = 0;
        int settled = 0;
    };
    // Shared with the lookups' callbacks, which may outlive a failed row.
    const QSharedPointer<Lookups> lookups = QSharedPointer<Lookups>::create();

    void step(const QString &text)
    {
        const QStringList words = text.split(' ');
        const QString verb = words.at(0);
        const QDateTime now = QDateTime::currentDateTime();
        if (verb == "c2c") {
            // "c2c": just now; "c2c old": 61 s ago; "c2c prefixed": dialled with the prefix 9.
            const QString variant = words.value(1);
            if (variant == "old")
                Orvix::Entities::Clock::setSource([] { return QDateTime::currentDateTime().addSecs(-61); });
            m_api.rememberCall((variant == "prefixed" ? "9" : "") + CrmPortalModel::kCallerNumber,
                               QJsonObject{{"CALL_ID", "externalCall.c2c"},
                                           {"CRM_ENTITY_ID", "5"},
                                           {"CRM_ENTITY_TYPE", "CONTACT"}});
            Orvix::Entities::Clock::setSource({});
        } else if (verb == "lookups") {
            // A client asking the public lookup routes 30 times at once about a number the CRM does not know.
            for (int i = 0; i < 30; ++i) {
                m_api.getResponsibleData(kLookedUpNumber)
                    .onResolve([counts = lookups](const QJsonObject &) { ++counts->settled; })
                    .onReject([counts = lookups](Orvix::CRM::Bitrix::LookupFailure failure) {
                        ++counts->settled;
                        counts->busy += failure == Orvix::CRM::Bitrix::LookupFailure::Busy ? 1 : 0;
                    });
            }
        } else if (verb == "relink" || verb == "restart") {
            // The CRM link starts again once the work queued so far is done; "restart": as the App restarts the
            // links after a loss, stopped first and the PBX link started after it.
            QTRY_VERIFY_WITH_TIMEOUT(m_api.taskQueue().size() == 0 && !m_api.taskQueue().isBusy(), 30000);
            if (verb == "restart")
                m_api.stop();
            m_api.start(false);
            if (verb == "restart")
                m_api.attachOwedRecordings();
        } else if (verb == "present") {
            // The PBX link, through a backlog of two days' rows after a long stop, reaches the present ones.
            m_api.setPbxClock([] { return QDateTime::currentDateTime().addDays(2); });
        } else if (verb == "roistat") {
            m_api.setRoistatData(m_call.id(), QJsonObject{{"visit", "123"}});
        } else if (verb == "start") {
            m_call.setState(CallStatus::Ringing, now);
            m_api.callStarted(m_call, trace(MsgBuilder::CallStarted));
        } else if (verb == "transfer") {
            m_api.callTransferred(m_call.id(), trace(MsgBuilder::CallTransferred));
        } else if (verb == "finish" || verb == "hangup") {
            // "finish": the end comes once the earlier events were handled; "hangup": while they still wait.
            if (verb == "finish")
                QTRY_VERIFY_WITH_TIMEOUT(m_api.taskQueue().size() == 0 && !m_api.taskQueue().isBusy(), 30000);
            m_call.setState(CallStatus::Hung, now);
            m_api.callEnded(m_call, trace(MsgBuilder::CallEnded));
        } else {
            Conversation &leg = this->leg(words.at(1));
            if (verb == "ring" || verb == "ringold") {
                // "ringold": the leg began ringing two minutes ago.
                leg.setState(CallStatus::Ringing, verb == "ring" ? now : now.addSecs(-120));
                m_call.conversations().insert(leg.id(), leg);
                m_api.conversationRequested(leg, trace(MsgBuilder::ConversationRequested));
            } else if (verb == "answer") {
                leg.setState(CallStatus::Talking, now);
                m_call.setState(CallStatus::Talking, now);
                m_call.conversations().insert(leg.id(), leg);
                m_api.conversationAccepted(leg, trace(MsgBuilder::ConversationAccepted));
            } else if (verb == "talked") {
                // What the PBX link restores of a leg that ended before a restart: no event of its own.
                leg.setState(CallStatus::Talking, now);
                leg.setState(CallStatus::Hung, now);
                m_call.conversations().insert(leg.id(), leg);
            } else if (verb == "end") {
                leg.setState(CallStatus::Hung, now);
                m_call.conversations().insert(leg.id(), leg);
                m_api.conversationEnded(leg, trace(MsgBuilder::ConversationEnded));
            } else {
                QFAIL(qPrintable("unknown step " + text));
            }
        }
    }

private:
    MsgBuilder trace(MsgBuilder::TaskName task) const { return MsgBuilder(m_call.id(), task, MsgBuilder::NoChildTask); }

    Conversation &leg(const QString &name)
    {
        auto it = m_legs.find(name);
        if (it != m_legs.end())
            return *it;
        static const QHash<QString, QString> suffixes{{"a", ".2"}, {"b", ".3"}, {"l", ".4"}, {"c", ".5"}};
        const QString id = m_call.id().section('.', 0, 0) + suffixes.value(name);
        // Extension 103 has no user in the CRM.
        static const QHash<QString, QString> extensions{{"a", "101"}, {"b", "102"}, {"c", "103"}};
        Conversation leg(id, id, m_call.id());
        if (name == "l") {
            leg.setFrom("101", true);
            leg.setTo("102", true);
        } else if (m_incoming) {
            leg.setFrom(m_number, false);
            leg.setTo(extensions.value(name), true);
        } else {
            leg.setFrom(extensions.value(name), true);
            leg.setTo(m_number, false);
        }
        return *m_legs.insert(name, leg);
    }

    API &m_api;
    bool m_incoming;
    Call m_call;
    QString m_number;
    QHash<QString, Conversation> m_legs;
};

