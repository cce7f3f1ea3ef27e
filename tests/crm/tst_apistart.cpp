#include "apitestsupport.h"
#include "crm/bitrix/localeshandler.h"
#include "config/generateddirectory.h"
#include "crmtestsupport.h"
#include "support/fakerelayserver.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTcpServer>

using Orvix::CRM::Bitrix::API;
using Orvix::CRM::Bitrix::ClientC2C;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeRelayServer;

// Start of the CRM side: the click-to-call bindings, the external lines, the relay and the clean start.
class tst_ApiStart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bindings_data();
    void bindings();
    void cleanStartEndsEvenWhenEverythingFails();
    void onlyMissingExternalLinesAreAdded();
    void anyRequestVerb_data();
    void anyRequestVerb();
    void tasksKeepOrderAcrossRestart();
    void changedDictionaryRestartsNothing();
    void responsibleOfCaller_data();
    void responsibleOfCaller();
};

void tst_ApiStart::bindings_data()
{
    QTest::addColumn<QJsonObject>("webServer");
    QTest::addColumn<bool>("relay");
    QTest::addColumn<QString>("startHandler"); // KEY: the event key
    QTest::addColumn<QString>("callBackHandler");
    QTest::addColumn<bool>("warned"); // that address_ext is to be filled in
    QTest::addColumn<QJsonArray>("bound"); // what the portal lists before the start
    QTest::addColumn<QStringList>("unbound");

    QTest::newRow("own server by listen host")
        << QJsonObject{{"listen_host", "0.0.0.0"}, {"use_http", true}, {"listen_port", 8077}} << false
        << "http://0.0.0.0:8077/events/external_call_start?key=KEY"
        << "http://0.0.0.0:8077/events/external_call_back_start?key=KEY" << true << QJsonArray() << QStringList();
    QTest::newRow("external address with scheme and port")
        << QJsonObject{{"address_ext", "https://crm.example.org:9443"}, {"use_http", true}, {"listen_port", 8077}}
        << false << "https://crm.example.org:9443/events/external_call_start?key=KEY"
        << "https://crm.example.org:9443/events/external_call_back_start?key=KEY" << false << QJsonArray()
        << QStringList();
    QTest::newRow("bare external host over https")
        << QJsonObject{{"address_ext", "crm.example.org"}, {"use_http", false}, {"listen_port_secure", 8443}} << false
        << "https://crm.example.org:8443/events/external_call_start?key=KEY"
        << "https://crm.example.org:8443/events/external_call_back_start?key=KEY" << false << QJsonArray()
        << QStringList();
    QTest::newRow("relay") << QJsonObject() << true << "RELAY/make_call" << "RELAY/make_call_back" << false
                           << QJsonArray() << QStringList();
    const QString own = "https://crm.example.org:9443/events/external_call_";
    QTest::newRow("own handlers without the key or with an old one are unbound, others stay")
        << QJsonObject{{"address_ext", "https://crm.example.org:9443"}} << false << own + "start?key=KEY"
        << own + "back_start?key=KEY" << false
        << QJsonArray{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", own + "start"}},
                      QJsonObject{{"event", "ONEXTERNALCALLBACKSTART"}, {"handler", own + "back_start?key=old"}},
                      QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", own + "start?key=KEY"}},
                      QJsonObject{{"event", "ONEXTERNALCALLSTART"},
                                  {"handler", "https://other.example.org:9443/events/external_call_start"}}}
        << QStringList{"onexternalcallstart " + own + "start", "onexternalcallbackstart " + own + "back_start?key=old"};
    QTest::newRow("relay: this server's own handlers are unbound, with the key or without")
        << QJsonObject{{"address_ext", "https://crm.example.org:9443"}} << true << "RELAY/make_call"
        << "RELAY/make_call_back" << false
        << QJsonArray{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", own + "start?key=KEY"}},
                      QJsonObject{{"event", "ONEXTERNALCALLBACKSTART"}, {"handler", own + "back_start"}}}
        << QStringList{"onexternalcallstart " + own + "start?key=KEY", "onexternalcallbackstart " + own + "back_start"};
}

void tst_ApiStart::bindings()
{
    QFETCH(QJsonObject, webServer);
    QFETCH(bool, relay);
    QFETCH(QString, startHandler);
    QFETCH(QString, callBackHandler);
    QFETCH(bool, warned);
    QFETCH(QJsonArray, bound);
    QFETCH(QStringList, unbound);

    LogCapture log;
    FakeRelayServer relayServer;
    ClientC2C::Relay relaySettings;
    relaySettings.serverUrl = relayServer.baseUrl();
    ClientC2C::setRelay(relaySettings);

    ApiHarness harness;
    QVERIFY(harness.setUp({}, {{"use_click_to_call_server", relay}}, webServer));
    const QString key = Orvix::Config::GeneratedDirectory::eventKey();
    QVERIFY(!key.isEmpty());
    harness.portal.setRestResult("event.bind", true);
    harness.portal.setRestResult(
        "event.get", QJsonDocument::fromJson(QJsonDocument(bound).toJson().replace("KEY", key.toLatin1())).array());
    QStringList unbinds;
    harness.portal.setRestHandler("event.unbind", [&unbinds](const QJsonObject &params) {
        unbinds.append(params.value("event").toString() + ' ' + params.value("handler").toString());
        return FakeCrmReply::result(true);
    });
    QSignalSpy started(harness.api.get(), &API::started);
    harness.api->start(false);
    QCOMPARE(started.size(), 1);

    QTRY_COMPARE(harness.portal.restRequests("event.bind").size(), 2);
    const auto binds = harness.portal.restRequests("event.bind");
    QCOMPARE(binds.at(0).params().value("event").toString(), QString("onexternalcallstart"));
    QCOMPARE(binds.at(0).params().value("handler").toString(),
             startHandler.replace("RELAY", relayServer.baseUrl()).replace("KEY", key));
    QCOMPARE(binds.at(1).params().value("event").toString(), QString("onexternalcallbackstart"));
    QCOMPARE(binds.at(1).params().value("handler").toString(),
             callBackHandler.replace("RELAY", relayServer.baseUrl()).replace("KEY", key));
    QTRY_COMPARE(harness.portal.restRequests("event.get").size(), 2);
    QTRY_VERIFY(harness.api->connector().pendingRequests() == 0 && !harness.api->connector().isBusy());
    QCOMPARE(unbinds, unbound.replaceInStrings("KEY", key));
    QCOMPARE(harness.api->relayClient().isStarted(), relay);
    if (relay) {
        QTRY_VERIFY(!relayServer.polls().isEmpty());
        QCOMPARE(relayServer.polls().first().portalAddress, harness.portal.baseUrl().mid(7));
        // Click-to-calls fetched from the relay reach the App through the API.
        QSignalSpy callBacks(harness.api.get(), &API::externalCallBackStartRequest);
        relayServer.answer(Orvix::Tests::FakeRelayReply::event(
            {{"event", "onexternalcallbackstart"}, {"data", QJsonObject{{"PHONE_NUMBER", "+79161234567"}}}}));
        QTRY_COMPARE(callBacks.size(), 1);
        QCOMPARE(callBacks.first().value(0).toString(), QString("89161234567"));
    }
    QVERIFY(harness.api->taskQueue().isRunning());
    const QStringList warnings = log.matching(QStringLiteral("The WebServer setting address_ext is empty"));
    QCOMPARE(warnings.size(), warned ? 1 : 0);
    if (warned)
        QVERIFY2(warnings.first().contains(QStringLiteral("bound to http://0.0.0.0:8077,")),
                 qPrintable(warnings.first()));
}

void tst_ApiStart::cleanStartEndsEvenWhenEverythingFails()
{
    ApiHarness harness;
    QVERIFY(harness.setUp({}, {{"use_click_to_call_server", true}, {"use_external_lines", true}}));
    harness.portal.setRouteHandler("/rest/event.get/", [](const FakeCrmRequest &) {
        return FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "down");
    });
    harness.portal.setRouteHandler("/rest/telephony.externalLine.get/", [](const FakeCrmRequest &) {
        return FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "down");
    });
    Orvix::CRM::Bitrix::RegistrationStore saved;
    saved.setFilePath(harness.api->registrationsFilePath());
    QVERIFY(saved.save({{"1700000000.1",
                         {"1700000000.1", Orvix::CRM::Bitrix::CallRegistration({{"CALL_ID", "externalCall.1"}}), false}}}));
    QSignalSpy started(harness.api.get(), &API::started);
    QSignalSpy ended(harness.api.get(), &API::unbindEnded);
    LogCapture log;
    harness.api->start(true);
    // The calls the PBX link forgets leave no registration to restore.
    QVERIFY(saved.load().isEmpty());
    QVERIFY(ended.wait());
    QCOMPARE(ended.size(), 1);
    QCOMPARE(started.size(), 0);
    QVERIFY(harness.portal.restRequests("event.bind").isEmpty());
    QVERIFY(harness.portal.restRequests("telephony.externalLine.add").isEmpty());
    QVERIFY(!harness.api->relayClient().isStarted());
    QVERIFY(harness.api->taskQueue().isRunning());
}

void tst_ApiStart::onlyMissingExternalLinesAreAdded()
{
    ApiHarness harness;
    QVERIFY(harness.setUp({{"trunk_to_source", QJsonObject{{"100", "CALL"}, {"200", "WEB"}}}},
                          {{"use_external_lines", true}}));
    harness.portal.setRestResult("event.bind", true);
    harness.portal.setRestResult("telephony.externalLine.get",
                                 QJsonArray{QJsonObject{{"NUMBER", "100"}, {"NAME", "Main"}}});
    QStringList added;
    harness.portal.setRestHandler("telephony.externalLine.add", [&added](const QJsonObject &params) {
        added.append(params.value("NUMBER").toString());
        return FakeCrmReply::result(QJsonObject{{"ID", "5"}});
    });
    harness.api->start(false);
    QTRY_COMPARE(added, QStringList{"200"});
}

void tst_ApiStart::anyRequestVerb_data()
{
    QTest::addColumn<QString>("verb");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("POST") << "POST" << QByteArray("POST");
    QTest::newRow("post in mixed case") << "pOsT" << QByteArray("POST");
    QTest::newRow("anything else") << "PUT" << QByteArray("GET");
    QTest::newRow("empty") << "" << QByteArray("GET");
}

void tst_ApiStart::anyRequestVerb()
{
    QFETCH(QString, verb);
    QFETCH(QByteArray, sent);
    ApiHarness harness;
    QVERIFY(harness.setUp());
    harness.portal.setRestResult("event.bind", true);
    harness.portal.setRestResult("app.info", QJsonObject{{"ID", "3"}});
    harness.api->start(false);
    Orvix::Utils::Promise<QJsonValue, QString> answer;
    bool resolved = false;
    answer.onResolve([&resolved](const QJsonValue &value) { resolved = value.toObject().value("ID") == "3"; });
    harness.api->sendAnyRequest("app.info", QJsonObject{{"x", "1"}}, verb, answer);
    QTRY_VERIFY(resolved);
    QCOMPARE(harness.portal.restRequests("app.info").first().verb, sent);

    // A failure says why: the portal's refusal, or at once the link that waits for its restart.
    const QString portal = harness.portal.baseUrl();
    harness.portal.pushRestReply("app.info", Orvix::Tests::FakeCrmReply::error(400, "ERROR_METHOD_NOT_FOUND", "x"));
    Orvix::Utils::Promise<QJsonValue, QString> refused;
    auto refusal = Orvix::Tests::watch(refused);
    harness.api->sendAnyRequest("app.info", QJsonObject(), verb, refused);
    QTRY_VERIFY(refusal->settled);
    QCOMPARE(refusal->error,
             QStringLiteral("the CRM portal at %1 answered: the portal refused it (400 ERROR_METHOD_NOT_FOUND)").arg(portal));
    harness.api->stop();
    Orvix::Utils::Promise<QJsonValue, QString> waiting;
    auto stopped = Orvix::Tests::watch(waiting);
    harness.api->sendAnyRequest("app.info", QJsonObject(), verb, waiting);
    QVERIFY(stopped->rejected);
    QCOMPARE(stopped->error,
             QStringLiteral("the CRM portal at %1 cannot be reached: the CRM link waits for its restart").arg(portal));
}

void tst_ApiStart::tasksKeepOrderAcrossRestart()
{
    ApiHarness harness;
    QVERIFY(harness.setUp());
    harness.portal.setRestResult("event.bind", true);
    QList<int> started;
    QList<Orvix::Utils::Promise<void>> promises;
    for (int i = 0; i < 3; ++i) {
        promises.append(Orvix::Utils::Promise<void>());
        harness.api->enqueueTask(Orvix::Utils::MsgBuilder(), [&started, i, promise = promises.last()]() {
            started.append(i);
            return promise;
        });
    }
    harness.api->start(false);
    QTRY_COMPARE(started, QList<int>{0});
    harness.api->stop();
    harness.api->start(false);
    QCOMPARE(harness.api->taskQueue().findChildren<QTimer *>().size(), 1);
    // Queued tasks outlive the restart and still wait for each other.
    harness.api->executeNextTask();
    QCOMPARE(started, QList<int>{0});
    promises.at(0).resolve();
    QTRY_COMPARE(started, (QList<int>{0, 1}));
    harness.api->stop();
    promises.at(1).reject();
    QTRY_COMPARE(started, (QList<int>{0, 1, 2}));
    promises.at(2).resolve();
}

void tst_ApiStart::changedDictionaryRestartsNothing()
{
    ApiHarness harness;
    QVERIFY(harness.setUp());
    harness.portal.setRestResult("event.bind", true);
    QSignalSpy started(harness.api.get(), &API::started);
    QSignalSpy changed(harness.api.get(), &API::localeChanged);
    harness.api->start(false);
    QTRY_COMPARE(harness.portal.restRequests("event.bind").size(), 2);
    const int changesAtStart = changed.size();

    QVERIFY(QDir().mkpath(harness.dir.filePath("locales")));
    QFile file(harness.dir.filePath("locales/_ru.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(R"({"COMMENT": "Комментарий"})");
    file.close();

    harness.api->connector().localesHandler()->setLocale("_ru");
    QCOMPARE(changed.size(), changesAtStart + 1);
    QCOMPARE(changed.last().value(0).toString(), QString("_ru"));
    // Relayed, nothing more: no new start, no new bindings.
    QCOMPARE(started.size(), 1);
    QVERIFY(harness.api->connector().isStarted());
    QCOMPARE(harness.portal.restRequests("event.bind").size(), 2);
}

void tst_ApiStart::responsibleOfCaller_data()
{
    QTest::addColumn<QString>("entityType");
    QTest::addColumn<QString>("responsiblePhone");
    QTest::addColumn<QString>("portal"); // "", "closed", "silent" or "stopped" (the link waits for its restart)
    QTest::addColumn<QJsonObject>("answer"); // {} when rejected
    QTest::addColumn<QString>("failure");    // why it was rejected: "not found", or the reason given
    QTest::newRow("contact") << "CONTACT" << "101" << "" << QJsonObject{{"number", "101"}, {"name", "Anna"}} << "";
    QTest::newRow("company: no name") << "COMPANY" << "101" << "" << QJsonObject{{"number", "101"}} << "";
    QTest::newRow("responsible without a phone") << "CONTACT" << "" << "" << QJsonObject() << "not found";
    QTest::newRow("portal closed: unreachable, not \"not found\"")
        << "CONTACT" << "101" << "closed" << QJsonObject()
        << "the CRM portal at <portal> cannot be reached: connection refused";
    QTest::newRow("portal silent: unreachable once the deadline passed")
        << "CONTACT" << "101" << "silent" << QJsonObject()
        << "the CRM portal at <portal> cannot be reached: no answer within 1 s";
    QTest::newRow("link waiting for its restart: unreachable at once")
        << "CONTACT" << "101" << "stopped" << QJsonObject()
        << "the CRM portal at <portal> cannot be reached: the CRM link waits for its restart";
}

void tst_ApiStart::responsibleOfCaller()
{
    QFETCH(QString, entityType);
    QFETCH(QString, responsiblePhone);
    QFETCH(QString, portal);
    QFETCH(QJsonObject, answer);
    QFETCH(QString, failure);
    QJsonObject bitrix;
    if (portal == "closed") {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        bitrix.insert("host", QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort()));
    }
    ApiHarness harness;
    QVERIFY(harness.setUp({}, bitrix));
    harness.portal.setRestResult("event.bind", true);
    harness.portal.setRestHandler("user.get", [responsiblePhone](const QJsonObject &params) {
        if (params.value("filter").toObject().value("ID").toString() != "7")
            return FakeCrmReply::result(QJsonArray());
        return FakeCrmReply::result(QJsonArray{QJsonObject{
            {"ID", "7"}, {"NAME", "Ivan"}, {"UF_PHONE_INNER", responsiblePhone}, {"ACTIVE", true}}});
    });
    harness.portal.setRestResult("crm.duplicate.findbycomm", QJsonObject{{entityType, QJsonArray{5}}});
    const QJsonArray record{QJsonObject{{"ID", "5"}, {"NAME", "Anna"}, {"TITLE", "Anna"}, {"ASSIGNED_BY_ID", "7"},
                                        {"PHONE", QJsonArray{QJsonObject{{"VALUE", "74951234567"}}}}}};
    for (const char *list : {"crm.contact.list", "crm.company.list"})
        harness.portal.setRestResult(list, record);
    for (const char *list : {"crm.lead.list", "crm.deal.list"})
        harness.portal.setRestResult(list, QJsonArray());
    if (portal == "silent") {
        harness.portal.pushRestReply("batch", FakeCrmReply::silent());
        harness.api->setLookupDeadline(std::chrono::seconds(1));
    }
    if (portal == "closed") { // still trying when the deadline comes
        harness.api->connector().setRateLimitBackoff(std::chrono::seconds(1));
        harness.api->setLookupDeadline(std::chrono::seconds(1));
    }
    harness.api->start(false);
    if (portal == "stopped")
        harness.api->stop();

    const auto data = Orvix::Tests::watch(harness.api->getResponsibleData("74951234567"));
    const auto phone = Orvix::Tests::watch(harness.api->getResponsibleForPhone("74951234567"));
    if (portal == "stopped") // nothing to wait for
        QVERIFY(data->settled && phone->settled);
    QTRY_VERIFY(data->settled && phone->settled);
    QCOMPARE(data->resolved, !answer.isEmpty());
    QCOMPARE(phone->resolved, !answer.isEmpty());
    if (!answer.isEmpty()) {
        QCOMPARE(data->value, answer);
        QCOMPARE(phone->value, answer.value("number").toString());
        return;
    }
    using Orvix::CRM::Bitrix::LookupFailure;
    for (const LookupFailure &error : {data->error, phone->error}) {
        QCOMPARE(error.kind, failure == "not found" ? LookupFailure::NotFound : LookupFailure::Unavailable);
        if (failure != "not found")
            QCOMPARE(error.reason,
                     QString(failure).replace("<portal>", bitrix.value("host").toString(harness.portal.baseUrl())));
    }
}

QTEST_GUILESS_MAIN(tst_ApiStart)
#include "tst_apistart.moc"
