#include "crm/bitrix/connector.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Entity;
using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::Connector;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

// Records of portal answers, phone numbers and the customization requests: nothing here talks to a portal.
class tst_ConnectorRecords : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parseRecords_data();
    void parseRecords();
    void registrationParams_data();
    void registrationParams();
    void phones_data();
    void phones();
    void entityWithPhones_data();
    void entityWithPhones();
    void customization_data();
    void customization();
};

void tst_ConnectorRecords::parseRecords_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("phones");
    QTest::addColumn<QList<int>>("links"); // contact, company, responsible
    QTest::addColumn<bool>("closed");
    QTest::addColumn<QString>("status");

    const QList<int> none{0, 0, 0};
    QTest::newRow("lead: name parts with an empty middle, only PHONE items")
        << 1
        << parse(R"({"ID":"15","TITLE":"Call","NAME":"Zoda","LAST_NAME":"Durore","CONTACT_ID":"4","COMPANY_ID":null,
                     "ASSIGNED_BY_ID":"3","STATUS_SEMANTIC_ID":"P",
                     "PHONE":[{"TYPE_ID":"PHONE","VALUE":"+7 900 1"},{"TYPE_ID":"EMAIL","VALUE":"a@b.c"},
                              {"TYPE_ID":"phone","VALUE":"2"},{"TYPE_ID":"PHONE","VALUE":""}]})")
        << true << 15 << "Call" << "Zoda  Durore" << QStringList{"+7 900 1"} << QList<int>{4, 0, 3} << false << "P";
    QTest::newRow("lead: id as a number is no id")
        << 1 << parse(R"({"ID":15,"TITLE":"Call"})") << false << 0 << "Call" << "" << QStringList() << none << false
        << "";
    QTest::newRow("lead: id that is no integer") << 1 << parse(R"({"ID":"15a"})") << false << 0 << "" << ""
                                                 << QStringList() << none << false << "";
    QTest::newRow("deal closed with Y") << 2 << parse(R"({"ID":"8","TITLE":"Sale","NAME":"X","CLOSED":"Y"})") << true
                                        << 8 << "Sale" << "" << QStringList() << none << true << "";
    QTest::newRow("deal closed with true is open") << 2 << parse(R"({"ID":"8","CLOSED":true})") << true << 8 << ""
                                                   << "" << QStringList() << none << false << "";
    QTest::newRow("deal closed with y is open") << 2 << parse(R"({"ID":"8","CLOSED":"y"})") << true << 8 << "" << ""
                                                << QStringList() << none << false << "";
    QTest::newRow("contact")
        << 3
        << parse(R"({"ID":"7","NAME":"Ann","SECOND_NAME":"B","LAST_NAME":"Cole","COMPANY_ID":"12","ASSIGNED_BY_ID":"5",
                     "STATUS_SEMANTIC_ID":"S","PHONE":[{"TYPE_ID":"PHONE","VALUE":"89001"},{"TYPE_ID":"PHONE","VALUE":"101"}]})")
        << true << 7 << "" << "Ann B Cole" << QStringList{"89001", "101"} << QList<int>{0, 12, 5} << false << "";
    QTest::newRow("company never has a name")
        << 4 << parse(R"({"ID":"12","TITLE":"Acme","NAME":"Bob","PHONE":[{"TYPE_ID":"PHONE","VALUE":"555"}]})")
        << true << 12 << "Acme" << "" << QStringList{"555"} << none << false << "";
    QTest::newRow("user: internal extension first")
        << 50
        << parse(R"({"ID":"9","TITLE":"t","NAME":"Ivan","LAST_NAME":"Petrov","PERSONAL_PHONE":"3","WORK_PHONE":"",
                     "PERSONAL_MOBILE":"+79001","UF_PHONE_INNER":"101","ASSIGNED_BY_ID":"4"})")
        << true << 9 << "" << "Ivan  Petrov" << QStringList{"101", "+79001", "3"} << none << false << "";
    QTest::newRow("user with a work phone only") << 50 << parse(R"({"ID":"9","WORK_PHONE":"2 22"})") << true << 9
                                                 << "" << "" << QStringList{"2 22"} << none << false << "";
    QTest::newRow("empty object") << 1 << QJsonObject() << false << 0 << "" << "" << QStringList() << none << false
                                  << "";
    QTest::newRow("task is no record type") << 42 << parse(R"({"ID":"3","TITLE":"x"})") << false << 0 << "" << ""
                                            << QStringList() << none << false << "";
    QTest::newRow("lookup company is no record type") << 100 << parse(R"({"ID":"3","TITLE":"x"})") << false << 0
                                                      << "" << "" << QStringList() << none << false << "";
}

void tst_ConnectorRecords::parseRecords()
{
    QFETCH(int, type);
    QFETCH(QJsonObject, json);
    QFETCH(bool, valid);
    QFETCH(int, id);
    QFETCH(QString, title);
    QFETCH(QString, name);
    QFETCH(QStringList, phones);
    QFETCH(QList<int>, links);
    QFETCH(bool, closed);
    QFETCH(QString, status);

    const Entity entity = Connector::parseEntity(EntityType(type), json, true);
    QCOMPARE(entity.isValid(), valid);
    QCOMPARE(entity.type(), json.isEmpty() || type == 42 || type == 100 ? EntityType::Unknown : EntityType(type));
    QCOMPARE(entity.id(), id);
    QCOMPARE(entity.title(), title);
    QCOMPARE(entity.name(), name);
    QCOMPARE(entity.phones(), phones);
    QCOMPARE((QList<int>{entity.contactId(), entity.companyId(), entity.responsibleId()}), links);
    QCOMPARE(entity.isClosed(), closed);
    QCOMPARE(entity.statusSemanticId(), status);
    if (type == 50)
        QCOMPARE(Connector::parseUser(parse(R"({"ID":"9","UF_DEPARTMENT":[1,5]})"), false).department(),
                 (QJsonArray{1, 5}));
}

void tst_ConnectorRecords::registrationParams_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("responsible");
    QTest::addColumn<QJsonObject>("expected");
    QTest::addColumn<bool>("warning");

    QTest::newRow("contact with its responsible")
        << 3 << 5
        << QJsonObject{{"PHONE_NUMBER", "89001"}, {"CRM_ENTITY_ID", 7}, {"USER_ID", 5}, {"CRM_CREATE", 1},
                       {"CRM_ENTITY_TYPE", "CONTACT"}}
        << false;
    QTest::newRow("lead without responsible gets the default user")
        << 1 << 0
        << QJsonObject{{"PHONE_NUMBER", "89001"}, {"CRM_ENTITY_ID", 7}, {"USER_ID", 77}, {"CRM_CREATE", 1},
                       {"CRM_ENTITY_TYPE", "LEAD"}}
        << false;
    QTest::newRow("company") << 4 << 2
                             << QJsonObject{{"PHONE_NUMBER", "89001"}, {"CRM_ENTITY_ID", 7}, {"USER_ID", 2},
                                            {"CRM_CREATE", 1}, {"CRM_ENTITY_TYPE", "COMPANY"}}
                             << false;
    QTest::newRow("deal: no type, warning")
        << 2 << 0
        << QJsonObject{{"PHONE_NUMBER", "89001"}, {"CRM_ENTITY_ID", 7}, {"USER_ID", 77}, {"CRM_CREATE", 1}} << true;
}

void tst_ConnectorRecords::registrationParams()
{
    QFETCH(int, type);
    QFETCH(int, responsible);
    QFETCH(QJsonObject, expected);
    QFETCH(bool, warning);

    QTemporaryDir dir;
    Connector connector(nullptr, QSharedPointer<Orvix::HttpClient::HttpClient>::create());
    connector.setTokenBaseDirectory(dir.path());
    connector.setLocalesDirectory(dir.path());
    // Nothing is sent: the default user only comes with a start.
    connector.start("http://127.0.0.1:9", 77, "admin", "secret", "_r", "_en", true, 1000, 0);

    Entity entity(EntityType(type), 7, "Deal 7", "", true);
    entity.setResponsibleId(responsible);
    QJsonObject params{{"PHONE_NUMBER", "89001"}};
    LogCapture capture;
    connector.addEntityToRegistrationParams(params, entity, MsgBuilder());
    QCOMPARE(params, expected);
    QCOMPARE(LogCapture::matching("An unusual entity [").size(), warning ? 1 : 0);
    if (warning)
        QVERIFY(LogCapture::matching("] was found for the number [89001]").first().contains("Deal 7"));
    QCOMPARE(Connector::isRegistrableEntityType(EntityType(type)), !warning);
    connector.stop(false);
}

void tst_ConnectorRecords::phones_data()
{
    QTest::addColumn<QStringList>("prefixes");
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("stripped");
    QTest::addColumn<QStringList>("variants");

    const QStringList russian{"8", "810", "+7"};
    QTest::newRow("810 loses 810, not 8")
        << russian << "81044123456" << "44123456" << QStringList{"44123456", "81044123456", "+744123456", "844123456"};
    QTest::newRow("8 and +7: the longer prefix first")
        << QStringList{"8", "+7"} << "89001234567" << "9001234567"
        << QStringList{"9001234567", "+79001234567", "89001234567"};
    QTest::newRow("extension with blanks around it") << russian << " 101 " << "101" << QStringList{"101"};
    QTest::newRow("five digits without prefix already get variants")
        << russian << "12345" << "12345" << QStringList{"12345", "81012345", "+712345", "812345"};
    QTest::newRow("only one prefix is removed") << QStringList{"8"} << "88001" << "8001" << QStringList{"8001", "88001"};
    QTest::newRow("no prefixes") << QStringList() << "+74951234567" << "+74951234567" << QStringList{"+74951234567"};
    QTest::newRow("blank") << russian << "   " << "" << QStringList();
}

void tst_ConnectorRecords::phones()
{
    QFETCH(QStringList, prefixes);
    QFETCH(QString, phone);
    QFETCH(QString, stripped);
    QFETCH(QStringList, variants);

    Connector connector(nullptr, QSharedPointer<Orvix::HttpClient::HttpClient>::create());
    connector.setPhonePrefixes(prefixes);
    for (int i = 1; i < connector.phonePrefixes().size(); ++i)
        QVERIFY(connector.phonePrefixes().at(i - 1).size() >= connector.phonePrefixes().at(i).size());
    LogCapture capture;
    QCOMPARE(connector.phoneWithoutPrefixes(phone), stripped);
    QCOMPARE(LogCapture::matching("Failed to get phone without prefixes: Phone is empty.").size(),
             stripped.isEmpty() ? 1 : 0);
    QCOMPARE(connector.phoneVariants(phone), variants);
}

void tst_ConnectorRecords::entityWithPhones_data()
{
    QTest::addColumn<QStringList>("phones");
    QTest::addColumn<int>("expectedId");

    QTest::newRow("first valid with a common phone") << QStringList{"2", "555"} << 2;
    QTest::newRow("an invalid entity is skipped though its phone matches") << QStringList{"000"} << 0;
    QTest::newRow("a blank or a plus makes another number") << QStringList{"55 5", "+555"} << 0;
    QTest::newRow("no phones") << QStringList() << 0;
}

void tst_ConnectorRecords::entityWithPhones()
{
    QFETCH(QStringList, phones);
    QFETCH(int, expectedId);

    Entity invalid(EntityType::User, 0, "", "", true);
    invalid.addPhone("000");
    Entity first(EntityType::User, 2, "", "", true);
    first.addPhone("101");
    first.addPhone("555");
    Entity second(EntityType::User, 3, "", "", true);
    second.addPhone("555");
    QCOMPARE(Connector::findEntityWithPhones(phones, {invalid, first, second}).id(), expectedId);
}

void tst_ConnectorRecords::customization_data()
{
    QTest::addColumn<int>("operation"); // phone, search, final, entity fields, task fields
    QTest::addColumn<QString>("answer"); // "change", "reject", "echo"
    QTest::addColumn<QString>("line");

    const QStringList failures{"Failed to customise phone: [boom]", "Failed to customize search params: [boom]",
                               "Failed to customize final params: [boom]",
                               "Failed to customize entity creation params: [boom]",
                               "Failed to customize task creation params: [boom]"};
    const QStringList names{"phone", "search params", "final params", "entity fields", "task fields"};
    for (int operation = 0; operation < 5; ++operation) {
        const QString ok = operation == 0 ? "Result of phone customization: [" : operation == 3 ? "Entity params customization result:{"
                                                                            : operation == 4 ? "Task params customization result:{"
                                                                                             : "\t{";
        QTest::addRow("%s changed", qPrintable(names[operation])) << operation << "change" << ok;
        QTest::addRow("%s refused", qPrintable(names[operation])) << operation << "reject" << failures[operation];
        QTest::addRow("%s echoed", qPrintable(names[operation])) << operation << "echo" << ok;
    }
}

void tst_ConnectorRecords::customization()
{
    QFETCH(int, operation);
    QFETCH(QString, answer);
    QFETCH(QString, line);

    Connector connector(nullptr, QSharedPointer<Orvix::HttpClient::HttpClient>::create());
    const auto answerObject = [answer](const QJsonObject &value, Promise<QJsonObject, QString> promise) {
        if (answer == "change") {
            QJsonObject changed = value;
            changed.insert("changed", true);
            promise.resolve(changed);
        } else if (answer == "reject") {
            promise.reject("boom");
        } else {
            promise.resolve(value);
        }
    };
    connect(&connector, &Connector::phoneCustomizationRequest, this,
            [answer](const QString &phone, Promise<QString, QString> promise) {
                if (answer == "change")
                    promise.resolve("7" + phone);
                else if (answer == "reject")
                    promise.reject("boom");
                else
                    promise.resolve(phone);
            });
    connect(&connector, &Connector::searchParamsCustomizationRequest, this, answerObject);
    connect(&connector, &Connector::finalParamsCustomizationRequest, this, answerObject);
    connect(&connector, &Connector::createEntityCustomizationRequest, this, answerObject);
    connect(&connector, &Connector::taskAddCustomizationRequest, this, answerObject);

    LogCapture capture;
    const QJsonObject input{{"TITLE", "x"}, {"type", "lead"}};
    const MsgBuilder msg("call-1", MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
    if (operation == 0) {
        const auto outcome = watch<QString, void>(connector.customizePhone("101", msg));
        QVERIFY(outcome->resolved);
        QCOMPARE(outcome->value, answer == "change" ? QString("7101") : QString("101"));
    } else {
        Promise<QJsonObject> promise;
        switch (operation) {
        case 1:
            promise = connector.customizeSearchParams(input, msg);
            break;
        case 2:
            promise = connector.customizeFinalParams(input, msg);
            break;
        case 3:
            promise = connector.customizeEntityCreationFields(input, msg);
            break;
        default:
            promise = connector.customizeTaskFields(input, msg);
            break;
        }
        const auto outcome = watch<QJsonObject, void>(promise);
        QVERIFY(outcome->resolved);
        QJsonObject expected = input;
        if (answer == "change")
            expected.insert("changed", true);
        // "type" only tells the customizer what the fields are for; a refusal keeps the fields as built.
        if (operation == 3 && answer != "reject")
            expected.remove("type");
        QCOMPARE(outcome->value, expected);
    }
    const QStringList lines = LogCapture::matching(line);
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.first().contains(answer == "reject" ? "\tError\t" : "\tOK\t"));
    if (operation == 1 || operation == 2)
        QVERIFY(lines.first().contains(operation == 1 ? "Search params customization" : "Final params customization"));
}

QTEST_GUILESS_MAIN(tst_ConnectorRecords)
#include "tst_connectorrecords.moc"
