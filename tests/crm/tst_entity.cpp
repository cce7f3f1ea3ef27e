#include "crm/entity.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

using Orvix::CRM::Entity;
using Orvix::CRM::EntityType;

class tst_Entity : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void validity_data();
    void validity();
    void phones();
    void shortestPhone_data();
    void shortestPhone();
    void responsiblePhone();
    void hasCommonPhone();
    void linkedRecordsKeepOnlyTheirKind();
    void activeDeals();
    void typeTexts_data();
    void typeTexts();
    void stringToType_data();
    void stringToType();
    void jsonOfDefaultEntity();
    void jsonWithoutLinkedRecords();
    void jsonOfFullEntity();
    void statusSemanticId();
    void dumpForLog();
};

void tst_Entity::validity_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("storedId");

    QTest::newRow("lead with id") << 1 << 15 << true << 15;
    QTest::newRow("lead with id 0") << 1 << 0 << false << 0;
    QTest::newRow("negative id becomes 0") << 3 << -7 << false << 0;
    QTest::newRow("lookup company without id") << 100 << 0 << true << 0;
    QTest::newRow("unknown type with id") << 0 << 15 << false << 15;
    QTest::newRow("user") << 50 << 2 << true << 2;
}

void tst_Entity::validity()
{
    QFETCH(int, type);
    QFETCH(int, id);
    QFETCH(bool, valid);
    QFETCH(int, storedId);

    const Entity entity(static_cast<EntityType>(type), id, QStringLiteral("t"), QStringLiteral("n"), false);
    QCOMPARE(entity.isValid(), valid);
    QCOMPARE(entity.id(), storedId);
    QCOMPARE(entity.toJson().value("is_valid").toBool(), valid);
    QVERIFY(!Entity().isValid());
}

void tst_Entity::phones()
{
    Entity entity(EntityType::Contact, 1, QString(), QString(), true);
    entity.addPhone(QString());
    QVERIFY(entity.phones().isEmpty());
    entity.addPhone("79001234567");
    entity.addPhone("79001234567");
    QCOMPARE(entity.phones(), QStringList({"79001234567", "79001234567"}));
}

void tst_Entity::shortestPhone_data()
{
    QTest::addColumn<QStringList>("phones");
    QTest::addColumn<QString>("shortest");

    QTest::newRow("none") << QStringList() << QString();
    QTest::newRow("earliest of equal length wins") << QStringList({"79001234567", "1234", "5678"}) << "1234";
    QTest::newRow("strictly shorter replaces") << QStringList({"12345", "123", "1234"}) << "123";
    QTest::newRow("one number") << QStringList({"555"}) << "555";
}

void tst_Entity::shortestPhone()
{
    QFETCH(QStringList, phones);
    QFETCH(QString, shortest);

    Entity entity(EntityType::Lead, 1, QString(), QString(), true);
    for (const QString &phone : phones)
        entity.addPhone(phone);
    QCOMPARE(entity.shortestPhone(), shortest);
}

void tst_Entity::responsiblePhone()
{
    Entity lead(EntityType::Lead, 1, QString(), QString(), true);
    QCOMPARE(lead.responsiblePhone(), QString());

    Entity user(EntityType::User, 9, QString(), QStringLiteral("Ann"), false);
    user.addPhone("79005554433");
    user.addPhone("101");
    user.addPhone("102");
    lead.setResponsible(user);
    QCOMPARE(lead.responsiblePhone(), QStringLiteral("101"));
}

void tst_Entity::hasCommonPhone()
{
    Entity entity(EntityType::User, 3, QString(), QString(), false);
    entity.addPhone("101");
    entity.addPhone("79001112233");
    QVERIFY(entity.hasCommonPhone({"79001112233", "5"}));
    QVERIFY(!entity.hasCommonPhone({"9001112233"}));
    QVERIFY(!entity.hasCommonPhone({}));
}

void tst_Entity::linkedRecordsKeepOnlyTheirKind()
{
    Entity lead(EntityType::Lead, 1, QString(), QString(), true);
    const Entity contact(EntityType::Contact, 5, QString(), QStringLiteral("Zoda"), false);
    const Entity company(EntityType::Company, 6, QStringLiteral("Acme"), QString(), false);

    lead.setContact(contact);
    lead.setCompany(company);
    QCOMPARE(lead.contact().value("id").toInt(), 5);
    QCOMPARE(lead.company().value("title").toString(), QStringLiteral("Acme"));

    // A record of the wrong kind clears what was stored.
    lead.setContact(company);
    QVERIFY(lead.contact().isEmpty());
    QVERIFY(lead.toJson().value("contact").isNull());
    lead.setResponsible(contact);
    QVERIFY(lead.toJson().value("responsible").isNull());

    lead.addDeal(contact);
    QVERIFY(lead.deals().isEmpty());
    lead.addDeal(Entity(EntityType::Deal, 8, QStringLiteral("Deal"), QString(), false));
    QCOMPARE(lead.deals().size(), 1);
}

void tst_Entity::activeDeals()
{
    Entity contact(EntityType::Contact, 1, QString(), QString(), true);
    Entity open(EntityType::Deal, 2, QString(), QString(), false);
    Entity closed(EntityType::Deal, 3, QString(), QString(), false);
    closed.setClosed(true);
    Entity open2(EntityType::Deal, 4, QString(), QString(), false);
    contact.addDeal(open);
    contact.addDeal(closed);
    contact.addDeal(open2);

    const QJsonArray active = contact.activeDeals();
    QCOMPARE(active.size(), 2);
    QCOMPARE(active.at(0).toObject().value("id").toInt(), 2);
    QCOMPARE(active.at(1).toObject().value("id").toInt(), 4);
    QCOMPARE(contact.toJson().value("active_deals").toArray(), active);
}

void tst_Entity::typeTexts_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("text");

    QTest::newRow("0") << 0 << "unknown";
    QTest::newRow("1") << 1 << "lead";
    QTest::newRow("2") << 2 << "deal";
    QTest::newRow("3") << 3 << "contact";
    QTest::newRow("4") << 4 << "company";
    QTest::newRow("42") << 42 << "task";
    QTest::newRow("50") << 50 << "user";
    QTest::newRow("100") << 100 << "2gis_company";
    QTest::newRow("7 is not task") << 7 << "unknown";
}

void tst_Entity::typeTexts()
{
    QFETCH(int, type);
    QFETCH(QString, text);
    QCOMPARE(Entity::typeToString(static_cast<EntityType>(type)), text);
}

void tst_Entity::stringToType_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("type");

    QTest::newRow("lead") << "lead" << 1;
    QTest::newRow("LEAD") << "LEAD" << 1;
    QTest::newRow("Contact") << "Contact" << 3;
    QTest::newRow("cOmPaNy") << "cOmPaNy" << 4;
    QTest::newRow("deal is not searched") << "deal" << 0;
    QTest::newRow("user") << "user" << 0;
    QTest::newRow("empty") << "" << 0;
}

void tst_Entity::stringToType()
{
    QFETCH(QString, text);
    QFETCH(int, type);
    QCOMPARE(static_cast<int>(Entity::stringToType(text)), type);
}

void tst_Entity::jsonOfDefaultEntity()
{
    const QJsonObject json = Entity().toJson();
    QCOMPARE(json.size(), 17);
    QCOMPARE(json.value("type").toString(), QStringLiteral("unknown"));
    QCOMPARE(json.value("is_valid").toBool(true), false);
    QVERIFY(json.value("company").isNull());
    QVERIFY(json.value("contact").isNull());
    QVERIFY(json.value("responsible").isNull());
    QCOMPARE(json.value("deals").toArray(), QJsonArray());
    QCOMPARE(json.value("active_deals").toArray(), QJsonArray());
    QCOMPARE(json.value("address").toString(QStringLiteral("missing")), QString());
}

void tst_Entity::jsonWithoutLinkedRecords()
{
    Entity deal(EntityType::Deal, 8, QStringLiteral("Deal"), QString(), false);
    deal.setContact(Entity(EntityType::Contact, 2, QString(), QString(), false));
    const QJsonObject json = deal.toJson();
    const QStringList keys{"address", "company_id", "contact_id", "department", "id", "is_closed",
                           "is_valid", "name", "phones", "responsible_id", "title", "type"};
    QCOMPARE(json.keys(), keys);
}

void tst_Entity::jsonOfFullEntity()
{
    Entity company(EntityType::DoubleGisCompany, 0, QStringLiteral("Acme"), QString(), false);
    company.setAddress(QStringLiteral("Lenina 1"));
    company.addPhone("3432000000");
    company.setContactId(3);
    company.setCompanyId(4);
    company.setResponsibleId(5);
    company.setDepartment(QJsonArray{1, 7});
    const QJsonObject json = company.toJson();
    QCOMPARE(json.value("type").toString(), QStringLiteral("2gis_company"));
    QCOMPARE(json.value("is_valid").toBool(), true);
    QCOMPARE(json.value("address").toString(), QStringLiteral("Lenina 1"));
    QCOMPARE(json.value("phones").toArray(), QJsonArray{"3432000000"});
    QCOMPARE(json.value("contact_id").toInt(), 3);
    QCOMPARE(json.value("company_id").toInt(), 4);
    QCOMPARE(json.value("responsible_id").toInt(), 5);
    QCOMPARE(json.value("department").toArray(), (QJsonArray{1, 7}));
}

void tst_Entity::statusSemanticId()
{
    Entity lead(EntityType::Lead, 1, QString(), QString(), true);
    lead.setStatusSemanticId("S");
    lead.setStatusSemanticId(QString());
    QCOMPARE(lead.statusSemanticId(), QStringLiteral("S"));
}

void tst_Entity::dumpForLog()
{
    Entity lead(EntityType::Lead, 15, QStringLiteral("100%1"), QStringLiteral("Zoda  Durore"), true);
    lead.addPhone("101");
    lead.addPhone("79001112233");
    lead.addDeal(Entity(EntityType::Deal, 8, QString(), QString(), false));
    lead.addDeal(Entity(EntityType::Deal, 9, QString(), QString(), false));

    const QString text = lead.toString();
    QVERIFY(text.startsWith('\n'));
    QStringList lines = text.mid(1).split('\n');
    QCOMPARE(lines.takeLast(), QString());
    QCOMPARE(lines.size(), 12);
    QVERIFY(lines.contains("\t|- id: 15"));
    QVERIFY(lines.contains("\t|- title: 100%1"));
    QVERIFY(lines.contains("\t|- phones: 101, 79001112233"));
    QVERIFY(lines.contains("\t|- deal_ids: 8, 9"));
    QVERIFY(lines.contains("\t|- is_valid: Y"));
    QVERIFY(lead.toString(2).contains("\n\t\t\t|- type: lead\n"));
}

QTEST_GUILESS_MAIN(tst_Entity)
#include "tst_entity.moc"
