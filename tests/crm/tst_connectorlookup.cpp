#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "entities/clock.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

using Orvix::CRM::Entity;
using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::Connector;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

namespace {

constexpr int kInterval = 5;

QStringList textList(const QJsonValue &value)
{
    QStringList texts;
    if (value.isArray()) {
        for (const QJsonValue &item : value.toArray())
            texts << item.toString();
    } else if (value.isObject()) {
        for (const QJsonValue &item : value.toObject())
            texts << item.toString();
    } else if (!value.isUndefined()) {
        texts << value.toString();
    }
    return texts;
}

// The records of a small portal, answered the way the portal filters them: every filter member names a
// field whose text must be one of the given values; ids are strings, as the portal writes them.
class Portal
{
public:
    QHash<QString, QJsonArray> records; // "lead", "deal", "contact", "company", "user"
    QJsonValue duplicates = QJsonArray();
    bool duplicateSearchFails = false;

    void install(FakeCrmServer &fake)
    {
        for (const char *type : {"lead", "deal", "contact", "company"}) {
            const QString name = QString::fromLatin1(type);
            fake.setRestHandler(QStringLiteral("crm.%1.list").arg(name), [this, name](const QJsonObject &params) {
                return FakeCrmReply::result(list(name, params));
            });
        }
        fake.setRestHandler("user.get", [this](const QJsonObject &params) {
            QJsonObject filter = params.value("filter").toObject();
            const QJsonObject any = filter.take("0").toObject();
            QJsonArray users = list("user", QJsonObject{{"filter", filter}});
            if (any.isEmpty())
                return FakeCrmReply::result(users);
            // {"0": {"0": {"PERSONAL_MOBILE": [...]}, "1": {"WORK_PHONE": [...]}, ..., "LOGIC": "OR"}}
            QJsonArray matching;
            for (const QJsonValue &user : users) {
                for (const char *part : {"0", "1", "2"}) {
                    const QJsonObject condition = any.value(part).toObject();
                    const QString field = condition.keys().value(0);
                    if (!field.isEmpty() && textList(condition.value(field)).contains(user[field].toString())) {
                        matching.append(user);
                        break;
                    }
                }
            }
            return FakeCrmReply::result(matching);
        });
        fake.setRestHandler("crm.duplicate.findbycomm", [this](const QJsonObject &) {
            if (duplicateSearchFails)
                return FakeCrmReply::error(400, "ERROR_CORE", "Invalid type");
            return FakeCrmReply::result(duplicates);
        });
    }

    QJsonArray list(const QString &type, const QJsonObject &params) const
    {
        const QJsonObject filter = params.value("filter").toObject();
        QJsonArray found;
        for (const QJsonValue &record : records.value(type)) {
            bool matches = true;
            for (auto it = filter.begin(); it != filter.end() && matches; ++it) {
                const QString actual =
                    it.key() == "ACTIVE" ? record["ACTIVE"].toString("Y") : record[it.key()].toString();
                matches = textList(it.value()).contains(actual);
            }
            if (matches)
                found.append(record);
        }
        if (params.value("order").toObject().value("ID").toString() == "DESC") {
            QList<QJsonValue> sorted(found.begin(), found.end());
            std::sort(sorted.begin(), sorted.end(), [](const QJsonValue &a, const QJsonValue &b) {
                return a["ID"].toString().toInt() > b["ID"].toString().toInt();
            });
            found = QJsonArray();
            for (const QJsonValue &record : sorted)
                found.append(record);
        }
        return found;
    }
};

QStringList commandNames(const FakeCrmRequest &batch)
{
    return batch.params().value("cmd").toObject().keys();
}

} // namespace

// Lookups against the fake portal: by phone, by id with linked records, users by phone with the cache.
class tst_ConnectorLookup : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void findByPhone_data();
    void findByPhone();
    void getEntityWithLinked_data();
    void getEntityWithLinked();
    void userCache_data();
    void userCache();
    void userLookupNeverHangs_data();
    void userLookupNeverHangs();

private:
    void start(Connector &connector, int cacheMinutes = 0);

    Portal m_portal;
    QDateTime m_now;
};

void tst_ConnectorLookup::init()
{
    QVERIFY(setUpPortal());
    m_fake->setAuthMode(FakeCrmServer::AuthMode::AnyToken);

    m_portal = Portal();
    m_portal.records["user"] = QJsonArray{
        parse(R"({"ID":"1","NAME":"Ivan","UF_PHONE_INNER":"101","WORK_PHONE":""})"),
        parse(R"({"ID":"2","NAME":"Olga","WORK_PHONE":"+79005550000"})"),
        parse(R"({"ID":"3","NAME":"Gone","UF_PHONE_INNER":"102","ACTIVE":"N"})"),
        parse(R"({"ID":"4","NAME":"Spaced","WORK_PHONE":"900 555 11 22"})"),
    };
    m_portal.records["contact"] = QJsonArray{
        parse(R"({"ID":"7","NAME":"Ann","PHONE":[{"TYPE_ID":"PHONE","VALUE":"101"}]})"),
        parse(R"({"ID":"8","NAME":"Bob","COMPANY_ID":"12","ASSIGNED_BY_ID":"1"})"),
    };
    m_portal.records["company"] = QJsonArray{parse(R"({"ID":"12","TITLE":"Acme"})")};
    m_portal.records["lead"] = QJsonArray{
        parse(R"({"ID":"3","TITLE":"Open lead","STATUS_SEMANTIC_ID":"P","CONTACT_ID":"7","COMPANY_ID":"12",
                  "ASSIGNED_BY_ID":"1"})"),
        parse(R"({"ID":"5","TITLE":"Lost lead","STATUS_SEMANTIC_ID":"F"})"),
    };
    m_portal.records["deal"] = QJsonArray{
        parse(R"({"ID":"21","TITLE":"Company deal","COMPANY_ID":"12","CLOSED":"N"})"),
        parse(R"({"ID":"22","TITLE":"Contact deal","CONTACT_ID":"7","CLOSED":"Y"})"),
    };
    m_portal.install(*m_fake);

    m_now = QDateTime(QDate(2026, 3, 1), QTime(10, 0), Qt::UTC);
    Orvix::Entities::Clock::setSource([this]() { return m_now; });
}

void tst_ConnectorLookup::cleanup()
{
    Orvix::Entities::Clock::setSource({});
    tearDownPortal();
}

void tst_ConnectorLookup::start(Connector &connector, int cacheMinutes)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setLocalesDirectory(m_dir->path());
    connector.setPhonePrefixes({"8", "+7"});
    connector.start(m_fake->baseUrl(), 1, "admin", "secret", "_l", "_en", true, kInterval, cacheMinutes);
}

void tst_ConnectorLookup::findByPhone_data()
{
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QJsonValue>("duplicates"); // undefined: the duplicate search fails inside the batch
    QTest::addColumn<QJsonObject>("customFilters");
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("id"); // 0: rejected
    QTest::addColumn<QStringList>("listCommands"); // empty: no list batch

    const QJsonValue none = QJsonArray();
    QTest::newRow("a user's extension wins over a contact with that phone")
        << "101" << QJsonValue(parse(R"({"CONTACT":["7"]})")) << QJsonObject() << 50 << 1 << QStringList();
    QTest::newRow("a user's own phone, found through a prefix variant")
        << "89005550000" << none << QJsonObject() << 50 << 2 << QStringList();
    QTest::newRow("a stored number with blanks is another number")
        << "89005551122" << none << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("an inactive user is not found") << "102" << none << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("contact and lead: the contact")
        << "84951112233" << QJsonValue(parse(R"({"CONTACT":["7"],"LEAD":["3"]})")) << QJsonObject() << 3 << 7
        << QStringList{"0_contact", "1_lead"};
    QTest::newRow("ids sent as numbers compare the same")
        << "84951112233" << QJsonValue(parse(R"({"CONTACT":[8,7]})")) << QJsonObject() << 3 << 8
        << QStringList{"0_contact"};
    QTest::newRow("company before lead")
        << "84951112233" << QJsonValue(parse(R"({"LEAD":["3"],"COMPANY":["12"]})")) << QJsonObject() << 4 << 12
        << QStringList{"0_company", "1_lead"};
    QTest::newRow("only a lead no longer in progress")
        << "84951112233" << QJsonValue(parse(R"({"LEAD":["5"]})")) << QJsonObject() << 0 << 0
        << QStringList{"0_lead"};
    QTest::newRow("a custom company filter beside the contact ids")
        << "84951112233" << QJsonValue(parse(R"({"CONTACT":["7"]})")) << parse(R"({"company":{"TITLE":"Acme"}})")
        << 3 << 7 << QStringList{"0_contact", "1_company"};
    QTest::newRow("a custom filter alone finds its record")
        << "84951112233" << QJsonValue(parse(R"({"CONTACT":["99"]})")) << parse(R"({"company":{"TITLE":"Acme"}})")
        << 4 << 12 << QStringList{"0_contact", "1_company"};
    QTest::newRow("nothing found") << "84951112233" << none << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("an empty duplicates object")
        << "84951112233" << QJsonValue(QJsonObject()) << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("a list-shaped duplicates answer")
        << "84951112233" << QJsonValue(QJsonArray{"7"}) << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("the duplicate search fails inside the batch")
        << "84951112233" << QJsonValue(QJsonValue::Undefined) << QJsonObject() << 0 << 0 << QStringList();
    QTest::newRow("a blank number asks nothing") << "  " << none << QJsonObject() << 0 << 0 << QStringList();
}

void tst_ConnectorLookup::findByPhone()
{
    QFETCH(QString, phone);
    QFETCH(QJsonValue, duplicates);
    QFETCH(QJsonObject, customFilters);
    QFETCH(int, type);
    QFETCH(int, id);
    QFETCH(QStringList, listCommands);

    m_portal.duplicates = duplicates;
    m_portal.duplicateSearchFails = duplicates.isUndefined();
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.findEntityByPhone(phone, customFilters, MsgBuilder()));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    QCOMPARE(outcome->resolved, id != 0);
    if (id != 0) {
        QCOMPARE(outcome->value.type(), EntityType(type));
        QCOMPARE(outcome->value.id(), id);
    }

    const QList<FakeCrmRequest> batches = m_fake->restRequests("batch");
    if (phone.trimmed().isEmpty()) {
        QCOMPARE(m_fake->requests().size(), 0);
        return;
    }
    QVERIFY(!batches.isEmpty());
    QCOMPARE(batches.first().verb, QByteArray("POST"));
    QCOMPARE(commandNames(batches.first()), (QStringList{"1_user_by_internal", "2_user_by_external", "3_entity"}));
    QCOMPARE(batches.size(), listCommands.isEmpty() ? 1 : 2);
    if (!listCommands.isEmpty()) {
        QCOMPARE(commandNames(batches.last()), listCommands);
        // Newest first, and only leads still in progress unless a custom filter says otherwise.
        const QJsonObject commands = batches.last().params().value("cmd").toObject();
        for (const QString &name : listCommands) {
            const QString command = commands.value(name).toString();
            QVERIFY2(command.contains("order%5BID%5D=DESC") || command.contains("order[ID]=DESC"), qPrintable(command));
            if (name.endsWith("lead"))
                QVERIFY(command.contains("STATUS_SEMANTIC_ID") && command.contains("=P"));
        }
    }
}

void tst_ConnectorLookup::getEntityWithLinked_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("id");
    QTest::addColumn<bool>("linkedFails");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QStringList>("commands");
    QTest::addColumn<QList<int>>("deals");
    QTest::addColumn<QList<int>>("links"); // ids of the linked contact, company, responsible

    QTest::newRow("a contact without company asks for its deals only")
        << 3 << 7 << false << true << QStringList{"deals"} << QList<int>{22} << QList<int>{0, 0, 0};
    QTest::newRow("a lead without deals takes its company's, not its contact's")
        << 1 << 3 << false << true
        << QStringList{"company", "company_deals", "contact", "contact_deals", "deals", "responsible"}
        << QList<int>{21} << QList<int>{7, 12, 1};
    QTest::newRow("a failed linked batch still gives the record")
        << 3 << 8 << true << true << QStringList{"company", "company_deals", "deals", "responsible"} << QList<int>()
        << QList<int>{0, 0, 0};
    QTest::newRow("a missing record") << 4 << 99 << false << false << QStringList() << QList<int>()
                                      << QList<int>{0, 0, 0};
}

void tst_ConnectorLookup::getEntityWithLinked()
{
    QFETCH(int, type);
    QFETCH(int, id);
    QFETCH(bool, linkedFails);
    QFETCH(bool, resolved);
    QFETCH(QStringList, commands);
    QFETCH(QList<int>, deals);
    QFETCH(QList<int>, links);

    if (linkedFails)
        m_fake->pushRestReply("batch", FakeCrmReply::error(400, "ERROR_CORE", "x"));
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.getEntity(EntityType(type), id, true, MsgBuilder()));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    QCOMPARE(outcome->resolved, resolved);

    const QList<FakeCrmRequest> lists = m_fake->restRequests(QStringLiteral("crm.%1.list").arg(Entity::typeToString(EntityType(type))));
    QCOMPARE(lists.size(), 1);
    QCOMPARE(lists.first().verb, QByteArray("GET"));
    QCOMPARE(lists.first().params().value("filter").toObject(),
             (QJsonObject{{"ID", QString::number(id)}, {"ACTIVE", "Y"}}));
    const QList<FakeCrmRequest> batches = m_fake->restRequests("batch");
    QCOMPARE(batches.size(), commands.isEmpty() ? 0 : 1);
    if (!resolved)
        return;
    QCOMPARE(outcome->value.id(), id);
    QCOMPARE(commandNames(batches.first()), commands);
    QCOMPARE(batches.first().verb, QByteArray("GET"));

    QList<int> dealIds;
    for (const QJsonValue &deal : outcome->value.deals())
        dealIds << deal["id"].toInt();
    QCOMPARE(dealIds, deals);
    QCOMPARE((QList<int>{outcome->value.contact().value("id").toInt(), outcome->value.company().value("id").toInt(),
                         outcome->value.responsible().value("id").toInt()}),
             links);
}

void tst_ConnectorLookup::userCache_data()
{
    QTest::addColumn<int>("cacheMinutes");
    QTest::addColumn<int>("laterMinutes");
    QTest::addColumn<bool>("askedAgain");

    QTest::newRow("a hit within the lifetime") << 5 << 4 << false;
    QTest::newRow("asked again after expiry") << 5 << 6 << true;
    QTest::newRow("a lifetime of 0 switches the cache off") << 0 << 0 << true;
}

void tst_ConnectorLookup::userCache()
{
    QFETCH(int, cacheMinutes);
    QFETCH(int, laterMinutes);
    QFETCH(bool, askedAgain);

    Connector connector(nullptr, m_client);
    start(connector, cacheMinutes);
    const MsgBuilder msg("call-9", MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
    const auto first = watch(connector.findUserByPhoneCached("101", msg));
    QTRY_VERIFY_WITH_TIMEOUT(first->settled, 10000);
    QVERIFY(first->resolved);
    QCOMPARE(first->value.id(), 1);
    QCOMPARE(m_fake->restRequests("batch").size(), 1);

    m_now = m_now.addSecs(laterMinutes * 60);
    LogCapture capture;
    const auto second = watch(connector.findUserByPhoneCached("101", msg));
    QTRY_VERIFY_WITH_TIMEOUT(second->settled, 10000);
    QVERIFY(second->resolved);
    QCOMPARE(second->value.id(), 1);
    QCOMPARE(m_fake->restRequests("batch").size(), askedAgain ? 2 : 1);
    const QStringList taken = LogCapture::matching("Take user#101 from cache. Phones: (101)");
    QCOMPARE(taken.size(), askedAgain ? 0 : 1);
    if (!askedAgain)
        QVERIFY(taken.first().contains("User search"));

    // An expired entry is dropped from memory, not only ignored.
    m_now = m_now.addSecs(cacheMinutes * 60 + 1);
    const auto other = watch(connector.findUserByPhoneCached("89005550000", msg));
    QTRY_VERIFY_WITH_TIMEOUT(other->settled, 10000);
    QVERIFY(other->resolved);
    QCOMPARE(connector.cachedUsers(), cacheMinutes == 0 ? 0 : 1);
}

void tst_ConnectorLookup::userLookupNeverHangs_data()
{
    QTest::addColumn<QString>("phone");
    QTest::addColumn<QString>("customized"); // "!": the customizer fails
    QTest::addColumn<int>("id");             // 0: rejected
    QTest::addColumn<int>("batches");

    QTest::newRow("leading zeros stripped") << "00101" << "" << 1 << 1;
    QTest::newRow("the customizer's number is searched") << "555" << "101" << 1 << 1;
    QTest::newRow("a contact is no user") << "84951112233" << "" << 0 << 2;
    QTest::newRow("a blank number asks nothing") << "   " << "" << 0 << 0;
}

void tst_ConnectorLookup::userLookupNeverHangs()
{
    QFETCH(QString, phone);
    QFETCH(QString, customized);
    QFETCH(int, id);
    QFETCH(int, batches);

    m_portal.duplicates = parse(R"({"CONTACT":["7"]})");
    Connector connector(nullptr, m_client);
    connect(&connector, &Connector::phoneCustomizationRequest, this,
            [customized](const QString &number, Promise<QString, QString> promise) {
                promise.resolve(customized.isEmpty() ? number : customized);
            });
    start(connector, 5);
    const auto outcome = watch(connector.findUserByPhone(phone, MsgBuilder()));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    QCOMPARE(outcome->resolved, id != 0);
    if (id != 0)
        QCOMPARE(outcome->value.id(), id);
    QCOMPARE(m_fake->restRequests("batch").size(), batches);
    // Remembered under the number as the caller gave it.
    QCOMPARE(connector.cachedUsers(), id != 0 ? 1 : 0);
    if (id != 0) {
        const auto cached = watch(connector.findUserByPhoneCached(phone, MsgBuilder()));
        QVERIFY(cached->resolved);
        QCOMPARE(m_fake->restRequests("batch").size(), batches);
    }
}

QTEST_GUILESS_MAIN(tst_ConnectorLookup)
#include "tst_connectorlookup.moc"
