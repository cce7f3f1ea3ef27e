#pragma once

#include "support/fakecrmserver.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStringList>

// A small CRM behind the fake portal, enough for whole calls: two employees with extensions 101 and
// 102, optionally one contact for the caller's number, registrations, cards, finishes and writes. Every
// write is recorded as "VERB method key=value ..." with the parameters the call flow decides on; reads
// (lookups, lists) are not.
class CrmPortalModel
{
public:
    static inline const QString kCallerNumber = QStringLiteral("74951234567");

    bool knownContact = false;      // the caller's number belongs to contact 5 of employee 7
    bool withDurations = false;     // a finish is recorded with its DURATION
    QString contactOwner = QStringLiteral("7"); // the employee contact 5 is assigned to
    bool registerCreatesLead = false; // the register answer reports lead 31 created and bound
    int failRegisters = 0;          // the next registrations refused
    int hangRegisters = 0;          // the next registrations done, but never answered
    int failFinishes = 0;           // the next finishes refused
    int closedFinishes = 0;         // the next finishes find their call closed, as by a finish before a restart
    int hangFinishes = 0;           // the next finishes done, but never answered
    QString notFoundText = QStringLiteral("Call is not found"); // the refusal of a finish of a closed call
    QHash<QString, int> hangUploads; // CRM calls with so many next uploads taken and never answered
    // PBX call (EXTERNAL_CALL_ID) -> the number of its CRM call, for calls registered side by side, whose
    // registers may come in either order; the others are numbered as they come.
    QHash<QString, int> callNumbers;

    explicit CrmPortalModel(Orvix::Tests::FakeCrmServer &portal)
        : m_portal(portal)
    {
        using Orvix::Tests::FakeCrmReply;
        using Orvix::Tests::FakeCrmRequest;
        portal.setRestHandler("user.get", [](const QJsonObject &params) {
            const QJsonObject filter = params.value("filter").toObject();
            const QString inner = filter.value("UF_PHONE_INNER").toString();
            const QString id = filter.value("ID").toString();
            QJsonArray found;
            for (const QJsonObject &user : users()) {
                if ((!inner.isEmpty() && user.value("UF_PHONE_INNER") == inner) || (!id.isEmpty() && user.value("ID") == id))
                    found.append(user);
            }
            return FakeCrmReply::result(found);
        });
        portal.setRestHandler("crm.duplicate.findbycomm", [this](const QJsonObject &params) {
            const QJsonArray values = params.value("values").toArray();
            if (knownContact && values.contains(kCallerNumber))
                return FakeCrmReply::result(QJsonObject{{"CONTACT", QJsonArray{5}}});
            if (m_leadAdded && values.contains(kCallerNumber))
                return FakeCrmReply::result(QJsonObject{{"LEAD", QJsonArray{31}}});
            return FakeCrmReply::result(QJsonArray());
        });
        portal.setRestHandler("crm.contact.list", [this](const QJsonObject &) {
            if (!knownContact)
                return FakeCrmReply::result(QJsonArray());
            return FakeCrmReply::result(QJsonArray{QJsonObject{
                {"ID", "5"}, {"NAME", "Anna"}, {"LAST_NAME", "Karenina"}, {"ASSIGNED_BY_ID", contactOwner},
                {"PHONE", QJsonArray{QJsonObject{{"VALUE", kCallerNumber}, {"VALUE_TYPE", "WORK"}}}}}});
        });
        portal.setRestHandler("crm.lead.list", [](const QJsonObject &) {
            return FakeCrmReply::result(QJsonArray{QJsonObject{
                {"ID", "31"}, {"TITLE", "Incoming call"}, {"ASSIGNED_BY_ID", "1"}, {"STATUS_SEMANTIC_ID", "P"},
                {"PHONE", QJsonArray{QJsonObject{{"VALUE", kCallerNumber}, {"VALUE_TYPE", "WORK"}}}}}});
        });
        for (const char *list : {"crm.company.list", "crm.deal.list"})
            portal.setRestResult(list, QJsonArray());
        // The activity a finish made, by its id or by its origin, "VI_" and the CRM call's id.
        portal.setRestHandler("crm.activity.list", [this](const QJsonObject &params) {
            const QJsonObject filter = params.value("filter").toObject();
            for (auto it = m_activities.cbegin(); it != m_activities.cend(); ++it) {
                if (filter.value("ID").toString() == QString::number(it.value())
                    || filter.value("ORIGIN_ID").toString() == "VI_" + it.key()) {
                    return FakeCrmReply::result(QJsonArray{QJsonObject{
                        {"ID", QString::number(it.value())}, {"ORIGIN_ID", "VI_" + it.key()}, {"DESCRIPTION", ""}}});
                }
            }
            return FakeCrmReply::result(QJsonArray());
        });
        for (const char *write : {"crm.lead.update", "crm.contact.update", "crm.deal.update", "crm.lead.delete",
                                  "crm.contact.delete", "crm.deal.delete", "crm.activity.update",
                                  "telephony.externalcall.show", "telephony.externalcall.hide", "event.bind"})
            portal.setRestResult(write, true);
        portal.setRestHandler("crm.lead.add", [this](const QJsonObject &) {
            m_leadAdded = true; // found by the caller's number from now on
            return FakeCrmReply::result(31);
        });
        portal.setRestResult("task.item.add", 55);
        portal.setRestHandler("telephony.externalcall.attachRecord", [this](const QJsonObject &params) {
            FakeCrmReply reply = FakeCrmReply::result(QJsonObject{{"FILE_ID", "9"}});
            int &hang = hangUploads[params.value("CALL_ID").toString()];
            reply.neverAnswer = hang > 0 && hang-- > 0;
            return reply;
        });
        portal.setRestHandler("telephony.externalcall.register", [this](const QJsonObject &params) {
            if (failRegisters > 0) {
                --failRegisters;
                return FakeCrmReply::error(400, "ERROR_CORE", "refused");
            }
            const int number = callNumbers.value(params.value("EXTERNAL_CALL_ID").toString());
            const QString callId = QStringLiteral("externalCall.%1").arg(number > 0 ? number : ++m_calls);
            if (registerCreatesLead) {
                return FakeCrmReply::result(QJsonObject{{"CALL_ID", callId}, {"CRM_CREATED_LEAD", "31"},
                                                        {"CRM_ENTITY_TYPE", "LEAD"}, {"CRM_ENTITY_ID", "31"}});
            }
            QJsonObject answer{{"CALL_ID", callId}};
            if (params.value("CRM_ENTITY_ID").toString().toInt() > 0) {
                answer.insert("CRM_ENTITY_TYPE", params.value("CRM_ENTITY_TYPE"));
                answer.insert("CRM_ENTITY_ID", params.value("CRM_ENTITY_ID"));
            }
            FakeCrmReply reply = FakeCrmReply::result(answer);
            reply.neverAnswer = hangRegisters > 0 && hangRegisters-- > 0;
            return reply;
        });
        portal.setRestHandler("telephony.externalcall.finish", [this](const QJsonObject &params) {
            if (failFinishes > 0) {
                --failFinishes;
                return FakeCrmReply::error(400, "ERROR_CORE", "refused");
            }
            // A finished call is closed: the platform knows it no more.
            const QString callId = params.value("CALL_ID").toString();
            if (closedFinishes > 0) {
                --closedFinishes;
                m_finished.insert(callId);
                m_activities.insert(callId, 700 + (++m_finishes));
            }
            if (m_finished.contains(callId))
                return FakeCrmReply::error(400, "ERROR_CORE", notFoundText);
            m_finished.insert(callId);
            m_activities.insert(callId, 700 + (++m_finishes));
            FakeCrmReply reply = FakeCrmReply::result(QJsonObject{
                {"CALL_ID", callId}, {"CRM_ACTIVITY_ID", QString::number(m_activities.value(callId))}});
            if (hangFinishes > 0) {
                --hangFinishes;
                reply.neverAnswer = true;
            }
            return reply;
        });
        QObject::connect(&portal, &Orvix::Tests::FakeCrmServer::requestReceived, &portal,
                         [this](const FakeCrmRequest &request) { record(request); });
    }

    QStringList writes() const { return m_writes; }

private:
    static QList<QJsonObject> users()
    {
        return {QJsonObject{{"ID", "7"}, {"NAME", "Ivan"}, {"LAST_NAME", "Petrov"}, {"UF_PHONE_INNER", "101"},
                            {"WORK_PHONE", "+74950000101"}, {"ACTIVE", true}},
                QJsonObject{{"ID", "8"}, {"NAME", "Olga"}, {"LAST_NAME", "Sidorova"}, {"UF_PHONE_INNER", "102"},
                            {"WORK_PHONE", "+74950000102"}, {"ACTIVE", true}}};
    }

    void record(const Orvix::Tests::FakeCrmRequest &request)
    {
        static const QHash<QString, QStringList> keys{
            {"telephony.externalcall.register", {"TYPE", "USER_ID", "CRM_CREATE", "CRM_ENTITY_TYPE", "CRM_ENTITY_ID"}},
            {"telephony.externalcall.show", {"CALL_ID", "USER_ID"}},
            {"telephony.externalcall.hide", {"CALL_ID", "USER_ID"}},
            {"telephony.externalcall.finish", {"CALL_ID", "USER_ID", "STATUS_CODE"}},
            {"telephony.externalcall.attachRecord", {"CALL_ID"}},
            {"crm.lead.add", {}},
            {"crm.contact.add", {}},
            {"crm.deal.add", {}},
            {"crm.lead.update", {"id", "fields"}},
            {"crm.contact.update", {"id", "fields"}},
            {"crm.deal.update", {"id", "fields"}},
            {"crm.lead.delete", {"ID"}},
            {"crm.contact.delete", {"ID"}},
            {"crm.deal.delete", {"ID"}},
            {"crm.activity.update", {"id"}},
            {"task.item.add", {}},
        };
        const QString method = request.restMethod();
        if (!keys.contains(method))
            return;
        const QJsonObject params = request.params();
        QString line = QString::fromLatin1(request.verb) + ' ' + method;
        for (const QString &key : keys.value(method)) {
            const QJsonValue value = params.value(key);
            if (value.isUndefined())
                continue;
            // Of the fields, their names: what the flow chose to write.
            const QString text = value.isObject() ? QStringList(value.toObject().keys()).join(',') : value.toString();
            line += ' ' + key + '=' + text;
        }
        if (withDurations && method == "telephony.externalcall.finish")
            line += " DURATION=" + params.value("DURATION").toString();
        if (method == "task.item.add") {
            // What the task says about whom to call back; the time of the call masked.
            const QJsonObject task = params.value("arNewTaskData").toObject();
            for (const char *key : {"TITLE", "DESCRIPTION"}) {
                if (task.contains(key))
                    line += QStringLiteral(" %1=%2").arg(key, task.value(key).toString());
            }
            line.replace(QRegularExpression("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d"), "<time>");
        }
        m_writes.append(line);
    }

    Orvix::Tests::FakeCrmServer &m_portal;
    QStringList m_writes;
    int m_calls = 0;
    int m_finishes = 0;
    QSet<QString> m_finished;
    QHash<QString, int> m_activities; // CRM call -> the activity its finish made
    bool m_leadAdded = false;
};
