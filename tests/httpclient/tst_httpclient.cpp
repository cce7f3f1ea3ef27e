#include "httpclient/httpclient.h"
#include "httpclient/peerconnections.h"
#include "utils/urlquery.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonArray>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTest>
#include <QTextCodec>
#include <QThread>

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using Orvix::HttpClient::HttpClient;
using Orvix::HttpClient::Request;
using Orvix::HttpClient::Response;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Utils::Promise;

Q_DECLARE_METATYPE(Orvix::HttpClient::Request::Method)

namespace {

using Outcome = Orvix::Tests::Outcome<QSharedPointer<Response>>;

// Waits for the promise to settle either way; the caller checks which.
Outcome settle(Promise<QSharedPointer<Response>> promise, int timeoutMsec = 10000)
{
    const auto outcome = Orvix::Tests::watch(promise);
    // The callers check resolved/rejected themselves.
    static_cast<void>(QTest::qWaitFor([outcome] { return outcome->settled; }, timeoutMsec));
    return *outcome;
}

// Counts the warnings written while it lives.
struct WarningCounter
{
    WarningCounter()
    {
        count = 0;
        previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
            if (type == QtWarningMsg)
                ++count;
            previous(type, context, text);
        });
    }
    ~WarningCounter() { qInstallMessageHandler(previous); }

    static inline int count = 0;
    static inline QtMessageHandler previous = nullptr;
};

quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class tst_HttpClient : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // As under LC_ALL=C: any text passed through the local 8-bit codec loses its Cyrillic.
        QTextCodec::setCodecForLocale(QTextCodec::codecForName("ISO-8859-1"));
        QCOMPARE(QStringLiteral("Звонок").toLocal8Bit(), QByteArray("??????"));
    }

    void parametersGoWhereTheMethodSays_data()
    {
        QTest::addColumn<Request::Method>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("verb");
        QTest::addColumn<QByteArray>("rawQuery");
        QTest::addColumn<QByteArray>("body");

        QTest::newRow("GET appends to an existing query")
            << Request::Get << "/rest/x/?b=2" << QByteArray("GET") << QByteArray("b=2&a=1") << QByteArray();
        QTest::newRow("GET without a query") << Request::Get << "/rest/x/" << QByteArray("GET") << QByteArray("a=1")
                                             << QByteArray();
        QTest::newRow("code 0 is GET") << Request::Unspecified << "/rest/x/" << QByteArray("GET") << QByteArray("a=1")
                                       << QByteArray();
        QTest::newRow("unknown code is GET") << Request::Method(9) << "/rest/x/" << QByteArray("GET")
                                             << QByteArray("a=1") << QByteArray();
        QTest::newRow("POST keeps the URL query") << Request::Post << "/rest/x/?b=2" << QByteArray("POST")
                                                  << QByteArray("b=2") << QByteArray("a=1");
        QTest::newRow("code 3 is POST") << Request::PostForm << "/rest/x/" << QByteArray("POST") << QByteArray()
                                        << QByteArray("a=1");
        QTest::newRow("DELETE has no body") << Request::Delete << "/rest/x/" << QByteArray("DELETE")
                                            << QByteArray("a=1") << QByteArray();
    }

    void parametersGoWhereTheMethodSays()
    {
        QFETCH(Request::Method, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, verb);
        QFETCH(QByteArray, rawQuery);
        QFETCH(QByteArray, body);

        FakeCrmServer fake;
        fake.setRouteHandler("/rest/x/", [](const FakeCrmRequest &) { return FakeCrmReply::result(true); });
        HttpClient client;
        const Outcome outcome = settle(client.send(Request(fake.url(path), method, QJsonObject{{"a", "1"}})));
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), 200);

        QCOMPARE(fake.requests().size(), 1);
        const FakeCrmRequest received = fake.requests().at(0);
        QCOMPARE(received.verb, verb);
        QCOMPARE(received.rawQuery, rawQuery);
        QCOMPARE(received.body, body);
        QCOMPARE(received.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    }

    void textReachesThePortalAsUtf8_data()
    {
        QTest::addColumn<Request::Method>("method");
        QTest::newRow("POST form") << Request::Post;
        QTest::newRow("GET query") << Request::Get;
    }

    void textReachesThePortalAsUtf8()
    {
        QFETCH(Request::Method, method);

        FakeCrmServer fake;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        fake.setRestResult("crm.lead.add", 1234567);
        const QJsonObject params{
            {"fields", QJsonObject{{"TITLE", QStringLiteral("Входящий звонок: Жук & Ко + 50%")},
                                   {"ASSIGNED_BY_ID", 1234567},
                                   {"PHONE", QJsonArray{QJsonObject{{"VALUE", "+7 (900) 123-45-67"}}}}}},
            {"params", QJsonObject{{"REGISTER_SONET_EVENT", "Y"}}}};
        HttpClient client;
        const Outcome outcome = settle(client.send(Request(fake.url("/rest/crm.lead.add/"), method, params)));
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->json().object().value("result").toInt(), 1234567);

        const FakeCrmRequest received = fake.restRequests("crm.lead.add").value(0);
        const QJsonObject fields = received.params().value("fields").toObject();
        QCOMPARE(fields.value("TITLE").toString(), QStringLiteral("Входящий звонок: Жук & Ко + 50%"));
        QCOMPARE(fields.value("ASSIGNED_BY_ID").toString(), QString("1234567"));
        QCOMPARE(fields.value("PHONE").toArray().at(0).toObject().value("VALUE").toString(),
                 QString("+7 (900) 123-45-67"));
        QCOMPARE(received.params().value("params").toObject().value("REGISTER_SONET_EVENT").toString(), QString("Y"));
        if (method == Request::Post)
            QCOMPARE(received.body, Orvix::Utils::jsonToUrlQuery(params));
    }

    void structuresArriveAsSent_data()
    {
        QTest::addColumn<Request::Method>("method");
        QTest::addColumn<QByteArray>("params");

        const QByteArray phones =
            R"({"fields":{"PHONE":[{"VALUE":"+7 900","VALUE_TYPE":"WORK"},{"VALUE":"101","VALUE_TYPE":"MOBILE"}]}})";
        const QByteArray lists = R"({"a":[["1","2"],["3"]],"b":[{"x":{"y":["1","2"]},"z":"3"}],"c":["1","2"]})";
        QTest::newRow("objects of several members in a list, POST") << Request::Post << phones;
        QTest::newRow("objects of several members in a list, GET") << Request::Get << phones;
        QTest::newRow("lists in lists, POST") << Request::Post << lists;
        QTest::newRow("lists in lists, GET") << Request::Get << lists;
    }

    void structuresArriveAsSent()
    {
        // The portal rebuilds the parameters PHP-style: every "[]" opens a new element, so each member
        // of one object in a list must name the element it belongs to.
        QFETCH(Request::Method, method);
        QFETCH(QByteArray, params);

        FakeCrmServer fake;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        fake.setRestResult("crm.lead.add", "7");
        const QJsonObject sent = QJsonDocument::fromJson(params).object();
        HttpClient client;
        QVERIFY(settle(client.send(Request(fake.url("/rest/crm.lead.add/"), method, sent))).resolved);
        QCOMPARE(fake.restRequests("crm.lead.add").value(0).params(), sent);
    }

    void batchCommandsSurviveTwoDecodings_data()
    {
        QTest::addColumn<Request::Method>("method");
        QTest::newRow("GET query") << Request::Get;
        QTest::newRow("POST form") << Request::Post;
    }

    void batchCommandsSurviveTwoDecodings()
    {
        // A batch command carries its own encoded query inside a parameter value, so its text is
        // decoded twice by the portal: once for the request, once for the command.
        QFETCH(Request::Method, method);

        FakeCrmServer fake;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        QJsonObject seen;
        fake.setRestHandler("crm.lead.list", [&seen](const QJsonObject &params) {
            seen = params;
            return FakeCrmReply::result(QJsonArray{QJsonObject{{"ID", "7"}}});
        });
        const QString title = QStringLiteral("Жук & Ко + 50% #1 [a]=b?");
        const QJsonObject inner{{"filter", QJsonObject{{"TITLE", title}, {"ID", QJsonArray{1234567, 7}}}},
                                {"select", QJsonArray{"ID", "TITLE"}}};
        const QJsonObject params{
            {"cmd", QJsonObject{{"0_lead", "crm.lead.list?" + QString::fromLatin1(Orvix::Utils::jsonToUrlQuery(inner))}}},
            {"halt", 0}};
        HttpClient client;
        const Outcome outcome = settle(client.send(Request(fake.url("/rest/batch/"), method, params)));
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), 200);
        const QJsonObject results = outcome.value->json().object().value("result").toObject().value("result").toObject();
        QCOMPARE(results.value("0_lead").toArray().at(0).toObject().value("ID").toString(), QString("7"));

        QCOMPARE(seen.value("filter").toObject().value("TITLE").toString(), title);
        QCOMPARE(seen.value("filter").toObject().value("ID").toArray(), QJsonArray({"1234567", "7"}));
        QCOMPARE(seen.value("select").toArray(), QJsonArray({"ID", "TITLE"}));
    }

    void httpErrorsResolveWithTheirStatusAndBody_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("400") << 400;
        QTest::newRow("401") << 401;
        QTest::newRow("402") << 402;
        QTest::newRow("500") << 500;
        QTest::newRow("503") << 503;
    }

    void httpErrorsResolveWithTheirStatusAndBody()
    {
        QFETCH(int, status);
        FakeCrmServer fake;
        fake.pushRestReply("profile", FakeCrmReply::error(status, "expired_token", "The access token provided has expired."));
        HttpClient client;
        const Outcome outcome = settle(client.send(Request(fake.url("/rest/profile/"))));
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.thread, QThread::currentThread());
        QCOMPARE(outcome.value->statusCode(), status);
        QCOMPARE(outcome.value->json().object().value("error_description").toString(),
                 QString("The access token provided has expired."));
    }

    void replyIsReleasedWhenTheCallbackDropsTheResponse()
    {
        FakeCrmServer fake;
        fake.setRouteHandler("/x", [](const FakeCrmRequest &) { return FakeCrmReply::raw(200, "ok"); });
        HttpClient client;
        int status = -1;
        bool replyAlive = false;
        QPointer<QNetworkReply> reply;
        // The callback runs inside the reply's finished signal and keeps no copy of the response:
        // the reply must outlive that signal and go afterwards.
        client.send(Request(fake.url("/x"))).onResolve([&status, &reply, &replyAlive](QSharedPointer<Response> response) {
            status = response->statusCode();
            reply = response->reply();
            replyAlive = reply;
        });
        QTRY_COMPARE(status, 200);
        QVERIFY(replyAlive);
        QTRY_VERIFY(reply.isNull());
    }

    void closedPortResolvesWithStatusZero()
    {
        HttpClient client;
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/rest/profile/").arg(closedPort()));
        const Outcome outcome = settle(client.send(Request(url, Request::Post, QJsonObject{{"a", 1}})));
        QVERIFY(outcome.resolved);
        QVERIFY(!outcome.rejected);
        QCOMPARE(outcome.value->statusCode(), 0);
        QCOMPARE(outcome.value->error(), QNetworkReply::ConnectionRefusedError);
        QVERIFY(outcome.value->body().isEmpty());
        QVERIFY(outcome.value->json().isNull());
    }

    // A redirect is followed only to the origin asked: a body, a password or a token never reaches another server.
    void redirectsStayWithTheOriginAsked_data()
    {
        QTest::addColumn<Request::Method>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("elsewhere");
        QTest::newRow("302 to the same origin: followed") << Request::Get << 302 << false;
        QTest::newRow("307 of a POST to another host and port: nothing sent there, the error names it")
            << Request::Post << 307 << true;
    }

    void redirectsStayWithTheOriginAsked()
    {
        QFETCH(Request::Method, method);
        QFETCH(int, status);
        QFETCH(bool, elsewhere);

        FakeCrmServer fake;
        FakeCrmServer other;
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        fake.setRestResult("profile", QJsonObject{{"ID", "7"}});
        const QString target = elsewhere ? QStringLiteral("http://localhost:%1/rest/profile/").arg(other.url("/").port())
                                         : fake.url("/rest/profile/?from=moved").toString();
        fake.setRouteHandler("/moved/", [target, status](const FakeCrmRequest &) {
            return FakeCrmReply::redirect(target, status);
        });
        if (elsewhere) {
            QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("Request to %1 failed: redirected to "
                                                                         "http://localhost:%2, another server than "
                                                                         "the one asked")
                                                              .arg(fake.url("/moved/").toString())
                                                              .arg(other.url("/").port())));
        }
        HttpClient client;
        const Outcome outcome = settle(client.send(Request(fake.url("/moved/"), method, QJsonObject{{"pass", "x"}})));
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), elsewhere ? 0 : 200);
        QCOMPARE(outcome.value->error(), elsewhere ? QNetworkReply::InsecureRedirectError : QNetworkReply::NoError);
        QCOMPARE(fake.restRequests("profile").size(), elsewhere ? 0 : 1);
        QCOMPARE(other.requests().size(), 0);
    }

    void silentPortalEndsWithStatusZeroAfterTheTimeout()
    {
        FakeCrmServer fake;
        fake.pushRestReply("batch", FakeCrmReply::silent());
        QSignalSpy received(&fake, &FakeCrmServer::requestReceived);
        HttpClient client;
        Request request(fake.url("/rest/batch/"), Request::Post, QJsonObject{{"halt", 0}});
        QCOMPARE(request.transferTimeout(), Orvix::HttpClient::kDefaultTransferTimeout);
        request.setTransferTimeout(std::chrono::milliseconds(300));

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^No answer from http://127.0.0.1:\\d+/rest/batch/ within 300 ms$"));
        const Outcome outcome = settle(client.send(request));
        QVERIFY(outcome.resolved);
        QCOMPARE(received.count(), 1); // it did reach the portal, which kept silent
        QCOMPARE(outcome.value->statusCode(), 0);
        QCOMPARE(outcome.value->error(), QNetworkReply::OperationCanceledError);
        {
            // The aborted reply is closed: reading it must give nothing, not a warning in the log.
            WarningCounter warnings;
            QVERIFY(outcome.value->body().isEmpty());
            QVERIFY(outcome.value->json().isNull());
            QCOMPARE(WarningCounter::count, 0);
        }

        // The same client goes on working after a time-out.
        fake.setRestResult("batch", QJsonObject());
        fake.setAuthMode(FakeCrmServer::AuthMode::None);
        QCOMPARE(settle(client.send(Request(fake.url("/rest/batch/")))).value->statusCode(), 200);
    }

    // A peer that keeps sending (a broken portal or proxy) must neither hold a request for ever nor fill the
    // service's memory: the request ends as status 0 with the reason in the log.
    void endlessAnswersAreCutOff_data()
    {
        QTest::addColumn<int>("chunk");     // bytes the peer sends at each step, for ever
        QTest::addColumn<int>("interval");  // ms between steps
        QTest::addColumn<int>("deadline");  // ms for the whole answer
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QByteArray>("head"); // what the peer sends before its endless bytes
        QTest::addColumn<int>("others");      // other descriptors the process holds meanwhile, as a full front end
        const QByteArray json = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n[";
        QTest::newRow("an answer that never ends, a byte at a time: cut at its deadline")
            << 1 << 20 << 500 << "no whole answer within 0.5 s" << json << 0;
        QTest::newRow("an answer past 32 MiB: cut there") << 1024 * 1024 << 0 << 0 << "an answer of more than 32 MiB"
                                                          << json << 0;
        QTest::newRow("a header that never ends: cut past 64 KiB")
            << 64 * 1024 << 0 << 3000 << "a header of more than 64 KiB" << QByteArray("HTTP/1.1 200 OK\r\nX-Endless: ")
            << 0;
        // Watched all along; its looks after the first cost its connections alone, not the process's descriptors.
        QTest::newRow("a header a byte at a time amid 3,000 other descriptors: cut at its deadline, looked through once")
            << 1 << 20 << 1500 << "no whole answer within 1.5 s" << QByteArray("HTTP/1.1 200 OK\r\nX-Slow: ") << 3000;
    }

    void endlessAnswersAreCutOff()
    {
        QFETCH(int, chunk);
        QFETCH(int, interval);
        QFETCH(int, deadline);
        QFETCH(QString, reason);
        QFETCH(QByteArray, head);
        QFETCH(int, others);

        rlimit limit = {};
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &limit) == 0);
        limit.rlim_cur = limit.rlim_max;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > rlim_t(others) + 256);
        QVector<int> descriptors;
        const auto closeAll = qScopeGuard([&descriptors] {
            for (const int descriptor : qAsConst(descriptors))
                ::close(descriptor);
        });
        while (descriptors.size() < others)
            descriptors.append(::socket(AF_INET, SOCK_STREAM, 0));
        QVERIFY(!descriptors.contains(-1));
        const quint64 lookedBefore = Orvix::HttpClient::PeerConnections::descriptorsLookedAt();

        // Bounded: at most 64 MiB or 1000 steps, then it stops by itself.
        QTcpServer peer;
        QVERIFY(peer.listen(QHostAddress::LocalHost, 0));
        qint64 sent = 0;
        bool closed = false;
        connect(&peer, &QTcpServer::newConnection, this, [&peer, &sent, &closed, chunk, interval, head] {
            QTcpSocket *socket = peer.nextPendingConnection();
            connect(socket, &QTcpSocket::disconnected, socket, [&closed] { closed = true; });
            socket->write(head);
            auto timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket, timer, &sent, chunk] {
                if (sent >= 64 * 1024 * 1024 || (chunk == 1 && sent >= 1000))
                    return timer->stop();
                if (socket->bytesToWrite() < 4 * chunk) {
                    socket->write(QByteArray(chunk, ' '));
                    sent += chunk;
                }
            });
            timer->start(interval);
        });

        HttpClient client;
        Request request(QStringLiteral("http://127.0.0.1:%1/endless").arg(peer.serverPort()));
        QCOMPARE(request.answerDeadline(), Orvix::HttpClient::kDefaultAnswerDeadline);
        if (deadline > 0)
            request.setAnswerDeadline(std::chrono::milliseconds(deadline));
        QTest::ignoreMessage(QtWarningMsg,
                             qPrintable(QStringLiteral("Request to http://127.0.0.1:%1/endless failed: %2")
                                            .arg(peer.serverPort())
                                            .arg(reason)));
        const Promise<QSharedPointer<Response>> endless = client.send(request);
        // The portal's requests on the same client go on meanwhile.
        FakeCrmServer portal;
        portal.setRouteHandler("/x", [](const FakeCrmRequest &) { return FakeCrmReply::raw(200, "ok"); });
        const Outcome answered = settle(client.send(Request(portal.url("/x"))));
        QVERIFY(answered.resolved);
        QCOMPARE(answered.value->statusCode(), 200);
        const Outcome outcome = settle(endless, 60000);
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), 0);
        QCOMPARE(outcome.value->error(), reason.startsWith("a header") ? QNetworkReply::ProtocolFailure
                                                                       : QNetworkReply::OperationCanceledError);
        if (others > 0) {
            const quint64 looked = Orvix::HttpClient::PeerConnections::descriptorsLookedAt() - lookedBefore;
            QVERIFY2(looked < quint64(2 * others), qPrintable(QString::number(looked)));
        }
        QVERIFY(outcome.value->json().isNull());
        QVERIFY(sent < 64 * 1024 * 1024 && (chunk > 1 || sent < 1000));
        // Ended on the wire too, not only for the caller.
        QTRY_VERIFY(closed);
    }

    void requestOfADestroyedSenderIsAbandoned()
    {
        FakeCrmServer fake;
        fake.pushRestReply("profile", FakeCrmReply::silent());
        QSignalSpy received(&fake, &FakeCrmServer::requestReceived);
        HttpClient client;
        auto sender = new QObject;
        Request request(fake.url("/rest/profile/"));
        request.setOriginatingObject(sender);
        request.setTransferTimeout(std::chrono::minutes(10));
        Promise<QSharedPointer<Response>> promise = client.send(request);
        QVERIFY(received.wait());
        QCOMPARE(fake.unansweredRequests(), 1);

        WarningCounter warnings;
        delete sender;
        const Outcome outcome = settle(promise, 2000);
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), 0);
        QCOMPARE(outcome.value->error(), QNetworkReply::OperationCanceledError);
        QCOMPARE(WarningCounter::count, 0); // no time-out happened
        QTRY_COMPARE(fake.unansweredRequests(), 0);
    }

    void destroyingTheClientSettlesWhatIsInFlight()
    {
        FakeCrmServer fake;
        fake.pushRestReply("profile", FakeCrmReply::silent());
        auto client = new HttpClient;
        QSignalSpy received(&fake, &FakeCrmServer::requestReceived);
        Promise<QSharedPointer<Response>> promise = client->send(Request(fake.url("/rest/profile/")));
        QVERIFY(received.wait());
        delete client;
        const Outcome outcome = settle(promise);
        QVERIFY(outcome.resolved);
        QCOMPARE(outcome.value->statusCode(), 0);
        QVERIFY(outcome.value->body().isEmpty());
    }

    void contentTypeCannotBeChanged()
    {
        FakeCrmServer fake;
        fake.setRouteHandler("/x", [](const FakeCrmRequest &) { return FakeCrmReply::raw(200, "ok"); });
        Request request(fake.url("/x"), Request::Post, QByteArray("a=1"));
        QTest::ignoreMessage(QtWarningMsg, "Cannot change Content-Type header");
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        request.setRawHeader("X-Probe", "1");
        HttpClient client;
        QVERIFY(settle(client.send(request)).resolved);
        QCOMPARE(fake.requests().value(0).header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(fake.requests().value(0).header("X-Probe"), QByteArray("1"));
    }

    void addQueryStopsAtZeroByteAndJoinsParts()
    {
        Request post(QUrl("http://127.0.0.1/x"), Request::Post, QByteArray("a=1\0b=2", 7));
        post.addQueryItem("c", QStringLiteral("д"));
        QCOMPARE(post.body(), QByteArray("a=1&c=%D0%B4"));
        QCOMPARE(post.url().query(), QString());

        Request get(QStringLiteral("http://127.0.0.1/x?"), Request::Get, QJsonObject{{"a", "1"}});
        get.addQuery("b=2");
        QCOMPARE(get.url().query(QUrl::FullyEncoded), QString("a=1&b=2"));
    }
};

QTEST_GUILESS_MAIN(tst_HttpClient)
#include "tst_httpclient.moc"
