#include "apitestsupport.h"
#include "crmtestsupport.h"
#include "support/fakerelayserver.h"

#include <QJsonArray>
#include <QSignalSpy>

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
};

void tst_ApiStart::bindings_data()
{
    QTest::addColumn<QJsonObject>("webServer");
    QTest::addColumn<bool>("relay");
    QTest::addColumn<QString>("startHandler");
    QTest::addColumn<QString>("callBackHandler");

    QTest::newRow("own server by listen host")
        << QJsonObject{{"listen_host", "0.0.0.0"}, {"use_http", true}, {"listen_port", 8077}} << false
        << "http://0.0.0.0:8077/events/external_call_start" << "http://0.0.0.0:8077/events/external_call_back_start";
    QTest::newRow("external address with scheme and port")
        << QJsonObject{{"address_ext", "https://crm.example.org:9443"}, {"use_http", true}, {"listen_port", 8077}}
        << false << "https://crm.example.org:9443/events/external_call_start"
        << "https://crm.example.org:9443/events/external_call_back_start";
    QTest::newRow("bare external host over https")
        << QJsonObject{{"address_ext", "crm.example.org"}, {"use_http", false}, {"listen_port_secure", 8443}} << false
        << "https://crm.example.org:8443/events/external_call_start"
        << "https://crm.example.org:8443/events/external_call_back_start";
    QTest::newRow("relay") << QJsonObject() << true << "RELAY/make_call" << "RELAY/make_call_back";
}

void tst_ApiStart::bindings()
{
    QFETCH(QJsonObject, webServer);
    QFETCH(bool, relay);
    QFETCH(QString, startHandler);
    QFETCH(QString, callBackHandler);

    FakeRelayServer relayServer;
    ClientC2C::Relay relaySettings;
    relaySettings.serverUrl = relayServer.baseUrl();
    ClientC2C::setRelay(relaySettings);

    ApiHarness harness;
    QVERIFY(harness.setUp({}, {{"use_click_to_call_server", relay}}, webServer));
    harness.portal.setRestResult("event.bind", true);
    QSignalSpy started(harness.api.get(), &API::started);
    harness.api->start(false);
    QCOMPARE(started.size(), 1);

    QTRY_COMPARE(harness.portal.restRequests("event.bind").size(), 2);
    const auto binds = harness.portal.restRequests("event.bind");
    QCOMPARE(binds.at(0).params().value("event").toString(), QString("onexternalcallstart"));
    QCOMPARE(binds.at(0).params().value("handler").toString(),
             startHandler.replace("RELAY", relayServer.baseUrl()));
    QCOMPARE(binds.at(1).params().value("event").toString(), QString("onexternalcallbackstart"));
    QCOMPARE(binds.at(1).params().value("handler").toString(),
             callBackHandler.replace("RELAY", relayServer.baseUrl()));
    QCOMPARE(harness.api->relayClient().isStarted(), relay);
    if (relay) {
        QTRY_VERIFY(!relayServer.polls().isEmpty());
        QCOMPARE(relayServer.polls().first().portalAddress, harness.portal.baseUrl().mid(7));
    }
    QVERIFY(harness.api->taskQueue().isRunning());
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
    QSignalSpy started(harness.api.get(), &API::started);
    QSignalSpy ended(harness.api.get(), &API::unbindEnded);
    LogCapture log;
    harness.api->start(true);
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
    Orvix::Utils::Promise<QJsonValue> answer;
    bool resolved = false;
    answer.onResolve([&resolved](const QJsonValue &value) { resolved = value.toObject().value("ID") == "3"; });
    harness.api->sendAnyRequest("app.info", QJsonObject{{"x", "1"}}, verb, answer);
    QTRY_VERIFY(resolved);
    QCOMPARE(harness.portal.restRequests("app.info").first().verb, sent);
}

QTEST_GUILESS_MAIN(tst_ApiStart)
#include "tst_apistart.moc"
