#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "entities/clock.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Entity;
using Orvix::CRM::EntityType;
using Orvix::CRM::Bitrix::Activity;
using Orvix::CRM::Bitrix::Connector;
using Orvix::Entities::CallType;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

namespace {

constexpr int kInterval = 5;
constexpr int kDefaultUser = 77;

// The fields as the portal decodes them: every leaf a string.
QJsonObject asForm(const QJsonObject &fields)
{
    QJsonObject form;
    for (auto it = fields.begin(); it != fields.end(); ++it) {
        if (it.value().isObject())
            form.insert(it.key(), asForm(it.value().toObject()));
        else if (it.value().isArray()) {
            QJsonArray items;
            for (const QJsonValue &item : it.value().toArray())
                items.append(item.isObject() ? QJsonValue(asForm(item.toObject())) : QJsonValue(item.toVariant().toString()));
            form.insert(it.key(), items);
        } else {
            form.insert(it.key(), it.value().toVariant().toString());
        }
    }
    return form;
}

} // namespace

Q_DECLARE_METATYPE(FakeCrmReply)

// Writes against the fake portal: new records with their texts, changes read back, deletions, activities,
// tasks and the portal's lists.
class tst_ConnectorWrites : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void create_data();
    void create();
    void updateAndDelete_data();
    void updateAndDelete();
    void activities_data();
    void activities();
    void tasks_data();
    void tasks();
    void portalLists_data();
    void portalLists();

private:
    void start(Connector &connector);

};

void tst_ConnectorWrites::init()
{
    QVERIFY(setUpPortal());
    m_fake->setAuthMode(FakeCrmServer::AuthMode::AnyToken);

    // A dictionary of the test's own, without "COMMENT".
    QFile dictionary(m_dir->path() + "/test.json");
    QVERIFY(dictionary.open(QIODevice::WriteOnly));
    dictionary.write(R"({"niceName":"Test","INCOMING_ENTITY_NAME":"In %1","OUTGOING_ENTITY_NAME":"Out %1",
                         "TASK_DESC":"Call back"})");
    dictionary.close();

    const QDateTime now(QDate(2026, 3, 1), QTime(10, 0), Qt::OffsetFromUTC, 3 * 3600);
    Orvix::Entities::Clock::setSource([now]() { return now; });
}

void tst_ConnectorWrites::cleanup()
{
    Orvix::Entities::Clock::setSource({});
    tearDownPortal();
}

void tst_ConnectorWrites::start(Connector &connector)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setLocalesDirectory(m_dir->path());
    connector.start(m_fake->baseUrl(), kDefaultUser, "admin", "secret", "_w", "test", true, kInterval, 0);
}

void tst_ConnectorWrites::create_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("callType");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QJsonValue>("newId");
    QTest::addColumn<QJsonObject>("fields"); // as sent; {} when it is rejected

    const QJsonArray phone{QJsonObject{{"VALUE", "89001"}}};
    QTest::newRow("lead for an incoming call")
        << "lead" << int(CallType::Incoming) << "" << QJsonValue(31)
        << QJsonObject{{"TITLE", "In 89001"}, {"COMMENTS", "COMMENT"}, {"PHONE", phone}, {"SOURCE_ID", "CALL"},
                       {"ASSIGNED_BY_ID", 5}, {"OPENED", "Y"}};
    QTest::newRow("lead for an outgoing call with its source")
        << "lead" << int(CallType::Outgoing) << "WEB" << QJsonValue(31)
        << QJsonObject{{"TITLE", "Out 89001"}, {"COMMENTS", "COMMENT"}, {"PHONE", phone}, {"SOURCE_ID", "WEB"},
                       {"ASSIGNED_BY_ID", 5}, {"OPENED", "Y"}};
    QTest::newRow("contact") << "contact" << int(CallType::Incoming) << "" << QJsonValue(31)
                             << QJsonObject{{"NAME", "Contact 89001"}, {"COMMENTS", "COMMENT"}, {"PHONE", phone},
                                            {"SOURCE_ID", "CALL"}, {"ASSIGNED_BY_ID", 5}, {"OPENED", "Y"}};
    QTest::newRow("deal without phone, with its contact")
        << "deal" << int(CallType::Local) << "" << QJsonValue(31)
        << QJsonObject{{"TITLE", "Out 89001"}, {"COMMENTS", "COMMENT"}, {"SOURCE_ID", "CALL"}, {"CONTACT_ID", 9},
                       {"ASSIGNED_BY_ID", 5}, {"OPENED", "Y"}};
    QTest::newRow("an id of 0 is no record") << "lead" << int(CallType::Incoming) << "" << QJsonValue(0)
                                             << QJsonObject();
    QTest::newRow("a result that is no number") << "contact" << int(CallType::Incoming) << "" << QJsonValue("abc")
                                                << QJsonObject();
}

void tst_ConnectorWrites::create()
{
    QFETCH(QString, kind);
    QFETCH(int, callType);
    QFETCH(QString, source);
    QFETCH(QJsonValue, newId);
    QFETCH(QJsonObject, fields);

    m_fake->setRestResult(QStringLiteral("crm.%1.add").arg(kind), newId);
    m_fake->setRestHandler(QStringLiteral("crm.%1.list").arg(kind), [](const QJsonObject &params) {
        const QString id = params.value("filter").toObject().value("ID").toString();
        return FakeCrmReply::result(QJsonArray{QJsonObject{{"ID", id}, {"TITLE", "As stored"}}});
    });
    Connector connector(nullptr, m_client);
    QSignalSpy created(&connector, &Connector::newEntityWasCreated);
    start(connector);
    const MsgBuilder msg("call-3", MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
    Promise<Entity> promise;
    if (kind == "lead")
        promise = connector.createLead("89001", CallType(callType), source, 5, msg);
    else if (kind == "contact")
        promise = connector.createContact("89001", source, 5, msg);
    else
        promise = connector.createDeal("89001", CallType(callType), source, 9, 5, msg);
    const auto outcome = watch(promise);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    QCOMPARE(outcome->resolved, !fields.isEmpty());
    QCOMPARE(created.count(), 0);

    const QList<FakeCrmRequest> adds = m_fake->restRequests(QStringLiteral("crm.%1.add").arg(kind));
    QCOMPARE(adds.size(), 1);
    QCOMPARE(adds.first().verb, QByteArray("POST"));
    QCOMPARE(adds.first().params().value("params").toObject(), (QJsonObject{{"REGISTER_SONET_EVENT", "Y"}}));
    const QList<FakeCrmRequest> reads = m_fake->restRequests(QStringLiteral("crm.%1.list").arg(kind));
    if (fields.isEmpty()) {
        QCOMPARE(reads.size(), 0); // nothing to read back
        return;
    }
    QCOMPARE(adds.first().params().value("fields").toObject(), asForm(fields));
    QCOMPARE(reads.size(), 1);
    QCOMPARE(outcome->value.type(), Entity::typeFromString(kind) == EntityType::Unknown ? EntityType::Deal
                                                                                          : Entity::typeFromString(kind));
    QCOMPARE(outcome->value.id(), 31);
    QCOMPARE(outcome->value.title(), QString("As stored"));
}

void tst_ConnectorWrites::updateAndDelete_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("id");
    QTest::addColumn<FakeCrmReply>("answer");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QString>("method");   // empty: nothing sent
    QTest::addColumn<QString>("logLine");

    QTest::newRow("update answered true: the record as read back")
        << "update" << 12 << FakeCrmReply::result(true) << true << "crm.lead.update" << "";
    QTest::newRow("update answered false: no read back")
        << "update" << 12 << FakeCrmReply::result(false) << false << "crm.lead.update" << "";
    QTest::newRow("update answered 1 is no true") << "update" << 12 << FakeCrmReply::result(1) << false
                                                  << "crm.lead.update" << "";
    QTest::newRow("delete") << "delete" << 12 << FakeCrmReply::result(true) << true << "crm.lead.delete"
                            << "\tLead delete\tOK\tEntity [12] was successfully deleted";
    QTest::newRow("delete refused") << "delete" << 12 << FakeCrmReply::error(400, "ERROR_CORE", "Not found") << false
                                    << "crm.lead.delete" << "\tLead delete\tError\tFailed to delete entity [12]";
    QTest::newRow("delete of id 0 sends nothing") << "delete" << 0 << FakeCrmReply::result(true) << false << ""
                                                  << "";
}

void tst_ConnectorWrites::updateAndDelete()
{
    QFETCH(QString, operation);
    QFETCH(int, id);
    QFETCH(FakeCrmReply, answer);
    QFETCH(bool, resolved);
    QFETCH(QString, method);
    QFETCH(QString, logLine);

    m_fake->setRestHandler(method.isEmpty() ? "crm.lead.delete" : method, [answer](const QJsonObject &) { return answer; });
    m_fake->setRestResult("crm.lead.list", QJsonArray{parse(R"({"ID":"12","TITLE":"As stored"})")});
    m_fake->setRestResult("profile", QJsonObject());
    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("call-4", MsgBuilder::CallEnded, MsgBuilder::NoChildTask);
    if (operation == "update") {
        const auto outcome = watch(connector.updateLead(id, QJsonObject{{"TITLE", "Sent"}}, msg));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QCOMPARE(outcome->resolved, resolved);
        if (resolved)
            QCOMPARE(outcome->value.title(), QString("As stored"));
        QCOMPARE(m_fake->restRequests("crm.lead.list").size(), resolved ? 1 : 0);
    } else {
        connector.deleteLead(id, msg);
        // A request queued behind it shows when the deletion has had its answer.
        const auto behind = watch(connector.currentUserProfile());
        QTRY_VERIFY_WITH_TIMEOUT(behind->settled, 10000);
    }

    const QList<FakeCrmRequest> sent = m_fake->restRequests(method.isEmpty() ? "crm.lead.delete" : method);
    QCOMPARE(sent.size(), method.isEmpty() ? 0 : 1);
    if (!method.isEmpty()) {
        QCOMPARE(sent.first().verb, QByteArray("GET"));
        const QJsonObject params = sent.first().params();
        QCOMPARE(params.value(operation == "update" ? "id" : "ID").toString(), QString::number(id));
        if (operation == "update") {
            QCOMPARE(params.value("fields").toObject(), (QJsonObject{{"TITLE", "Sent"}}));
            QCOMPARE(params.value("params").toObject(), (QJsonObject{{"REGISTER_SONET_EVENT", "Y"}}));
        }
    }
    if (!logLine.isEmpty())
        QCOMPARE(LogCapture::matching(logLine).size(), 1);
}

void tst_ConnectorWrites::activities_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("id");
    QTest::addColumn<FakeCrmReply>("answer");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<QByteArray>("verb"); // empty: nothing sent
    QTest::addColumn<QString>("logLine");

    QTest::newRow("read one") << "get" << 5 << FakeCrmReply::result(QJsonArray{parse(R"({"ID":"5","DESCRIPTION":"d"})")})
                              << true << QByteArray("GET") << "";
    QTest::newRow("read with an id below 1 asks nothing")
        << "get" << 0 << FakeCrmReply::result(QJsonArray()) << false << QByteArray() << "";
    QTest::newRow("update answered true") << "update" << 5 << FakeCrmReply::result(true) << true << QByteArray("POST")
                                          << "";
    QTest::newRow("update answered false") << "update" << 5 << FakeCrmReply::result(false) << false
                                           << QByteArray("POST") << "";
    QTest::newRow("delete answered false is still logged as done")
        << "delete" << 5 << FakeCrmReply::result(false) << true << QByteArray("GET")
        << "\tActivity delete\tOK\tActivity [5] was successfully deleted";
    QTest::newRow("delete that fails") << "delete" << 5 << FakeCrmReply::error(400, "ERROR_CORE", "x") << false
                                       << QByteArray("GET") << "\tActivity delete\tError\tFailed to delete activity [5]";
}

void tst_ConnectorWrites::activities()
{
    QFETCH(QString, operation);
    QFETCH(int, id);
    QFETCH(FakeCrmReply, answer);
    QFETCH(bool, resolved);
    QFETCH(QByteArray, verb);
    QFETCH(QString, logLine);

    const QString method = "crm.activity." + (operation == "get" ? QString("list") : operation);
    m_fake->setRestHandler(method, [answer](const QJsonObject &) { return answer; });
    m_fake->setRestResult("profile", QJsonObject());
    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("call-5", MsgBuilder::CallEnded, MsgBuilder::NoChildTask);
    if (operation == "get") {
        const auto outcome = watch(connector.getActivity(id, msg));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QCOMPARE(outcome->resolved, resolved);
        if (resolved) {
            QCOMPARE(outcome->value.id(), id);
            QCOMPARE(outcome->value.description(), QString("d"));
        }
    } else if (operation == "update") {
        const auto outcome = watch(connector.updateActivity(id, QJsonObject{{"DESCRIPTION", "new"}}, msg));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QCOMPARE(outcome->resolved, resolved);
    } else {
        connector.deleteActivity(id, msg);
        const auto behind = watch(connector.currentUserProfile());
        QTRY_VERIFY_WITH_TIMEOUT(behind->settled, 10000);
    }

    const QList<FakeCrmRequest> sent = m_fake->restRequests(method);
    QCOMPARE(sent.size(), verb.isEmpty() ? 0 : 1);
    if (!verb.isEmpty()) {
        QCOMPARE(sent.first().verb, verb);
        const QJsonObject params = sent.first().params();
        if (operation == "get")
            QCOMPARE(params, (QJsonObject{{"order", QJsonObject{{"ID", "ASC"}}},
                                          {"filter", QJsonObject{{"ID", QString::number(id)}}},
                                          {"select", QJsonArray{"*", "COMMUNICATIONS"}},
                                          {"auth", params.value("auth")}}));
        else if (operation == "update")
            QCOMPARE(params.value("fields").toObject(), (QJsonObject{{"DESCRIPTION", "new"}}));
        else
            QCOMPARE(params.value("ID").toString(), QString::number(id));
    }
    if (!logLine.isEmpty())
        QCOMPARE(LogCapture::matching(logLine).size(), 1);
}

void tst_ConnectorWrites::tasks_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("responsible");
    QTest::addColumn<QJsonValue>("answer");
    QTest::addColumn<QJsonObject>("task"); // as sent
    QTest::addColumn<int>("taskId");       // 0: rejected

    const QString deadline = "2026-03-01T08:00:00Z"; // an hour after 10:00 at UTC+3, in UTC
    QTest::newRow("company 7: CO_, its title, the default user")
        << 4 << 7 << "Acme" << "" << 0 << QJsonValue(40)
        << QJsonObject{{"TITLE", "Call back \"Acme\""}, {"RESPONSIBLE_ID", QString::number(kDefaultUser)},
                       {"UF_CRM_TASK", QJsonArray{"CO_7"}}, {"DEADLINE", deadline}}
        << 40;
    QTest::newRow("contact 25: C_, its name before its title")
        << 3 << 25 << "T" << "Ann Cole" << 5 << QJsonValue("41")
        << QJsonObject{{"TITLE", "Call back \"Ann Cole\""}, {"RESPONSIBLE_ID", "5"}, {"UF_CRM_TASK", QJsonArray{"C_25"}},
                       {"DEADLINE", deadline}}
        << 41;
    QTest::newRow("lead and deal bindings") << 1 << 3 << "" << "" << 5 << QJsonValue(42)
                                            << QJsonObject{{"TITLE", "Call back"}, {"RESPONSIBLE_ID", "5"},
                                                           {"UF_CRM_TASK", QJsonArray{"L_3"}}, {"DEADLINE", deadline}}
                                            << 42;
    QTest::newRow("a task answered 0 rejects")
        << 2 << 8 << "Sale" << "" << 5 << QJsonValue(0)
        << QJsonObject{{"TITLE", "Call back \"Sale\""}, {"RESPONSIBLE_ID", "5"}, {"UF_CRM_TASK", QJsonArray{"D_8"}},
                       {"DEADLINE", deadline}}
        << 0;
}

void tst_ConnectorWrites::tasks()
{
    QFETCH(int, type);
    QFETCH(int, id);
    QFETCH(QString, title);
    QFETCH(QString, name);
    QFETCH(int, responsible);
    QFETCH(QJsonValue, answer);
    QFETCH(QJsonObject, task);
    QFETCH(int, taskId);

    m_fake->setRestResult("task.item.add", answer);
    Connector connector(nullptr, m_client);
    start(connector);
    Entity entity(EntityType(type), id, title, name, true);
    entity.setResponsibleId(responsible);
    const auto outcome = watch(connector.createTask(entity, MsgBuilder()));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    QCOMPARE(outcome->resolved, taskId != 0);
    if (taskId != 0)
        QCOMPARE(outcome->value, taskId);
    const QList<FakeCrmRequest> sent = m_fake->restRequests("task.item.add");
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().verb, QByteArray("POST"));
    QCOMPARE(sent.first().params().value("arNewTaskData").toObject(), task);
}

void tst_ConnectorWrites::portalLists_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonValue>("result");
    QTest::addColumn<QJsonObject>("params"); // as the portal decodes them
    QTest::addColumn<QJsonValue>("resolved");

    const QJsonObject profile{{"ID", "1"}, {"ADMIN", true}};
    QTest::newRow("profile") << "profile" << QJsonValue(profile) << QJsonObject() << QJsonValue(profile);
    QTest::newRow("app info") << "app.info" << QJsonValue(QJsonObject{{"CODE", "x"}}) << QJsonObject()
                              << QJsonValue(QJsonObject{{"CODE", "x"}});
    QTest::newRow("sources") << "crm.status.entity.items" << QJsonValue(QJsonArray{QJsonObject{{"STATUS_ID", "CALL"}}})
                             << QJsonObject{{"entityId", "SOURCE"}}
                             << QJsonValue(QJsonArray{QJsonObject{{"STATUS_ID", "CALL"}}});
    const QJsonObject userQuery{
        {"sort", "ID"},
        {"order", "ASC"},
        {"fields",
         QJsonArray{"ID", "UF_PHONE_INNER", "PERSONAL_MOBILE", "WORK_PHONE", "PERSONAL_PHONE", "NAME", "SECOND_NAME",
                    "LAST_NAME"}},
        {"filter", QJsonObject{{"UF_PHONE_INNER", QJsonArray{"101", "102"}}, {"ACTIVE", "Y"}}}};
    QTest::newRow("users") << "user.get" << QJsonValue(QJsonArray{QJsonObject{{"ID", "1"}}}) << userQuery
                           << QJsonValue(QJsonArray{QJsonObject{{"ID", "1"}}});
    QTest::newRow("users answered with no array") << "user.get" << QJsonValue(QJsonObject{{"ID", "1"}}) << userQuery
                                                  << QJsonValue(QJsonArray());
}

void tst_ConnectorWrites::portalLists()
{
    QFETCH(QString, method);
    QFETCH(QJsonValue, result);
    QFETCH(QJsonObject, params);
    QFETCH(QJsonValue, resolved);

    m_fake->setRestResult(method, result);
    Connector connector(nullptr, m_client);
    start(connector);
    QJsonValue value;
    bool settled = false;
    const auto take = [&value, &settled](const QJsonValue &answer) {
        value = answer;
        settled = true;
    };
    const QJsonObject filter{{"UF_PHONE_INNER", QJsonArray{"101", "102"}}};
    if (method == "profile")
        connector.currentUserProfile().onResolve([take](const QJsonObject &answer) { take(answer); });
    else if (method == "app.info")
        connector.appInfo().onResolve([take](const QJsonObject &answer) { take(answer); });
    else if (method == "user.get")
        connector.getUserList(filter, MsgBuilder()).onResolve([take](const QJsonArray &answer) { take(answer); });
    else
        connector.getSourceList().onResolve([take](const QJsonArray &answer) { take(answer); });
    QTRY_VERIFY_WITH_TIMEOUT(settled, 10000);
    QCOMPARE(value, resolved);

    const QList<FakeCrmRequest> sent = m_fake->restRequests(method);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().verb, QByteArray("GET"));
    QJsonObject received = sent.first().params();
    received.remove("auth");
    QCOMPARE(received, params);
}

QTEST_GUILESS_MAIN(tst_ConnectorWrites)
#include "tst_connectorwrites.moc"
