#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crm/bitrix/token.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Connector;
using Orvix::HttpClient::Request;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::Outcome;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;

namespace {

const auto kGet = Request::Get;
const auto kPost = Request::Post;
constexpr int kInterval = 10;

// Answers to the request before its handler's; the handler answers the tries after them.
struct Scripted
{
    FakeCrmReply reply;
    int times = 1;
};

} // namespace

Q_DECLARE_METATYPE(Scripted)
Q_DECLARE_METATYPE(QList<FakeCrmReply>)

class tst_Connector : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void requestsGoOutOneAtATimeInOrder();
    void callsGoSideBySide_data();
    void callsGoSideBySide();
    void uploadsGoOneAtATime();
    void nothingIsSentBeforeStart();
    void unusableIntervalFallsBackToDefault_data();
    void unusableIntervalFallsBackToDefault();
    void haltOnlyForBatch_data();
    void haltOnlyForBatch();
    void answers_data();
    void answers();
    void unauthorisedAnswers_data();
    void unauthorisedAnswers();
    void rateLimit_data();
    void rateLimit();
    void stopDuringRateLimitPause();
    void credentialsFailureClearsBusy();
    void requestLog_data();
    void requestLog();
    void stopDuringLoginSettlesAndQueueRunsAgain();
    void stopDuringRequestKeepsOneInFlight();
    void stopIsHarmlessWhenRepeatedOrEarly();
    void stopFromConnectionLostSlot_data();
    void stopFromConnectionLostSlot();
    void stopKeepsOrEmptiesToken_data();
    void stopKeepsOrEmptiesToken();
    void checkStartAlwaysLogsIn();
    void customRequest_data();
    void customRequest();
    void noSecretInAnyLogLine();

private:
    void start(Connector &connector);
    QJsonObject storedToken() const;

};

void tst_Connector::init()
{
    QVERIFY(setUpPortal());
}

void tst_Connector::cleanup()
{
    tearDownPortal();
}

void tst_Connector::start(Connector &connector)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setRequestTimeout(std::chrono::milliseconds(500));
    connector.start(m_fake->baseUrl(), 1, "admin", "secret", "_c", "en", true, kInterval, 0);
}

QJsonObject tst_Connector::storedToken() const
{
    QFile file(m_dir->path() + "/generated_c/token.json");
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_Connector::requestsGoOutOneAtATimeInOrder()
{
    // Each answer takes many timer intervals; a tick that sent while busy would show as a second request
    // arriving before the first one's promise settled.
    QStringList events;
    for (const QString method : {"a.get", "b.get", "c.get"}) {
        m_fake->setRestHandler(method, [method](const QJsonObject &) {
            return FakeCrmReply::result(method).delayed(8 * kInterval);
        });
    }
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [&events](const FakeCrmRequest &request) {
        if (!request.restMethod().isEmpty())
            events.append("sent " + request.restMethod());
    });

    Connector connector(nullptr, m_client);
    QList<QSharedPointer<Outcome<QJsonValue>>> outcomes;
    for (const QString method : {"a.get", "b.get", "c.get"}) {
        auto promise = connector.run(method, QJsonObject{{"n", method}}, kGet, MsgBuilder());
        promise.onResolve([&events, method](const QJsonValue &) { events.append("done " + method); });
        outcomes.append(watch(promise));
    }
    QCOMPARE(connector.pendingRequests(), 3);
    start(connector);
    QTRY_VERIFY(outcomes.last()->settled);

    QCOMPARE(events, QStringList({"sent a.get", "done a.get", "sent b.get", "done b.get", "sent c.get",
                                  "done c.get"}));
    for (const auto &outcome : outcomes)
        QVERIFY(outcome->resolved);
    QCOMPARE(outcomes.at(1)->value.toString(), QStringLiteral("b.get"));
    // Only the first request needed a login; the others reused the token.
    QCOMPARE(m_fake->requests("/oauth/authorize/").size(), 1);
    QCOMPARE(m_fake->restRequests("b.get").first().params().value("auth").toString(), m_fake->lastAccessToken());
    QVERIFY(!connector.isBusy());
}

void tst_Connector::callsGoSideBySide_data()
{
    QTest::addColumn<int>("calls");        // each sends a first request (answered in 300 ms), then its card
    QTest::addColumn<bool>("firstHeld");   // the first call's first request is never answered
    QTest::addColumn<int>("mostInFlight"); // requests the portal holds at once
    QTest::newRow("an unanswered finish holds no other call") << 2 << true << 2;
    QTest::newRow("six calls at once: four in flight, each call in order") << 6 << false << 4;
}

void tst_Connector::callsGoSideBySide()
{
    QFETCH(int, calls);
    QFETCH(bool, firstHeld);
    QFETCH(int, mostInFlight);
    for (const char *method : {"telephony.externalcall.finish", "telephony.externalcall.show"})
        m_fake->setRestHandler(method, [](const QJsonObject &) { return FakeCrmReply::result(true).delayed(300); });
    if (firstHeld)
        m_fake->pushRestReply("telephony.externalcall.finish", FakeCrmReply::silent());
    QStringList events;
    int inFlight = 0;
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [&](const FakeCrmRequest &request) {
        events.append(request.restMethod() + " " + request.params().value("CALL_ID").toString());
        inFlight = qMax(inFlight, m_fake->unansweredRequests());
    });

    Connector connector(nullptr, m_client);
    start(connector);
    connector.setRequestTimeout(std::chrono::seconds(60)); // the held request waits as long as the test
    QList<QSharedPointer<Outcome<void>>> cards;
    for (int i = 0; i < calls; ++i) {
        const QString call = QString::number(i);
        const MsgBuilder msg(call, MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
        connector.run("telephony.externalcall.finish", QJsonObject{{"CALL_ID", call}}, kGet, msg)
            .onResolve([&events, call](const QJsonValue &) { events.append("done " + call); });
        cards.append(watch(connector.showCallCard(call, 7, msg)));
    }
    // Every other call has its card within 2 s, not after the held request's time-out; a call's card goes
    // only once its first request has its answer.
    for (int i = firstHeld ? 1 : 0; i < calls; ++i)
        QTRY_VERIFY_WITH_TIMEOUT(cards.at(i)->resolved, 2000);
    QCOMPARE(inFlight, mostInFlight);
    for (int i = 0; i < calls; ++i) {
        const int shown = events.indexOf("telephony.externalcall.show " + QString::number(i));
        QCOMPARE(shown >= 0, !firstHeld || i > 0);
        QVERIFY(shown < 0 || events.indexOf("done " + QString::number(i)) < shown);
    }
}

void tst_Connector::uploadsGoOneAtATime()
{
    // Sixteen owed recordings queued at once go one at a time, each file read only when its turn comes
    // (written after the uploads were queued), while a call's register goes at once.
    m_fake->setRestHandler("telephony.externalcall.attachRecord",
                           [](const QJsonObject &) { return FakeCrmReply::result(true).delayed(100); });
    m_fake->setRestResult("telephony.externalcall.register", QJsonObject{{"CALL_ID", "new"}});
    QStringList events;
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [&events](const FakeCrmRequest &request) {
        events.append("sent " + QByteArray::fromBase64(request.form.value("FILE_CONTENT").toString().toLatin1()));
    });
    Connector connector(nullptr, m_client);
    start(connector);
    QStringList expected;
    for (int i = 0; i < 16; ++i) {
        connector.attachRecording("owed", m_dir->filePath(QString::number(i)), MsgBuilder(QString::number(i),
                                  MsgBuilder::CallEnded, MsgBuilder::NoChildTask))
            .onResolve([&events, i]() { events.append(QStringLiteral("attached %1").arg(i)); });
        expected << QStringLiteral("sent recording %1").arg(i) << QStringLiteral("attached %1").arg(i);
    }
    for (int i = 0; i < 16; ++i) {
        QFile file(m_dir->filePath(QString::number(i)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray("recording ") + QByteArray::number(i)) > 0);
    }
    QTRY_VERIFY(events.contains("attached 1"));
    const auto registered = watch(connector.run("telephony.externalcall.register", QJsonObject(), kPost,
                                                MsgBuilder("new", MsgBuilder::CallStarted, MsgBuilder::NoChildTask)));
    QTRY_VERIFY_WITH_TIMEOUT(registered->resolved, 2000);
    QVERIFY(!events.contains("attached 14"));
    // Each upload is sent once the one before has its answer.
    QTRY_COMPARE_WITH_TIMEOUT(events.filter(QRegularExpression("recording|attached")), expected, 20000);
}

void tst_Connector::unusableIntervalFallsBackToDefault_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -1;
}

void tst_Connector::unusableIntervalFallsBackToDefault()
{
    QFETCH(int, interval);
    m_fake->setRestHandler("x.get", [](const QJsonObject &) { return FakeCrmReply::result("ok"); });

    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setTokenBaseDirectory(m_dir->path());
    connector.start(m_fake->baseUrl(), 1, "admin", "secret", "_c", "en", true, interval, 0);
    QCOMPARE(LogCapture::matching(QStringLiteral("Invalid execution_loop_interval_msec")).size(), 1);

    // The queue still runs, at the default pace.
    const auto outcome = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
}

void tst_Connector::nothingIsSentBeforeStart()
{
    m_fake->setRestResult("a.get", 1);
    Connector connector(nullptr, m_client);
    const auto outcome = watch(connector.run("a.get", QJsonObject(), kGet, MsgBuilder()));
    QSignalSpy started(&connector, &Connector::started);
    QTest::qWait(5 * kInterval);
    QVERIFY(m_fake->requests().isEmpty());
    start(connector);
    QCOMPARE(started.count(), 1);
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
}

void tst_Connector::haltOnlyForBatch_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("halt");

    QTest::newRow("batch") << "batch" << true;
    QTest::newRow("other method") << "user.get" << false;
    QTest::newRow("batch is case-sensitive") << "Batch" << false;
}

void tst_Connector::haltOnlyForBatch()
{
    QFETCH(QString, method);
    QFETCH(bool, halt);

    m_fake->setRestResult("user.get", QJsonArray{});
    Connector connector(nullptr, m_client);
    start(connector);
    const QJsonObject params{{"cmd", QJsonObject{{"u", "user.get?ID=1"}}}};
    const auto outcome = watch(connector.run(method, params, kPost, MsgBuilder()));
    QTRY_VERIFY(outcome->settled);

    const auto requests = m_fake->restRequests(method);
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().verb, QByteArray("POST"));
    QCOMPARE(requests.first().params().contains("halt"), halt);
    if (halt) {
        QCOMPARE(requests.first().params().value("halt").toString(), QStringLiteral("0"));
        // The batch answer is reduced to the per-command results.
        QVERIFY(outcome->resolved);
        QCOMPARE(outcome->value.toObject().value("u").toArray(), QJsonArray());
    }
}

void tst_Connector::answers_data()
{
    QTest::addColumn<Scripted>("scripted");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("connectionLost");
    QTest::addColumn<QString>("errorLine");

    QTest::newRow("result object") << Scripted{FakeCrmReply::result(QJsonObject{{"ID", "5"}})} << true << 0 << "";
    QTest::newRow("result false") << Scripted{FakeCrmReply::result(false)} << true << 0 << "";
    QTest::newRow("array body") << Scripted{FakeCrmReply::json(QJsonArray{1, 2})} << false << 0
                                << "An error occurred while executing the query. Reason: Response is not object; "
                                   "Code: 200; Data: {}";
    QTest::newRow("object without result")
        << Scripted{FakeCrmReply::json(QJsonObject{{"total", 0}})} << false << 0
        << "Reason: Response doesn't contain result field; Code: 200; Data: {\"total\":0}";
    QTest::newRow("402") << Scripted{FakeCrmReply::error(402, "PAYMENT_REQUIRED", "x")} << false << 1
                         << "Reason: Bad code; Code: 402;";
    QTest::newRow("one 500: sent again") << Scripted{FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "x")}
                                         << true << 0 << "Server error 500 to x.get; sending it again in 10 ms (try 1 of 5)";
    QTest::newRow("500 five times: sent a fifth time")
        << Scripted{FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "x"), 5} << true << 0 << "in 160 ms (try 5 of 5)";
    QTest::newRow("500 six times") << Scripted{FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "x"), 6} << false
                                   << 1 << "Reason: Bad code; Code: 500;";
    QTest::newRow("503 six times") << Scripted{FakeCrmReply::raw(503, "busy"), 6} << false << 1
                                   << "Code: 503; Data: {}";
    QTest::newRow("503 of another error, six times")
        << Scripted{FakeCrmReply::error(503, "SERVICE_UNAVAILABLE", "x"), 6} << false << 1 << "Code: 503;";
    QTest::newRow("an add answered 502 is not sent again")
        << Scripted{FakeCrmReply::error(502, "BAD_GATEWAY", "x")} << false << 1 << "Reason: Bad code; Code: 502;";
    QTest::newRow("404") << Scripted{FakeCrmReply::error(404, "ERROR_METHOD_NOT_FOUND", "x")} << false << 0
                         << "Reason: Bad code; Code: 404;";
    QTest::newRow("no answer once: sent again") << Scripted{FakeCrmReply::silent()} << true << 0
                                                << "No answer to x.get; sending it again in 10 ms (try 1 of 2)";
    QTest::newRow("an answer cut off by the time-out: sent again")
        << Scripted{FakeCrmReply::result(1).cutOff()} << true << 0
        << "No answer to x.get; sending it again in 10 ms (try 1 of 2)";
    // Each lost answer costs a whole time-out: three in a row count the portal as lost.
    QTest::newRow("never answers: three tries, then the portal is lost")
        << Scripted{FakeCrmReply::silent(), 3} << false << 1 << "Cannot connect to the CRM portal at 127.0.0.1: no answer in time";
    // A closed connection costs no time-out: it gets the tries of a server error. (Qt itself may send a
    // request again on a connection closed before any answer, so the portal closes every one.)
    QTest::newRow("connection closed every time: six tries, then the portal is lost")
        << Scripted{FakeCrmReply::closed(), -1} << false << 1
        << "Connection closed without an answer to x.get; sending it again in 160 ms (try 5 of 5)";
    // No connection at all: nothing reached the portal, so even an add goes again.
    QTest::newRow("an add, connection refused every time: six tries, then the portal is lost")
        << Scripted{FakeCrmReply(), -1} << false << 1
        << "No connection (connection refused) to x.add; sending it again in 160 ms (try 5 of 5)";
    QTest::newRow("an add without an answer is not sent again")
        << Scripted{FakeCrmReply::silent(), 1} << false << 0 << "Cannot connect to the CRM portal at 127.0.0.1: no answer in time";
    // Its caller sends an upload again later: a warning, not a critical line, while the portal is not lost.
    QTest::newRow("an upload without an answer is not sent again here")
        << Scripted{FakeCrmReply::silent(), 1} << false << 0 << "Cannot connect to the CRM portal at 127.0.0.1: no answer in time";
    QTest::newRow("an upload, connection refused every time: six tries, then the portal is lost")
        << Scripted{FakeCrmReply(), -1} << false << 1
        << "No connection (connection refused) to telephony.externalcall.attachRecord; sending it again in 160 ms (try 5 of 5)";
}

void tst_Connector::answers()
{
    QFETCH(Scripted, scripted);
    QFETCH(bool, resolved);
    QFETCH(int, connectionLost);
    QFETCH(QString, errorLine);

    const QString tag = QTest::currentDataTag();
    const QString method = tag.contains("upload") ? "telephony.externalcall.attachRecord" : tag.contains("add") ? "x.add" : "x.get";
    const bool refused = QString(QTest::currentDataTag()).contains("refused");
    m_fake->setRestResult(method, 1);
    for (int i = 0; i < scripted.times; ++i)
        m_fake->pushRestReply(method, scripted.reply);
    if (scripted.times < 0) // every time
        m_fake->setRestHandler(method, [reply = scripted.reply](const QJsonObject &) { return reply; });
    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setRateLimitBackoff(std::chrono::milliseconds(10));
    QSignalSpy lost(&connector, &Connector::connectionLost);
    start(connector);
    if (refused) { // the host goes down once the connector has logged in
        m_fake->setRestResult("y.get", 1);
        const auto loggedIn = watch(connector.run("y.get", QJsonObject(), kGet, MsgBuilder()));
        QTRY_VERIFY(loggedIn->resolved);
        m_fake->setRefusing(true);
    }
    const auto outcome = watch(connector.run(method, QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
    // A refused or lost request goes again up to five times, and nothing else goes in between.
    const bool answered = !refused && scripted.reply.status == 200 && !scripted.reply.neverAnswer
        && !scripted.reply.closeConnection && !scripted.reply.headOnly;
    const int sent = answered ? 1 : resolved ? scripted.times + 1 : scripted.times < 0 ? 6 : qMin(scripted.times, 6);
    // Each try is logged once, whatever Qt sent again on its own; a refused one reaches no portal.
    if (scripted.reply.closeConnection || refused)
        QCOMPARE(LogCapture::matching("\"1_request\":\"" + method + "\"").size(), sent);
    else
        QCOMPARE(m_fake->restRequests(method).size(), sent);
    QCOMPARE(outcome->resolved, resolved);
    QCOMPARE(lost.count(), connectionLost);
    if (!errorLine.isEmpty())
        QCOMPARE(LogCapture::matching(errorLine).size(), 1);
    if (tag.contains("upload")) // critical only once the portal counts as lost
        QCOMPARE(LogCapture::criticals().filter("Cannot connect to the CRM portal").size(), connectionLost);

    // Whatever happened, the connector goes on with the next request.
    m_fake->setRefusing(false);
    m_fake->setRestResult(method, 1);
    const auto next = watch(connector.run(method, QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(next->settled);
    QVERIFY(next->resolved);
}

void tst_Connector::unauthorisedAnswers_data()
{
    QTest::addColumn<QList<FakeCrmReply>>("scripted"); // answers to the request before its handler's
    QTest::addColumn<bool>("expireTokens");            // the portal's clock runs out before the request
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("sent");
    QTest::addColumn<int>("refreshes");
    QTest::addColumn<int>("logins"); // with the one of the next request
    QTest::addColumn<int>("calls");  // requests of as many calls in flight together, the first answers delayed

    const FakeCrmReply invalid = FakeCrmReply::error(401, "invalid_token", "The access token provided is invalid.");
    const FakeCrmReply noAuth = FakeCrmReply::error(401, "NO_AUTH_FOUND", "Wrong authorization data");
    QTest::newRow("expired once: renewed and sent again") << QList<FakeCrmReply>() << true << true << 2 << 1 << 0 << 1;
    QTest::newRow("expired again after the renewal: token emptied")
        << QList<FakeCrmReply>{FakeCrmReply::expiredToken(), FakeCrmReply::expiredToken()} << false << false << 2
        << 1 << 1 << 1;
    QTest::newRow("invalid token: one new login, sent again") << QList<FakeCrmReply>{invalid} << false << true << 2
                                                              << 0 << 1 << 1;
    QTest::newRow("no auth found: one new login, sent again") << QList<FakeCrmReply>{noAuth} << false << true << 2
                                                              << 0 << 1 << 1;
    QTest::newRow("no auth found after the new login: token emptied")
        << QList<FakeCrmReply>{noAuth, noAuth} << false << false << 2 << 0 << 2 << 1;
    const FakeCrmReply expiredLate = FakeCrmReply::expiredToken().delayed(300);
    QTest::newRow("expired, four in flight: one renewal, each sent again once")
        << QList<FakeCrmReply>{expiredLate, expiredLate, expiredLate, expiredLate} << false << true << 2 << 1 << 0
        << 4;
    const FakeCrmReply invalidLate = invalid.delayed(300);
    QTest::newRow("invalid token, four in flight: one new login, each sent again once")
        << QList<FakeCrmReply>{invalidLate, invalidLate, invalidLate, invalidLate} << false << true << 2 << 0 << 1
        << 4;
}

void tst_Connector::unauthorisedAnswers()
{
    QFETCH(QList<FakeCrmReply>, scripted);
    QFETCH(bool, expireTokens);
    QFETCH(bool, resolved);
    QFETCH(int, sent);
    QFETCH(int, refreshes);
    QFETCH(int, logins);
    QFETCH(int, calls);

    m_fake->setRestResult("x.get", 1);
    m_fake->setRestResult("y.get", 2);
    Connector connector(nullptr, m_client);
    QSignalSpy lost(&connector, &Connector::connectionLost);
    start(connector);
    const auto first = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(first->resolved);
    const QString firstToken = storedToken().value("access_token").toString();
    QVERIFY(!firstToken.isEmpty());

    m_fake->clearRequests();
    if (expireTokens)
        m_fake->expireAccessTokens();
    for (const FakeCrmReply &reply : scripted)
        m_fake->pushRestReply("x.get", reply);
    LogCapture capture;
    QList<QSharedPointer<Outcome<QJsonValue>>> seconds;
    for (int i = 0; i < calls; ++i) {
        const MsgBuilder msg(QStringLiteral("1700000000.%1").arg(i), MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
        seconds.append(watch(connector.run("x.get", QJsonObject(), kGet, msg)));
    }
    for (const auto &second : seconds) {
        QTRY_VERIFY(second->settled);
        QCOMPARE(second->resolved, resolved);
    }
    sent *= calls;
    QCOMPARE(m_fake->restRequests("x.get").size(), sent);
    int refreshed = 0;
    for (const FakeCrmRequest &request : m_fake->requests("/oauth/token/"))
        refreshed += request.params().value("grant_type") == QLatin1String("refresh_token");
    QCOMPARE(refreshed, refreshes);
    QCOMPARE(lost.count(), resolved ? 0 : 1);
    QCOMPARE(LogCapture::matching("Invalid token").size(), resolved ? 0 : 1);
    // Every try is in the request log.
    QCOMPARE(LogCapture::matching("\"1_request\":\"x.get\"").size(), sent);
    const QString stored = storedToken().value("access_token").toString();
    if (resolved) {
        QVERIFY(stored != firstToken);
        QCOMPARE(stored, m_fake->lastAccessToken());
    } else {
        QCOMPARE(stored, QString());
    }

    // The next request goes on, with a fresh login when the token was emptied.
    const auto third = watch(connector.run("y.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(third->settled);
    QVERIFY(third->resolved);
    QCOMPARE(m_fake->requests("/oauth/authorize/").size(), logins);
}

void tst_Connector::rateLimit_data()
{
    QTest::addColumn<int>("base");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<QList<int>>("pauses");
    QTest::addColumn<bool>("otherCalls"); // y and z belong to other calls, queued once x was refused

    QTest::newRow("three refusals, pauses doubling") << 20 << 3 << QList<int>{20, 40, 80} << false;
    QTest::newRow("pause capped at thirty times the first") << 1 << 7 << QList<int>{1, 2, 4, 8, 16, 30, 30} << false;
    QTest::newRow("other calls wait for the pause too") << 300 << 1 << QList<int>{300} << true;
}

void tst_Connector::rateLimit()
{
    QFETCH(int, base);
    QFETCH(int, refusals);
    QFETCH(QList<int>, pauses);
    QFETCH(bool, otherCalls);

    for (const char *method : {"x.get", "y.get", "z.get"})
        m_fake->setRestResult(method, method);
    for (int i = 0; i < refusals; ++i)
        m_fake->pushRestReply("x.get", FakeCrmReply::queryLimitExceeded());
    QElapsedTimer clock;
    clock.start();
    QHash<QString, qint64> firstSent;
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [&](const FakeCrmRequest &request) {
        firstSent.insert(request.restMethod(), firstSent.value(request.restMethod(), clock.elapsed()));
    });
    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setRateLimitBackoff(std::chrono::milliseconds(base));
    QSignalSpy lost(&connector, &Connector::connectionLost);
    start(connector);
    const auto x = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    if (otherCalls)
        QTRY_VERIFY(!LogCapture::matching("query limit is exceeded").isEmpty());
    const auto of = [otherCalls](const char *call) {
        return MsgBuilder(otherCalls ? call : "", MsgBuilder::CallStarted, MsgBuilder::NoChildTask);
    };
    const auto y = watch(connector.run("y.get", QJsonObject(), kGet, of("y")));
    const auto z = watch(connector.run("z.get", QJsonObject(), kGet, of("z")));
    QTRY_VERIFY_WITH_TIMEOUT(z->settled, 10000);
    // The portal refused us, not the call: nothing of another call starts before the pause is over.
    if (otherCalls) {
        QVERIFY(y->resolved && firstSent.value("y.get") >= firstSent.value("x.get") + base);
        return;
    }
    QVERIFY(x->resolved);
    QCOMPARE(x->value, QJsonValue("x.get"));
    QVERIFY(y->resolved);
    QVERIFY(z->resolved);
    QCOMPARE(lost.count(), 0);

    // The refused request went again until it passed; nothing was sent in between.
    QStringList order;
    for (const FakeCrmRequest &request : m_fake->requests()) {
        if (!request.restMethod().isEmpty())
            order << request.restMethod();
    }
    QStringList expected;
    for (int i = 0; i <= refusals; ++i)
        expected << "x.get";
    expected << "y.get"
             << "z.get";
    QCOMPARE(order, expected);
    QStringList waits;
    for (const QString &line : LogCapture::matching("query limit is exceeded"))
        waits << line.section(" again in ", 1);
    QStringList expectedWaits;
    for (int pause : pauses)
        expectedWaits << QStringLiteral("%1 ms").arg(pause);
    QCOMPARE(waits, expectedWaits);

    // After a success the pause starts from the beginning again.
    m_fake->pushRestReply("y.get", FakeCrmReply::queryLimitExceeded());
    LogCapture::clear();
    const auto again = watch(connector.run("y.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(again->settled);
    QVERIFY(again->resolved);
    QCOMPARE(LogCapture::matching(QStringLiteral("again in %1 ms").arg(base)).size(), 1);
}

void tst_Connector::stopDuringRateLimitPause()
{
    m_fake->setRestResult("x.get", 1);
    m_fake->pushRestReply("x.get", FakeCrmReply::queryLimitExceeded());
    Connector connector(nullptr, m_client);
    connector.setRateLimitBackoff(std::chrono::milliseconds(50));
    start(connector);
    const auto outcome = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_COMPARE(m_fake->restRequests("x.get").size(), 1);
    QTRY_VERIFY(connector.isBusy()); // waiting to send it again
    connector.stop(false);
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->rejected);
    QVERIFY(!connector.isBusy());
    QCOMPARE(m_fake->restRequests("x.get").size(), 1);
}

void tst_Connector::credentialsFailureClearsBusy()
{
    m_fake->setRestResult("x.get", 1);
    m_fake->setCredentials("admin", "changed");
    LogCapture capture;
    Connector connector(nullptr, m_client);
    QSignalSpy lost(&connector, &Connector::connectionLost);
    QSignalSpy failed(&connector, &Connector::authorizationFailed);
    start(connector);
    const auto first = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(first->settled);
    QVERIFY(!first->resolved);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.first().first().toJsonObject().value("code").toInt(), 200);
    QCOMPARE(lost.count(), 1);
    QCOMPARE(LogCapture::matching("Unable to retrieve authorization data").size(), 1);
    QCOMPARE(LogCapture::matching("Failed to log in to the CRM:").size(), 1);
    QVERIFY(m_fake->restRequests("x.get").isEmpty());

    m_fake->setCredentials("admin", "secret");
    const auto second = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(second->settled);
    QVERIFY(second->resolved);
}

void tst_Connector::requestLog_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("fileContent");

    QTest::newRow("recording upload is redacted") << "telephony.externalcall.attachRecord" << "--redacted--";
    QTest::newRow("other methods are logged as sent") << "telephony.externalcall.other" << "QUJD";
}

void tst_Connector::requestLog()
{
    QFETCH(QString, method);
    QFETCH(QString, fileContent);

    m_fake->setRestResult(method, true);
    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::CallEnded, MsgBuilder::RecordingAttach);
    const auto outcome = watch(connector.run(method, QJsonObject{{"CALL_ID", "c1"}, {"FILE_CONTENT", "QUJD"}}, kPost, msg));
    QTRY_VERIFY(outcome->resolved);
    QCOMPARE(m_fake->restRequests(method).first().params().value("FILE_CONTENT").toString(), QStringLiteral("QUJD"));

    const QStringList lines = LogCapture::matching("\"1_request\"");
    QCOMPARE(lines.size(), 1);
    const QString prefix = msg.build(MsgBuilder::Ok, QString());
    QVERIFY2(lines.first().startsWith(prefix), qPrintable(lines.first()));
    const QJsonObject record = QJsonDocument::fromJson(lines.first().mid(prefix.size()).toUtf8()).object();
    QCOMPARE(record.keys(), QStringList({"1_request", "2_duration", "3_params", "4_response"}));
    QCOMPARE(record.value("1_request").toString(), method);
    QVERIFY(record.value("2_duration").isDouble());
    QCOMPARE(record.value("3_params").toObject(),
             QJsonObject({{"CALL_ID", "c1"}, {"FILE_CONTENT", fileContent}}));
    QCOMPARE(record.value("4_response"), QJsonValue(true));
}

void tst_Connector::stopDuringLoginSettlesAndQueueRunsAgain()
{
    m_fake->setRestResult("x.get", 1);
    m_fake->pushReply("/oauth/authorize/", FakeCrmReply::silent());
    QSignalSpy received(m_fake.data(), &FakeCrmServer::requestReceived);
    Connector connector(nullptr, m_client);
    QSignalSpy lost(&connector, &Connector::connectionLost);
    QSignalSpy failed(&connector, &Connector::authorizationFailed);
    connector.setRequestTimeout(std::chrono::seconds(60)); // only the stop may end the silent login
    connector.setTokenBaseDirectory(m_dir->path());
    connector.start(m_fake->baseUrl(), 1, "admin", "secret", "_c", "en", true, kInterval, 0);
    const auto first = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QVERIFY(received.wait());
    QVERIFY(connector.isBusy());
    QCOMPARE(m_fake->unansweredRequests(), 1);

    connector.stop(false);
    QVERIFY(first->settled);
    QVERIFY(!first->resolved);
    QVERIFY(!connector.isBusy());
    // A deliberate stop is no lost connection and no failed login.
    QCOMPARE(lost.count(), 0);
    QCOMPARE(failed.count(), 0);
    // Nobody waits for the stopped login any more: its request is given up rather than left open beside
    // the next start's login until its time-out.
    QTRY_COMPARE_WITH_TIMEOUT(m_fake->unansweredRequests(), 0, 2000);

    const auto second = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    start(connector);
    QTRY_VERIFY(second->settled);
    QVERIFY(second->resolved);
    QCOMPARE(lost.count(), 0);
}

void tst_Connector::stopDuringRequestKeepsOneInFlight()
{
    QStringList events;
    m_fake->setRestHandler("slow.get", [](const QJsonObject &) {
        return FakeCrmReply::result("slow").delayed(200);
    });
    m_fake->setRestResult("next.get", "next");
    connect(m_fake.data(), &FakeCrmServer::requestReceived, this, [&events](const FakeCrmRequest &request) {
        if (!request.restMethod().isEmpty())
            events.append("sent " + request.restMethod());
    });

    Connector connector(nullptr, m_client);
    start(connector);
    auto slow = connector.run("slow.get", QJsonObject(), kGet, MsgBuilder());
    slow.onResolve([&events](const QJsonValue &) { events.append("done slow.get"); });
    const auto slowOutcome = watch(slow);
    QTRY_COMPARE(events, QStringList({"sent slow.get"}));

    connector.stop(false);
    const auto next = watch(connector.run("next.get", QJsonObject(), kGet, MsgBuilder()));
    start(connector);
    QTRY_VERIFY(next->settled);
    // The answer of the request sent before the stop still counts, and the next one waited for it.
    QVERIFY(slowOutcome->resolved);
    QVERIFY(next->resolved);
    QCOMPARE(events, QStringList({"sent slow.get", "done slow.get", "sent next.get"}));
}

void tst_Connector::stopIsHarmlessWhenRepeatedOrEarly()
{
    Connector connector(nullptr, m_client);
    connector.stop(true);
    connector.stop(false);
    QVERIFY(!connector.isStarted());

    m_fake->setRestResult("x.get", 1);
    start(connector);
    QVERIFY(connector.isStarted());
    connector.stop(false);
    connector.stop(true);
    QVERIFY(!connector.isStarted());

    const auto outcome = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    start(connector);
    QTRY_VERIFY(outcome->resolved);
}

void tst_Connector::stopFromConnectionLostSlot_data()
{
    QTest::addColumn<QString>("login");
    QTest::addColumn<int>("status");

    QTest::newRow("login refused without a request") << "" << 0;
    QTest::newRow("login refused by the portal") << "intruder" << 0;
    QTest::newRow("server error") << "admin" << 500;
}

void tst_Connector::stopFromConnectionLostSlot()
{
    QFETCH(QString, login);
    QFETCH(int, status);

    // The application stops the connector from inside its connectionLost signal, wherever that comes from.
    m_fake->setRestResult("x.get", 1);
    for (int i = 0; status != 0 && i < 6; ++i) // the first try and its five repeats
        m_fake->pushRestReply("x.get", FakeCrmReply::error(status, "ERROR", "x"));
    Connector connector(nullptr, m_client);
    QSignalSpy lost(&connector, &Connector::connectionLost);
    connect(&connector, &Connector::connectionLost, this, [&connector]() { connector.stop(true); });
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setRateLimitBackoff(std::chrono::milliseconds(10));
    connector.start(m_fake->baseUrl(), 1, login, "secret", "_c", "en", true, kInterval, 0);
    const auto first = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(first->settled);
    QVERIFY(!first->resolved);
    QCOMPARE(lost.count(), 1);
    QVERIFY(!connector.isStarted());
    QVERIFY(!connector.isBusy());

    const auto second = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    start(connector);
    QTRY_VERIFY(second->settled);
    QVERIFY(second->resolved);
}

void tst_Connector::stopKeepsOrEmptiesToken_data()
{
    QTest::addColumn<bool>("reset");
    QTest::newRow("keep") << false;
    QTest::newRow("reset") << true;
}

void tst_Connector::stopKeepsOrEmptiesToken()
{
    QFETCH(bool, reset);

    m_fake->setRestResult("x.get", 1);
    Connector connector(nullptr, m_client);
    start(connector);
    const auto outcome = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(outcome->resolved);
    const QString token = m_fake->lastAccessToken();

    connector.stop(reset);
    QCOMPARE(storedToken().value("access_token").toString(), reset ? QString() : token);
}

void tst_Connector::checkStartAlwaysLogsIn()
{
    m_fake->setRestResult("x.get", 1);
    {
        Connector connector(nullptr, m_client);
        start(connector);
        const auto outcome = watch(connector.run("x.get", QJsonObject(), kGet, MsgBuilder()));
        QTRY_VERIFY(outcome->resolved);
        connector.stop(false);
    }
    QCOMPARE(m_fake->requests("/oauth/authorize/").size(), 1);

    Connector check(nullptr, m_client);
    QSignalSpy started(&check, &Connector::started);
    check.setTokenBaseDirectory(m_dir->path());
    check.startForCheck(m_fake->baseUrl(), 1, "admin", "secret", "_c", kInterval);
    const auto outcome = watch(check.run("x.get", QJsonObject(), kGet, MsgBuilder()));
    QTRY_VERIFY(outcome->resolved);
    QCOMPARE(m_fake->requests("/oauth/authorize/").size(), 2);
    QCOMPARE(started.count(), 0);
}

void tst_Connector::customRequest_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<bool>("answerLost"); // the first try is taken and never answered
    QTest::addColumn<int>("sent");

    QTest::newRow("answered") << "app.info" << false << 1;
    QTest::newRow("a read whose answer was lost: sent again") << "user.current" << true << 2;
    QTest::newRow("a write whose answer was lost: sent once") << "im.notify" << true << 1;
    QTest::newRow("a workflow start whose answer was lost: sent once") << "bizproc.workflow.start" << true << 1;
}

void tst_Connector::customRequest()
{
    QFETCH(QString, method);
    QFETCH(bool, answerLost);
    QFETCH(int, sent);

    m_fake->setRestHandler(method, [](const QJsonObject &params) { return FakeCrmReply::result(params.value("q")); });
    if (answerLost)
        m_fake->pushRestReply(method, FakeCrmReply::silent());
    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setRateLimitBackoff(std::chrono::milliseconds(10));
    start(connector);
    const auto outcome = watch(connector.makeCustomRequest(method, QJsonObject{{"q", "Привет"}}, kPost));
    QCOMPARE(LogCapture::matching("Make custom request").size(), 1);
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(m_fake->restRequests(method).size(), sent);
    QCOMPARE(outcome->resolved, sent > 1 || !answerLost);
    if (outcome->resolved)
        QCOMPARE(outcome->value.toString(), QStringLiteral("Привет"));
}

void tst_Connector::noSecretInAnyLogLine()
{
    // The service logs at debug level by default, so no line at any level may carry what opens the CRM:
    // the password, the OAuth client secret, or an access or refresh token, whichever road a request takes.
    const QString password = QStringLiteral("pa55-Секрет");
    const QString clientSecret = Orvix::CRM::Bitrix::applicationCredentials()
                                     .value(Orvix::CRM::Bitrix::ApplicationType::Default)
                                     .second;
    QVERIFY(!clientSecret.isEmpty());
    m_fake->setCredentials("admin", password);
    m_fake->setTokenLifetime(0); // every request after the login refreshes its token
    m_fake->setRestHandler("x.get", [](const QJsonObject &params) { return FakeCrmReply::result(params.value("q")); });
    QStringList secrets{password, clientSecret};

    LogCapture capture;
    Connector connector(nullptr, m_client);
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setRequestTimeout(std::chrono::milliseconds(300));
    connector.setRateLimitBackoff(std::chrono::milliseconds(10));
    connector.start(m_fake->baseUrl(), 1, "admin", password, "_c", "en", true, kInterval, 0);
    // true when resolved, false when rejected; a request left unsettled fails the test by timing out.
    const auto runAndWait = [&connector](Request::Method method) {
        const auto outcome = watch(connector.run("x.get", QJsonObject{{"q", "1"}}, method, MsgBuilder()));
        if (!QTest::qWaitFor([outcome] { return outcome->settled; }, 10000))
            qFatal("a request never settled");
        return outcome->resolved;
    };

    QVERIFY(runAndWait(kGet)); // login
    secrets << m_fake->lastAccessToken() << m_fake->lastRefreshToken();
    QVERIFY(runAndWait(kPost)); // refresh
    secrets << m_fake->lastAccessToken() << m_fake->lastRefreshToken();
    m_fake->pushReply("/oauth/token/", FakeCrmReply::silent()); // the refresh times out, the login too
    m_fake->pushReply("/oauth/token/", FakeCrmReply::silent());
    QVERIFY(!runAndWait(kGet));
    m_fake->setTokenLifetime(3600);
    QVERIFY(runAndWait(kGet)); // login again, after the failed refresh
    secrets << m_fake->lastAccessToken() << m_fake->lastRefreshToken();
    m_fake->pushRestReply("x.get", FakeCrmReply::silent()); // the REST request times out, and goes again
    QVERIFY(runAndWait(kGet));
    m_fake->pushRestReply("x.get", FakeCrmReply::error(500, "INTERNAL", "x"));
    QVERIFY(runAndWait(kPost));
    m_fake->expireAccessTokens(); // 401 expired_token: renewed, sent again
    QVERIFY(runAndWait(kGet));
    secrets << m_fake->lastAccessToken() << m_fake->lastRefreshToken();
    // The key of our event routes, in the handler bound, listed back and unbound, stands in no line.
    const QString key = QStringLiteral("5fa0").repeated(16);
    const QString handler = m_fake->baseUrl() + "/events/external_call_start?key=" + key;
    m_fake->setRestResult("event.bind", true);
    m_fake->setRestResult("event.unbind", true);
    m_fake->setRestResult("event.get", QJsonArray{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", handler}}});
    const auto bound = watch(connector.subscribeToEvent("onexternalcallstart", handler));
    QTRY_VERIFY(bound->resolved);
    const auto unbound = watch(connector.unbindEventHandlers("onexternalcallstart"));
    QTRY_VERIFY(unbound->settled);
    QCOMPARE(unbound->value, 1);
    secrets << key;
    m_fake->pushRestReply("x.get", FakeCrmReply::error(401, "invalid_token", "x"));
    m_fake->pushRestReply("x.get", FakeCrmReply::error(401, "invalid_token", "x")); // also after the new login
    QVERIFY(!runAndWait(kGet));
    secrets << m_fake->lastAccessToken() << m_fake->lastRefreshToken();
    m_fake->setCredentials("admin", "changed"); // a refused login
    QVERIFY(!runAndWait(kGet));
    connector.stop(true);

    const QStringList lines = LogCapture::messages();
    QVERIFY(!lines.filter("No answer from").isEmpty());
    QVERIFY(!lines.filter("Invalid token").isEmpty());
    QVERIFY(!lines.filter("Failed to log in to the CRM:").isEmpty());
    for (const QString &secret : qAsConst(secrets)) {
        QVERIFY(!secret.isEmpty());
        for (const QString &form : {secret, QString::fromLatin1(QUrl::toPercentEncoding(secret))})
            QVERIFY2(lines.filter(form).isEmpty(), qPrintable(lines.filter(form).value(0)));
    }
}

QTEST_GUILESS_MAIN(tst_Connector)
#include "tst_connector.moc"
