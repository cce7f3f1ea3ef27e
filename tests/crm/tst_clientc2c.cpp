#include "crm/bitrix/clientc2c.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/fakerelayserver.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <chrono>
#include <memory>

using namespace std::chrono_literals;
using Orvix::CRM::Bitrix::ClientC2C;
using Orvix::Tests::FakeRelayReply;
using Orvix::Tests::FakeRelayServer;

namespace {

// Counts what the client sends, so a test can tell one poll from two without waiting for the network.
class CountingHttpClient : public Orvix::HttpClient::HttpClient
{
public:
    Orvix::Utils::Promise<QSharedPointer<Orvix::HttpClient::Response>>
    send(const Orvix::HttpClient::Request &request) override
    {
        ++sent;
        return HttpClient::send(request);
    }
    int sent = 0;
};

// Delays no test waits for: each names the outcome that chose it.
constexpr auto kAfterEvent = 3600001ms;
constexpr auto kAfterNoEvent = 3600002ms;
constexpr auto kAfterError = 3600003ms;

} // namespace

class tst_ClientC2C : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void portalAddress_data();
    void portalAddress();
    void firstPoll();
    void outcome_data();
    void outcome();
    void noHttpAnswerWaitsLikeAnError();
    void noEventKeepsPolling();
    void startTwiceKeepsOneLoop();
    void restartWithPollOutstandingSendsNoSecondPoll();
    void restartWithRepollPendingGivesOnePoll();
    void eventAfterStopIsDropped();

private:
    void useRelay(const QString &url, std::chrono::milliseconds afterNoEvent = kAfterNoEvent);
    std::unique_ptr<FakeRelayServer> m_relay;
    QSharedPointer<CountingHttpClient> m_http;
    std::unique_ptr<ClientC2C> m_client;
};

void tst_ClientC2C::init()
{
    m_relay = std::make_unique<FakeRelayServer>();
    QVERIFY(m_relay->isListening());
    m_http = QSharedPointer<CountingHttpClient>::create();
    m_client = std::make_unique<ClientC2C>(nullptr, m_http);
    m_client->setPortalAddress("https://example.bitrix24.ru/");
    useRelay(m_relay->baseUrl());
}

void tst_ClientC2C::cleanup()
{
    m_client.reset();
    m_relay.reset();
    ClientC2C::setRelay(ClientC2C::Relay());
}

void tst_ClientC2C::useRelay(const QString &url, std::chrono::milliseconds afterNoEvent)
{
    ClientC2C::Relay relay;
    relay.serverUrl = url;
    relay.afterEvent = kAfterEvent;
    relay.afterNoEvent = afterNoEvent;
    relay.afterError = kAfterError;
    ClientC2C::setRelay(relay);
}

void tst_ClientC2C::portalAddress_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("stored");
    QTest::newRow("https and slash") << "https://portal.example.ru/" << "portal.example.ru";
    QTest::newRow("http and slashes") << "http://portal.example.ru///" << "portal.example.ru";
    QTest::newRow("bare host") << "portal.example.ru/" << "portal.example.ru";
    QTest::newRow("scheme in upper case is kept") << "HTTPS://portal.example.ru" << "HTTPS://portal.example.ru";
}

void tst_ClientC2C::portalAddress()
{
    QFETCH(QString, host);
    QFETCH(QString, stored);
    m_client->setPortalAddress(host);
    QCOMPARE(m_client->portalAddress(), stored);
}

void tst_ClientC2C::firstPoll()
{
    QCOMPARE(ClientC2C::defaultServerUrl(), m_relay->baseUrl());
    QSignalSpy polls(m_relay.get(), &FakeRelayServer::pollReceived);
    m_client->start();
    QVERIFY(m_client->isPolling());
    QVERIFY(polls.wait());
    const auto poll = m_relay->polls().value(0);
    QCOMPARE(poll.verb, QByteArray("GET"));
    QCOMPARE(poll.path, QString("/wait_call"));
    QCOMPARE(poll.portalAddress, QString("example.bitrix24.ru"));
    QCOMPARE(poll.header("Connection").toLower(), QByteArray("keep-alive"));
}

void tst_ClientC2C::outcome_data()
{
    QTest::addColumn<FakeRelayReply>("reply");
    QTest::addColumn<QString>("signal"); // "", "start" or "back"
    QTest::addColumn<QVariantList>("arguments");
    QTest::addColumn<qint64>("nextPollIn");
    QTest::addColumn<QString>("logLine");

    const QJsonObject startData{{"USER_ID", "15"},
                                {"PHONE_NUMBER", "+79001112233"},
                                {"LINE_NUMBER", "7"},
                                {"CALL_ID", "externalCall.77"},
                                {"CRM_ENTITY_ID", "9"},
                                {"CRM_ENTITY_TYPE", "CONTACT"}};
    const QJsonObject parsedEvent{{"CALL_ID", "externalCall.77"}, {"CRM_ENTITY_ID", "9"}, {"CRM_ENTITY_TYPE", "CONTACT"}};

    QTest::newRow("no event") << FakeRelayReply::noEvent() << "" << QVariantList() << qint64(kAfterNoEvent.count())
                              << "";
    QTest::newRow("start event, name in mixed case")
        << FakeRelayReply::event({{"event", "OnExternalCallStart"}, {"data", startData}}) << "start"
        << QVariantList{15, "+79001112233", "7", parsedEvent} << qint64(kAfterEvent.count()) << "";
    QTest::newRow("call-back, +7 becomes 8")
        << FakeRelayReply::event({{"event", "onexternalcallbackstart"},
                                  {"data[PHONE_NUMBER]", "+79001112233"},
                                  {"data", QJsonObject{{"LINE_NUMBER", "3"}}}})
        << "back" << QVariantList{"89001112233", "3"} << qint64(kAfterEvent.count()) << "";
    QTest::newRow("call-back, phone only under data")
        << FakeRelayReply::event({{"event", "ONEXTERNALCALLBACKSTART"},
                                  {"data", QJsonObject{{"PHONE_NUMBER", "4951234567"}, {"LINE_NUMBER", "3"}}}})
        << "back" << QVariantList{"4951234567", "3"} << qint64(kAfterEvent.count()) << "";
    QTest::newRow("call-back, +7 only inside the number is kept")
        << FakeRelayReply::event({{"event", "onexternalcallbackstart"}, {"data[PHONE_NUMBER]", "8+7"}})
        << "back" << QVariantList{"8+7", ""} << qint64(kAfterEvent.count()) << "";
    QTest::newRow("unknown event") << FakeRelayReply::event({{"event", "onsomethingelse"}}) << "" << QVariantList()
                                   << qint64(kAfterEvent.count()) << "";
    QTest::newRow("200 without JSON") << FakeRelayReply::error(200, "hello") << "" << QVariantList()
                                      << qint64(kAfterEvent.count()) << "";
    QTest::newRow("503") << FakeRelayReply::error(503, "relay is busy") << "" << QVariantList()
                         << qint64(kAfterError.count())
                         << "An error occurred while executing wait_call: [503] relay is busy";
    QTest::newRow("202 is no event either") << FakeRelayReply::error(202, "queued") << "" << QVariantList()
                                            << qint64(kAfterError.count())
                                            << "An error occurred while executing wait_call: [202] queued";
}

void tst_ClientC2C::outcome()
{
    QFETCH(FakeRelayReply, reply);
    QFETCH(QString, signal);
    QFETCH(QVariantList, arguments);
    QFETCH(qint64, nextPollIn);
    QFETCH(QString, logLine);

    LogCapture log;
    QSignalSpy starts(m_client.get(), &ClientC2C::externalCallStartRequest);
    QSignalSpy backs(m_client.get(), &ClientC2C::externalCallBackStartRequest);
    m_relay->answer(reply);
    m_client->start();
    QTRY_VERIFY(m_client->isPollScheduled());
    QCOMPARE(m_client->scheduledDelay().count(), nextPollIn);
    QCOMPARE(m_http->sent, 1);

    QCOMPARE(starts.size(), signal == "start" ? 1 : 0);
    QCOMPARE(backs.size(), signal == "back" ? 1 : 0);
    if (!signal.isEmpty())
        QCOMPARE(signal == "start" ? starts.first() : backs.first(), arguments);
    if (!logLine.isEmpty())
        QCOMPARE(LogCapture::matching(logLine).size(), 1);
    QCOMPARE(LogCapture::matching("An error occurred").isEmpty(), logLine.isEmpty());
}

void tst_ClientC2C::noHttpAnswerWaitsLikeAnError()
{
    QString closedUrl;
    {
        FakeRelayServer gone;
        closedUrl = gone.baseUrl();
    }
    useRelay(closedUrl);
    LogCapture log;
    m_client->start();
    QTRY_VERIFY(m_client->isPollScheduled());
    QCOMPARE(m_client->scheduledDelay(), kAfterError);
    QCOMPARE(LogCapture::matching("An error occurred while executing wait_call: [0]").size(), 1);
}

void tst_ClientC2C::noEventKeepsPolling()
{
    useRelay(m_relay->baseUrl(), 1ms);
    for (int i = 0; i < 3; ++i)
        m_relay->answer(FakeRelayReply::noEvent());
    m_client->start();
    QTRY_COMPARE(m_relay->waitingPolls(), 1);
    QCOMPARE(m_relay->polls().size(), 4);
    QCOMPARE(m_http->sent, 4);
}

void tst_ClientC2C::startTwiceKeepsOneLoop()
{
    LogCapture log;
    m_client->start();
    m_client->start();
    QCOMPARE(LogCapture::matching("C2C client is already started").size(), 1);
    QCOMPARE(m_http->sent, 1);
    QTRY_COMPARE(m_relay->waitingPolls(), 1);
}

void tst_ClientC2C::restartWithPollOutstandingSendsNoSecondPoll()
{
    m_client->start();
    QTRY_COMPARE(m_relay->waitingPolls(), 1);
    m_client->stop();
    m_client->start();
    QCOMPARE(m_http->sent, 1);

    // The outstanding poll carries the loop on.
    m_relay->answer(FakeRelayReply::noEvent());
    QTRY_VERIFY(m_client->isPollScheduled());
    QCOMPARE(m_client->scheduledDelay(), kAfterNoEvent);
    QCOMPARE(m_http->sent, 1);
}

void tst_ClientC2C::restartWithRepollPendingGivesOnePoll()
{
    m_relay->answer(FakeRelayReply::noEvent());
    m_client->start();
    QTRY_VERIFY(m_client->isPollScheduled());
    m_client->stop();
    QVERIFY(!m_client->isPollScheduled());
    m_client->start();
    QCOMPARE(m_http->sent, 2);
    QVERIFY(m_client->isPolling());
    QVERIFY(!m_client->isPollScheduled());
    QTRY_COMPARE(m_relay->waitingPolls(), 1);
}

void tst_ClientC2C::eventAfterStopIsDropped()
{
    QSignalSpy starts(m_client.get(), &ClientC2C::externalCallStartRequest);
    m_client->start();
    QTRY_COMPARE(m_relay->waitingPolls(), 1);
    m_client->stop();
    m_relay->answer(FakeRelayReply::event({{"event", "onexternalcallstart"}, {"data", QJsonObject{{"USER_ID", "1"}}}}));
    QTRY_VERIFY(!m_client->isPolling());
    QVERIFY(!m_client->isPollScheduled());
    QCOMPARE(starts.size(), 0);
    QCOMPARE(m_http->sent, 1);
}

QTEST_GUILESS_MAIN(tst_ClientC2C)
#include "tst_clientc2c.moc"
