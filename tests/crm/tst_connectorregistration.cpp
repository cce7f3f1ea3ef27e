#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/telephonyeventloghandler.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Entity;
using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::CallRegistration;
using Orvix::CRM::Bitrix::Connector;
using Orvix::CRM::Bitrix::RegistrationFailedReason;
using Orvix::Entities::CallStatus;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

namespace {

constexpr int kInterval = 5;
constexpr int kDefaultUser = 1;
const QString kCaller = QStringLiteral("+74951234567");
const QString kCallId = QStringLiteral("1700000000.1");
const QDateTime kStart = QDateTime(QDate(2026, 12, 7), QTime(15, 4, 5), Qt::OffsetFromUTC, 3 * 3600);

// A small portal: records by type with string ids, found by "ID" filters; adds create records. Which
// records the duplicate search finds depends on the number searched for.
struct Portal
{
    QHash<QString, QJsonArray> records;     // "lead", "contact", "company", "deal", "user"
    QHash<QString, QJsonObject> duplicates; // number -> {"LEAD": [ids], ...}
    QSet<QString> refusedAdds;              // types whose add is refused
    QStringList writes;                     // "crm.<type>.add" and register, in order
    QJsonObject registered;                 // the register parameters, as decoded
    int nextId = 100;

    void install(FakeCrmServer &fake)
    {
        for (const char *name : {"lead", "contact", "company", "deal"}) {
            const QString type = QString::fromLatin1(name);
            fake.setRestHandler("crm." + type + ".list", [this, type](const QJsonObject &params) {
                const QStringList ids = texts(params.value("filter").toObject().value("ID"));
                QJsonArray found;
                for (const QJsonValue &record : records.value(type)) {
                    if (ids.contains(record["ID"].toString()))
                        found.append(record);
                }
                return FakeCrmReply::result(found);
            });
            fake.setRestHandler("crm." + type + ".add", [this, type](const QJsonObject &params) {
                writes.append("crm." + type + ".add");
                if (refusedAdds.contains(type))
                    return FakeCrmReply::error(400, "ERROR_CORE", "refused");
                const QJsonObject fields = params.value("fields").toObject();
                const QString id = QString::number(nextId++);
                records[type].append(QJsonObject{{"ID", id},
                                                 {"TITLE", fields.value("TITLE")},
                                                 {"NAME", fields.value("NAME")},
                                                 {"ASSIGNED_BY_ID", fields.value("ASSIGNED_BY_ID")}});
                return FakeCrmReply::result(id.toInt());
            });
        }
        fake.setRestHandler("user.get", [this](const QJsonObject &) {
            return FakeCrmReply::result(records.value("user"));
        });
        fake.setRestHandler("crm.duplicate.findbycomm", [this](const QJsonObject &params) {
            for (const QString &number : texts(params.value("values")))
                if (duplicates.contains(number))
                    return FakeCrmReply::result(duplicates.value(number));
            return FakeCrmReply::result(QJsonArray());
        });
        fake.setRestHandler("telephony.externalcall.register", [this](const QJsonObject &params) {
            writes.append("telephony.externalcall.register");
            registered = params;
            return FakeCrmReply::result(QJsonObject{{"CALL_ID", "externalCall.42"},
                                                    {"CRM_ACTIVITY_ID", "77"},
                                                    {"CRM_ENTITY_ID", params.value("CRM_ENTITY_ID")},
                                                    {"CRM_ENTITY_TYPE", params.value("CRM_ENTITY_TYPE")}});
        });
    }
};

QJsonObject lead(int id, int responsible)
{
    return {{"ID", QString::number(id)}, {"TITLE", "Lead " + QString::number(id)},
            {"ASSIGNED_BY_ID", QString::number(responsible)}, {"STATUS_SEMANTIC_ID", "P"},
            {"PHONE", QJsonArray{QJsonObject{{"TYPE_ID", "PHONE"}, {"VALUE", kCaller}}}}};
}

// Finds what the test says, whatever the portal holds.
class FixedSearchConnector : public Connector
{
public:
    using Connector::Connector;
    Entity found;

    Promise<Entity> findEntityForRegistration(const QString &, const QJsonObject &, const MsgBuilder &) override
    {
        Promise<Entity> result;
        result.resolve(found);
        return result;
    }
};

} // namespace

// Registration parameters, call and conversation registration and the finish, against the fake portal,
// with the customization requests answered by the test.
class tst_ConnectorRegistration : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void registration_data();
    void registration();
    void unusualEntityIsNotRegistered_data();
    void unusualEntityIsNotRegistered();
    void finish_data();
    void finish();

private:
    void start(Connector &connector, bool noLeadMode);

};

void tst_ConnectorRegistration::init()
{
    QVERIFY(setUpPortal());
}

void tst_ConnectorRegistration::cleanup()
{
    tearDownPortal();
}

void tst_ConnectorRegistration::start(Connector &connector, bool noLeadMode)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setLocalesDirectory(m_dir->path());
    connector.setRequestTimeout(std::chrono::milliseconds(2000));
    connector.start(m_fake->baseUrl(), kDefaultUser, "admin", "secret", "_r", "en", noLeadMode, kInterval, 0);
}

void tst_ConnectorRegistration::registration_data()
{
    // setup: "conversation" (else a call), "noLead", "create", "deal", "lines", "trunk", "user" (id of the
    // call's user), "found" (type of the record the caller's number finds), "refuse" (adds refused),
    // "script" (merged into the search customization's answer), "caller" (the caller's number, when not kCaller).
    QTest::addColumn<QJsonObject>("setup");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QJsonObject>("expected"); // register parameters, as the portal decoded them
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<int>("dealId");           // of the resolved registration
    QTest::addColumn<QString>("event");        // in the event log of the call

    const QStringList internal{"call", "user", "action", "filter"};
    const QStringList noEntity = internal + QStringList{"CRM_ENTITY_ID", "CRM_ENTITY_TYPE", "CRM_CREATE"};
    const QString reg = "telephony.externalcall.register";

    QTest::newRow("a found lead is bound with its responsible user")
        << QJsonObject{{"found", "lead"}, {"create", true}} << QStringList{reg}
        << QJsonObject{{"CRM_ENTITY_ID", "5"}, {"CRM_ENTITY_TYPE", "LEAD"}, {"CRM_CREATE", "1"}, {"USER_ID", "3"},
                       {"TYPE", "2"}, {"SHOW", "0"}, {"PHONE_NUMBER", kCaller}, {"CRM_SOURCE", "CALL"},
                       {"CALL_START_DATE", "2026-12-07T12:04:05Z"}}
        << (internal + QStringList{"LINE_NUMBER", "deal_id"}) << 0
        << QString("Entity: {Type: lead, Id: 5, Name: Lead 5}");
    QTest::newRow("action ignore sends nothing")
        << QJsonObject{{"found", "lead"}, {"script", QJsonObject{{"action", "ignore"}}}} << QStringList()
        << QJsonObject() << QStringList() << -1 << QString("");
    QTest::newRow("action Ignore registers, and a key of the script is sent")
        << QJsonObject{{"script", QJsonObject{{"action", "Ignore"}, {"UF_EXTRA", "kept"}}}} << QStringList{reg}
        << QJsonObject{{"CRM_CREATE", "0"}, {"UF_EXTRA", "kept"}, {"USER_ID", "1"}}
        << QStringList{"CRM_ENTITY_ID", "action", "call", "user"} << 0 << QString("");
    QTest::newRow("the number of an employee is not registered")
        << QJsonObject{{"found", "user"}, {"create", true}} << QStringList() << QJsonObject() << QStringList() << -1
        << QString("");
    QTest::newRow("the script's number and filter drive the search")
        << QJsonObject{{"found", "lead"},
                       {"script", QJsonObject{{"PHONE_NUMBER", "+74959999999"},
                                              {"filter", QJsonObject{{"lead", QJsonObject{{"ID", "7"}}}}}}}}
        << QStringList{reg}
        << QJsonObject{{"CRM_ENTITY_ID", "7"}, {"PHONE_NUMBER", "+74959999999"}, {"USER_ID", "4"}} << internal
        << 0 << QString("Entity: {Type: lead, Id: 7, Name: Lead 7}");
    QTest::newRow("nothing found, creation off: CRM_CREATE 0 and the call's user")
        << QJsonObject{{"user", 12}} << QStringList{reg} << QJsonObject{{"CRM_CREATE", "0"}, {"USER_ID", "12"}}
        << QStringList{"CRM_ENTITY_ID", "CRM_ENTITY_TYPE"} << 0 << QString("");
    QTest::newRow("nothing found: a lead is created, the deal switch ignored")
        << QJsonObject{{"create", true}, {"deal", true}} << QStringList{"crm.lead.add", reg}
        << QJsonObject{{"CRM_ENTITY_ID", "100"}, {"CRM_ENTITY_TYPE", "LEAD"}, {"CRM_CREATE", "1"}} << internal << 0
        << QString("Entity: {Type: lead, Id: 100, Name: ");
    QTest::newRow("a failed lead still registers, without an entity")
        << QJsonObject{{"create", true}, {"refuse", QJsonArray{"lead"}}} << QStringList{"crm.lead.add", reg}
        << QJsonObject{{"PHONE_NUMBER", kCaller}} << noEntity << 0
        << QString("Entity: {Type: lead, Status: hasn't been created}");
    QTest::newRow("no-lead mode: contact and deal, the call keeps the deal id")
        << QJsonObject{{"noLead", true}, {"create", true}, {"deal", true}}
        << QStringList{"crm.contact.add", "crm.deal.add", reg}
        << QJsonObject{{"CRM_ENTITY_ID", "100"}, {"CRM_ENTITY_TYPE", "CONTACT"}, {"CRM_CREATE", "1"}}
        << (internal + QStringList{"deal_id"}) << 101 << QString("Entity: {Type: deal, Id: 101, Name: ");
    QTest::newRow("no-lead mode: a conversation sends the deal id")
        << QJsonObject{{"conversation", true}, {"noLead", true}, {"create", true}, {"deal", true}}
        << QStringList{"crm.contact.add", "crm.deal.add", reg}
        << QJsonObject{{"CRM_ENTITY_TYPE", "CONTACT"}, {"deal_id", "101"}} << internal << 0
        << QString("Entity: {Type: contact, Id: 100, Name: ");
    QTest::newRow("no-lead mode without deals: the contact alone")
        << QJsonObject{{"noLead", true}, {"create", true}} << QStringList{"crm.contact.add", reg}
        << QJsonObject{{"CRM_ENTITY_TYPE", "CONTACT"}} << (internal + QStringList{"deal_id"}) << 0
        << QString("Entity: {Type: deal, Status: hasn't been created}");
    QTest::newRow("a refused deal leaves the contact")
        << QJsonObject{{"noLead", true}, {"create", true}, {"deal", true}, {"refuse", QJsonArray{"deal"}}}
        << QStringList{"crm.contact.add", "crm.deal.add", reg}
        << QJsonObject{{"CRM_ENTITY_ID", "100"}, {"CRM_ENTITY_TYPE", "CONTACT"}}
        << (internal + QStringList{"deal_id"}) << 0 << QString("");
    QTest::newRow("a refused contact: neither contact nor deal")
        << QJsonObject{{"noLead", true}, {"create", true}, {"deal", true}, {"refuse", QJsonArray{"contact"}}}
        << QStringList{"crm.contact.add", reg} << QJsonObject() << (noEntity + QStringList{"deal_id"}) << 0
        << QString("Entity: {Type: contact, Status: hasn't been created}, "
                   "Entity: {Type: deal, Status: hasn't been created}");
    QTest::newRow("external lines on and a source: LINE_NUMBER")
        << QJsonObject{{"lines", true}} << QStringList{reg}
        << QJsonObject{{"LINE_NUMBER", "trunk1"}, {"CRM_SOURCE", "CALL"}} << internal << 0 << QString("");
    QTest::newRow("external lines on, trunk without a source: no LINE_NUMBER")
        << QJsonObject{{"lines", true}, {"trunk", "trunk9"}} << QStringList{reg} << QJsonObject{{"CRM_SOURCE", ""}}
        << (internal + QStringList{"LINE_NUMBER"}) << 0 << QString("");
    // The portal refuses a number without digits; a search by any number would bind someone else's record.
    QTest::newRow("a withheld caller: no search, nothing added, registered under the withheld number")
        << QJsonObject{{"caller", "anonymous"}, {"found", "lead"}, {"create", true}} << QStringList{reg}
        << QJsonObject{{"PHONE_NUMBER", "0000000000"}, {"CRM_CREATE", "0"}, {"TYPE", "2"}, {"USER_ID", "1"}}
        << (internal + QStringList{"CRM_ENTITY_ID", "CRM_ENTITY_TYPE"}) << 0 << QString("");
    QTest::newRow("a withheld caller, the search hook answers ignore: nothing sent")
        << QJsonObject{{"caller", "anonymous"}, {"script", QJsonObject{{"action", "ignore"}}}} << QStringList()
        << QJsonObject() << QStringList() << -1 << QString("");
    QTest::newRow("an outgoing call is type 1")
        << QJsonObject{{"outgoing", true}} << QStringList{reg} << QJsonObject{{"TYPE", "1"}, {"PHONE_NUMBER", kCaller}}
        << internal << 0 << QString("");
}

void tst_ConnectorRegistration::registration()
{
    QFETCH(QJsonObject, setup);
    QFETCH(QStringList, writes);
    QFETCH(QJsonObject, expected);
    QFETCH(QStringList, absent);
    QFETCH(int, dealId);
    QFETCH(QString, event);

    const auto eventLog = Orvix::Entities::TelephonyEventLogHandler::instance();
    eventLog->removeEvents(kCallId);
    Portal portal;
    portal.records["lead"] = QJsonArray{lead(5, 3), lead(7, 4)};
    portal.records["user"] = QJsonArray{QJsonObject{{"ID", "9"}, {"PERSONAL_MOBILE", kCaller}}};
    const QString found = setup.value("found").toString();
    const QString caller = setup.value("caller").toString(kCaller);
    if (found == "lead") {
        const QString number = setup.value("script").toObject().value("PHONE_NUMBER").toString(caller);
        portal.duplicates.insert(number, QJsonObject{{"LEAD", QJsonArray{5}}});
    }
    if (found != "user")
        portal.records.remove("user");
    for (const QJsonValue &type : setup.value("refuse").toArray())
        portal.refusedAdds.insert(type.toString());
    portal.install(*m_fake);

    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setBusinessLogicSettings({{"trunk1", "CALL"}}, {});
    connector.setUseExternalLines(setup.value("lines").toBool());
    start(connector, setup.value("noLead").toBool());

    const QJsonObject script = setup.value("script").toObject();
    connect(&connector, &Connector::searchParamsCustomizationRequest, this,
            [script](const QJsonObject &params, Promise<QJsonObject, QString> promise) {
                QJsonObject answer = params;
                for (auto it = script.begin(); it != script.end(); ++it)
                    answer.insert(it.key(), it.value());
                promise.resolve(answer);
            });
    connect(&connector, &Connector::phoneCustomizationRequest, this,
            [](const QString &phone, Promise<QString, QString> promise) { promise.resolve(phone); });
    QSignalSpy created(&connector, &Connector::newEntityWasCreated);

    const bool outgoing = setup.value("outgoing").toBool();
    const QString trunk = setup.value("trunk").toString("trunk1");
    const Entity user(EntityType::User, setup.value("user").toInt(0), QString(), "Operator", true);
    const bool create = setup.value("create").toBool();
    const bool deal = setup.value("deal").toBool();
    const MsgBuilder msg(kCallId, MsgBuilder::CallStarted, MsgBuilder::CallStartRegister);
    QSharedPointer<Orvix::Tests::Outcome<CallRegistration, RegistrationFailedReason>> outcome;
    if (setup.value("conversation").toBool()) {
        Orvix::Entities::Conversation conversation("1700000000.2", "SIP/101-00000002", kCallId);
        conversation.setFrom(outgoing ? "101" : caller, outgoing);
        conversation.setTo(outgoing ? caller : "101", !outgoing);
        conversation.setTrunk(trunk);
        conversation.setState(CallStatus::Ringing, kStart);
        outcome = watch(connector.registerConversation(create, deal, conversation, user, msg));
    } else {
        Orvix::Entities::Call call(kCallId);
        call.setFrom(outgoing ? "101" : caller, outgoing);
        call.setTo(outgoing ? caller : "101", !outgoing);
        call.setTrunk(trunk);
        call.updateType();
        call.setState(CallStatus::Ringing, kStart);
        outcome = watch(connector.registerCall(create, deal, call, user, msg));
    }
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(portal.writes, writes);

    if (dealId < 0) {
        QVERIFY(outcome->rejected);
        QCOMPARE(outcome->error, RegistrationFailedReason::Failed);
        const QString reason =
            found == "user" ? QString("Don't register the call because number [%1] belongs to user [9]").arg(kCaller)
                            : QString("Do not register conversation because of customization response");
        QCOMPARE(LogCapture::matching(reason).size(), 1);
        return;
    }
    QVERIFY(outcome->resolved);
    QCOMPARE(outcome->value.callId(), QStringLiteral("externalCall.42"));
    QCOMPARE(outcome->value.activityId(), 77);
    QCOMPARE(outcome->value.dealId(), dealId);
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(portal.registered.value(it.key()).toString(), it.value().toString());
    for (const QString &key : absent)
        QVERIFY2(!portal.registered.contains(key), qPrintable(key));

    // Filed under the call, also for a conversation.
    const QString summary = eventLog->callSummary(Orvix::Entities::Call(kCallId));
    QVERIFY2(summary.contains(event), qPrintable(summary));

    // A new lead or contact is announced once, under the call's id, also when a conversation made it.
    const bool announced = portal.writes.contains("crm.lead.add") || portal.writes.contains("crm.contact.add");
    const bool refused = portal.refusedAdds.contains("lead") || portal.refusedAdds.contains("contact");
    QCOMPARE(created.size(), announced && !refused ? 1 : 0);
    for (const QList<QVariant> &signal : created)
        QCOMPARE(signal.value(0).toString(), kCallId);
}

void tst_ConnectorRegistration::unusualEntityIsNotRegistered_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("registered");

    QTest::newRow("deal") << int(EntityType::Deal) << false;
    QTest::newRow("task") << int(EntityType::Task) << false;
    QTest::newRow("company of the lookup service") << int(EntityType::DoubleGisCompany) << false;
    QTest::newRow("company") << int(EntityType::Company) << true;
}

void tst_ConnectorRegistration::unusualEntityIsNotRegistered()
{
    QFETCH(int, type);
    QFETCH(bool, registered);

    Portal portal;
    portal.install(*m_fake);
    LogCapture capture;
    FixedSearchConnector connector(nullptr, m_client);
    connector.found = Entity(EntityType(type), 31, "Found", QString(), true);
    start(connector, false);

    Orvix::Entities::Call call(kCallId);
    call.setFrom(kCaller, false);
    call.setTo("101", true);
    call.updateType();
    call.setState(CallStatus::Ringing, kStart);
    const auto outcome = watch(connector.registerCall(true, true, call, Entity(), MsgBuilder()));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, registered);
    QCOMPARE(portal.writes.size(), registered ? 1 : 0);
    QCOMPARE(LogCapture::matching("Don't register the call because an unusual entity [").size(), registered ? 0 : 1);
    if (registered)
        QCOMPARE(portal.registered.value("CRM_ENTITY_TYPE").toString(), QStringLiteral("COMPANY"));
}

void tst_ConnectorRegistration::finish_data()
{
    QTest::addColumn<int>("userId");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("customizer"); // "pass", "refuse", or the action it adds
    QTest::addColumn<int>("status");         // of the finish answer
    QTest::addColumn<QJsonObject>("expected");
    QTest::addColumn<int>("outcome");        // -1 resolved, else the rejection reason
    QTest::addColumn<bool>("deleted");

    QTest::newRow("unanswered leg with user -1: default user, 304, no time")
        << -1 << false << "pass" << 200
        << QJsonObject{{"USER_ID", "1"}, {"DURATION", "0"}, {"STATUS_CODE", "304"}, {"ADD_TO_CHAT", "1"}} << -1
        << false;
    QTest::newRow("answered leg: its talk time and 200")
        << 7 << true << "pass" << 200
        << QJsonObject{{"USER_ID", "7"}, {"DURATION", "65"}, {"STATUS_CODE", "200"}, {"CALL_ID", "externalCall.42"}}
        << -1 << false;
    QTest::newRow("action delete: activity deleted, rejected") << 7 << true << "delete" << 200
                                                               << QJsonObject{{"USER_ID", "7"}}
                                                               << int(RegistrationFailedReason::ActivityDeleted)
                                                               << true;
    QTest::newRow("action Delete is no deletion") << 7 << true << "Delete" << 200 << QJsonObject{{"USER_ID", "7"}}
                                                  << -1 << false;
    QTest::newRow("a refused customization finishes as built") << 0 << false << "refuse" << 200
                                                               << QJsonObject{{"USER_ID", "1"}} << -1 << false;
    QTest::newRow("a refused finish") << 7 << true << "pass" << 400 << QJsonObject{{"USER_ID", "7"}}
                                      << int(RegistrationFailedReason::Failed) << false;
}

void tst_ConnectorRegistration::finish()
{
    QFETCH(int, userId);
    QFETCH(bool, answered);
    QFETCH(QString, customizer);
    QFETCH(int, status);
    QFETCH(QJsonObject, expected);
    QFETCH(int, outcome);
    QFETCH(bool, deleted);

    if (status != 200)
        m_fake->pushRestReply("telephony.externalcall.finish", FakeCrmReply::error(status, "ERROR", "no call"));
    m_fake->setRestResult("telephony.externalcall.finish",
                          QJsonObject{{"CALL_ID", "externalCall.42"}, {"CRM_ACTIVITY_ID", "77"}});
    m_fake->setRestResult("crm.activity.delete", true);

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector, false);
    QJsonObject seen;
    connect(&connector, &Connector::finalParamsCustomizationRequest, this,
            [customizer, &seen](const QJsonObject &params, Promise<QJsonObject, QString> promise) {
                seen = params;
                if (customizer == "refuse")
                    return promise.reject("script failed");
                QJsonObject answer = params;
                if (customizer != "pass")
                    answer.insert("action", customizer);
                promise.resolve(answer);
            });

    Orvix::Entities::Conversation conversation("1700000000.2", "SIP/101-00000002", kCallId);
    conversation.setFrom(kCaller, false);
    conversation.setTo("101", true);
    conversation.setState(CallStatus::Ringing, kStart);
    if (answered)
        conversation.setState(CallStatus::Talking, kStart.addSecs(5));
    conversation.setState(CallStatus::Hung, kStart.addSecs(70));
    const QJsonObject entityData{{"type", "lead"}, {"id", 5}};
    const MsgBuilder msg(kCallId, MsgBuilder::ConversationEnded, MsgBuilder::ConversationEndRegister);
    const auto result = watch(connector.finishCall("externalCall.42", userId, conversation, true, entityData, msg));
    QTRY_VERIFY(result->settled);
    if (deleted)
        QTRY_COMPARE(m_fake->restRequests("crm.activity.delete").size(), 1);
    QTRY_COMPARE(connector.pendingRequests(), 0);
    QTRY_VERIFY(!connector.isBusy());

    QCOMPARE(result->resolved, outcome == -1);
    if (outcome != -1)
        QCOMPARE(int(result->error), outcome);
    else
        QCOMPARE(result->value.activityId(), 77);

    // The customizer sees the conversation and the entity data; the portal does not.
    QCOMPARE(seen.value("entity_data").toObject(), entityData);
    QCOMPARE(seen.value("conversation").toObject(), conversation.toJson());
    const auto sent = m_fake->restRequests("telephony.externalcall.finish");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().verb, QByteArray("GET"));
    const QJsonObject params = sent.first().params();
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QCOMPARE(params.value(it.key()).toString(), it.value().toString());
    for (const char *key : {"action", "conversation", "entity_data"})
        QVERIFY2(!params.contains(key), key);

    const auto deletions = m_fake->restRequests("crm.activity.delete");
    QCOMPARE(deletions.size(), deleted ? 1 : 0);
    if (deleted)
        QCOMPARE(deletions.first().params().value("ID").toString(), QStringLiteral("77"));
    QCOMPARE(LogCapture::matching("Failed to finish registration").size(), status == 200 ? 0 : 1);
}

QTEST_GUILESS_MAIN(tst_ConnectorRegistration)
#include "tst_connectorregistration.moc"
