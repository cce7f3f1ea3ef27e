#include "crm/bitrix/callregistration.h"
#include "crm/bitrix/connector.h"
#include "httpclient/httpclient.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::CallRegistration;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

namespace {

// Answers every list with one record of the asked id, without a portal; notes the methods asked.
class ListingConnector : public Orvix::CRM::Bitrix::Connector
{
public:
    ListingConnector()
        : Connector(nullptr, QSharedPointer<Orvix::HttpClient::HttpClient>::create())
    {
    }

    Promise<QJsonValue> run(const QString &method, QJsonObject params, Orvix::HttpClient::Request::Method,
                            const MsgBuilder &) override
    {
        methods << method;
        Promise<QJsonValue> answer;
        const QString id = params.value("filter").toObject().value("ID").toString();
        answer.resolve(QJsonArray{QJsonObject{{"ID", id}, {"TITLE", "Stored"}}});
        return answer;
    }

    QStringList methods;
};

} // namespace

class tst_CallRegistration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ids_data();
    void ids();
    void entityType_data();
    void entityType();
    void leadCreated_data();
    void leadCreated();
    void emptyObject();
    void dealIdAndJson();
    void loadEntity_data();
    void loadEntity();
};

void tst_CallRegistration::ids_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("id");

    QTest::newRow("string") << QJsonValue("15") << 15;
    QTest::newRow("number") << QJsonValue(15) << 15;
    QTest::newRow("letters") << QJsonValue("abc") << 0;
    QTest::newRow("fraction") << QJsonValue(15.5) << 0;
    QTest::newRow("null") << QJsonValue(QJsonValue::Null) << 0;
    QTest::newRow("boolean") << QJsonValue(true) << 0;
    QTest::newRow("array") << QJsonValue(QJsonArray{15}) << 0;
    QTest::newRow("seven digits") << QJsonValue("1234567") << 1234567;
}

void tst_CallRegistration::ids()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, id);

    const CallRegistration fromEntity(QJsonObject{{"CRM_ENTITY_ID", value}});
    QCOMPARE(fromEntity.entityId(), id);
    const CallRegistration fromActivity(QJsonObject{{"CRM_ACTIVITY_ID", value}});
    QCOMPARE(fromActivity.activityId(), id);
    // The created lead is only visible through isLeadCreated and the JSON form.
    const CallRegistration fromLead(QJsonObject{{"CRM_CREATED_LEAD", value}});
    const QJsonObject json = QJsonDocument::fromJson(fromLead.toJson().toUtf8()).object();
    QCOMPARE(json.value("CREATED_LEAD_ID").toInt(), id);
}

void tst_CallRegistration::entityType_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("type");

    QTest::newRow("LEAD") << QJsonValue("LEAD") << 1;
    QTest::newRow("DEAL") << QJsonValue("DEAL") << 2;
    QTest::newRow("CONTACT") << QJsonValue("CONTACT") << 3;
    QTest::newRow("COMPANY") << QJsonValue("COMPANY") << 4;
    QTest::newRow("lower case") << QJsonValue("lead") << 0;
    QTest::newRow("number") << QJsonValue(1) << 0;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << 0;
}

void tst_CallRegistration::entityType()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, type);

    QJsonObject json{{"CALL_ID", "externalCall.1"}};
    if (!value.isUndefined())
        json.insert("CRM_ENTITY_TYPE", value);
    QCOMPARE(static_cast<int>(CallRegistration(json).entityType()), type);
}

void tst_CallRegistration::leadCreated_data()
{
    QTest::addColumn<QJsonObject>("answer");
    QTest::addColumn<bool>("created");

    QTest::newRow("bound to the created lead") << QJsonObject{{"CRM_CREATED_LEAD", 7}, {"CRM_ENTITY_ID", "7"}} << true;
    QTest::newRow("nothing created") << QJsonObject{{"CRM_CREATED_LEAD", 0}, {"CRM_ENTITY_ID", 0}} << false;
    QTest::newRow("created but bound elsewhere") << QJsonObject{{"CRM_CREATED_LEAD", 7}, {"CRM_ENTITY_ID", 9}}
                                                 << false;
}

void tst_CallRegistration::leadCreated()
{
    QFETCH(QJsonObject, answer);
    QFETCH(bool, created);
    QCOMPARE(CallRegistration(answer).isLeadCreated(), created);
}

void tst_CallRegistration::emptyObject()
{
    const CallRegistration registration{QJsonObject()};
    QCOMPARE(registration.callId(), QString());
    QCOMPARE(registration.activityId(), 0);
    QCOMPARE(registration.entityId(), 0);
    QCOMPARE(registration.entityType(), EntityType::Unknown);
    QCOMPARE(registration.toJson(), CallRegistration().toJson());
    QCOMPARE(CallRegistration().toJson(),
             QStringLiteral(R"({"ACTIVITY_ID":0,"CREATED_LEAD_ID":0,"DEAL_ID":0,"ENTITY_ID":0,"ENTITY_TYPE":0,"ID":""})"));
}

void tst_CallRegistration::dealIdAndJson()
{
    CallRegistration registration(QJsonObject{{"CALL_ID", "externalCall.abc"},
                                              {"CRM_ACTIVITY_ID", "31"},
                                              {"CRM_ENTITY_ID", 5},
                                              {"CRM_ENTITY_TYPE", "CONTACT"},
                                              {"DEAL_ID", 99}});
    QCOMPARE(registration.dealId(), 0);
    registration.setDealId(12);
    QCOMPARE(registration.dealId(), 12);
    QCOMPARE(registration.toJson(),
             QStringLiteral(R"({"ACTIVITY_ID":31,"CREATED_LEAD_ID":0,"DEAL_ID":12,"ENTITY_ID":5,"ENTITY_TYPE":3,"ID":"externalCall.abc"})"));
}

void tst_CallRegistration::loadEntity_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("method"); // empty: nothing asked

    QTest::newRow("contact") << "CONTACT" << "crm.contact.list";
    QTest::newRow("company") << "COMPANY" << "crm.company.list";
    QTest::newRow("lead") << "LEAD" << "crm.lead.list";
    QTest::newRow("deal: nothing asked") << "DEAL" << "";
    QTest::newRow("lower-case lead: nothing asked") << "lead" << "";
}

void tst_CallRegistration::loadEntity()
{
    QFETCH(QString, type);
    QFETCH(QString, method);

    const CallRegistration registration(QJsonObject{{"CRM_ENTITY_ID", "15"}, {"CRM_ENTITY_TYPE", type}});
    ListingConnector connector;
    const auto outcome = Orvix::Tests::watch(registration.loadEntity(connector, false, MsgBuilder()));
    QVERIFY(outcome->resolved);
    QCOMPARE(connector.methods, method.isEmpty() ? QStringList() : QStringList{method});
    QCOMPARE(outcome->value.isValid(), !method.isEmpty());
    QCOMPARE(outcome->value.id(), method.isEmpty() ? 0 : 15);
}

QTEST_GUILESS_MAIN(tst_CallRegistration)
#include "tst_callregistration.moc"
