#include "httpserversupport.h"
#include "httpserver/accessfailures.h"
#include "httpserver/digestauthentication.h"
#include "httpserver/webpassword.h"
#include "qhttpserver/qhttpconnection.h"
#include "qhttpserver/qhttpsserver.h"
#include "support/rawhttpclient.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <malloc.h>
#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Orvix::HttpServer;
using Orvix::Tests::RawHttpClient;
using Orvix::Config::Manager;

namespace {

// A protected page, like /config: a link from another site may open it.
class SecurePageRoute : public IAction
{
public:
    SecurePageRoute()
        : IAction(QStringLiteral("/secure_page"), true)
    {
    }
    bool isPage() const override { return true; }
    void execute(const Request &, Response response) override { response.sendText(200, QStringLiteral("page")); }
};

// A login route, like /auth: every password but the web password is wrong.
class PasswordRoute : public IAction
{
public:
    PasswordRoute()
        : IAction(QStringLiteral("/auth"))
    {
    }
    bool checksPassword() const override { return true; }
    void execute(const Request &request, Response response) override
    {
        if (request.text(QStringLiteral("password")) == QLatin1String("s3cret")) {
            response.sendText(200, QStringLiteral("in"));
            return;
        }
        AccessFailures::loginFailed(request.remoteAddress(), QStringLiteral("wrong password"));
        response.sendError(401, QStringLiteral("Wrong user or password"));
    }
};

QByteArray authRequest(const QByteArray &password)
{
    const QByteArray body = R"({"user": "admin", "password": ")" + password + R"("})";
    return "POST /auth HTTP/1.1\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size())
        + "\r\n\r\n" + body;
}

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

QByteArray challengeParameter(const QByteArray &challenge, const QByteArray &name)
{
    const QRegularExpression pattern(QStringLiteral("%1=\"([^\"]*)\"").arg(QString::fromLatin1(name)));
    return pattern.match(QString::fromLatin1(challenge)).captured(1).toLatin1();
}

// The Authorization header a client computes for a challenge's nonce.
QByteArray digestHeader(const QByteArray &user, const QByteArray &password, const QByteArray &nonce,
                        const QByteArray &uri, const QByteArray &nc)
{
    const QByteArray cnonce("0a4f113b");
    const QByteArray ha1 = md5(user + ":calvena:" + password);
    const QByteArray ha2 = md5("GET:" + uri);
    const QByteArray response = md5(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ":auth:" + ha2);
    return "Digest username=\"" + user + "\", realm=\"calvena\", nonce=\"" + nonce + "\", uri=\"" + uri
        + "\", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\"" + response + "\"";
}

} // namespace

// What stands between a client and the protected routes: digest logins, cross-site requests, the slowing of
// password guesses, the web password at the start, and HTTPS.
class tst_HttpSecurity : public ServerTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void digestWithCurl_data();
    void digestWithCurl();
    void crossSiteRequests_data();
    void crossSiteRequests();
    void digestReplayAndUri_data();
    void digestReplayAndUri();
    void digestStale_data();
    void digestStale();
    void passwordGuessingIsSlowed_data();
    void passwordGuessingIsSlowed();
    void webPasswordAtStart_data();
    void webPasswordAtStart();
    void https();
    void httpsAnswersRequestsThatClose_data();
    void httpsAnswersRequestsThatClose();
    void httpsWithoutCertificate();

private:
    SecurePageRoute m_securePage;
    PasswordRoute m_password;
};

void tst_HttpSecurity::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(startServer(QStringLiteral("_tst_httpsecurity")));
    const QDir files(m_files.path());
    QVERIFY(files.mkpath(QStringLiteral("ssl")));
    QProcess openssl;
    QSignalSpy made(&openssl, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", files.filePath("ssl/server.key"),
                              "-out", files.filePath("ssl/server.crt")});
    QVERIFY(made.wait(60000));
    QCOMPARE(openssl.exitCode(), 0);
    QVERIFY(m_server.listenSecure(QStringLiteral("127.0.0.1"), 0));
}

void tst_HttpSecurity::cleanupTestCase()
{
    dropConfiguration();
}

void tst_HttpSecurity::digestWithCurl_data()
{
    QTest::addColumn<QString>("credentials");
    QTest::addColumn<QByteArray>("status");

    QTest::newRow("right password") << "admin:s3cret" << QByteArray("200");
    QTest::newRow("wrong password") << "admin:guess" << QByteArray("401");
    QTest::newRow("wrong user") << "root:s3cret" << QByteArray("401");
    QTest::newRow("password differs in case") << "admin:S3cret" << QByteArray("401");
}

void tst_HttpSecurity::digestWithCurl()
{
    QFETCH(QString, credentials);
    QFETCH(QByteArray, status);

    const CurlResult result =
        curl({"--digest", "-u", credentials, "-o", "/dev/null", "-w", "%{http_code}", url("/secure?x=1")});
    QCOMPARE(result.output, status);
}

void tst_HttpSecurity::crossSiteRequests_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QStringList>("headers");
    QTest::addColumn<QByteArray>("status");

    const QString site = QStringLiteral("Sec-Fetch-Site: cross-site");
    const QString navigate = QStringLiteral("Sec-Fetch-Mode: navigate");
    QTest::newRow("a client that is no browser") << "/secure?x=1" << "GET" << QStringList() << QByteArray("200");
    QTest::newRow("the service's own page") << "/secure?x=1" << "POST"
                                            << QStringList{"Sec-Fetch-Site: same-origin", "Sec-Fetch-Mode: cors"}
                                            << QByteArray("200");
    QTest::newRow("typed into the address bar") << "/secure?x=1" << "GET"
                                                << QStringList{"Sec-Fetch-Site: none", navigate} << QByteArray("200");
    QTest::newRow("a foreign page's script") << "/secure?x=1" << "POST"
                                             << QStringList{site, "Sec-Fetch-Mode: cors"} << QByteArray("403");
    QTest::newRow("a foreign link to an action") << "/secure?x=1" << "GET" << QStringList{site, navigate}
                                                 << QByteArray("403");
    QTest::newRow("a foreign image tag") << "/secure?x=1" << "GET"
                                         << QStringList{"sec-fetch-site: Cross-Site", "Sec-Fetch-Mode: no-cors"}
                                         << QByteArray("403");
    QTest::newRow("a foreign link to a page") << "/secure_page" << "GET" << QStringList{site, navigate}
                                              << QByteArray("200");
    QTest::newRow("a foreign form posted to a page") << "/secure_page" << "POST" << QStringList{site, navigate}
                                                     << QByteArray("403");
    QTest::newRow("a public route") << "/echo?x=1" << "GET" << QStringList{site, "Sec-Fetch-Mode: cors"}
                                    << QByteArray("200");
    QTest::newRow("a foreign frame of a page") << "/secure_page" << "GET"
                                               << QStringList{site, navigate, "Sec-Fetch-Dest: iframe"}
                                               << QByteArray("403");
    QTest::newRow("another port of the same host") << "/secure?x=1" << "POST"
                                                   << QStringList{"Sec-Fetch-Site: same-site", "Sec-Fetch-Mode: cors"}
                                                   << QByteArray("403");
    const QString key = "?key=" + Orvix::Config::GeneratedDirectory::eventKey();
    QTest::newRow("the portal's form to the bound event route") << "/events/test" + key << "POST" << QStringList()
                                                                << QByteArray("200");
    QTest::newRow("a form without the key to an event route") << "/events/test" << "POST" << QStringList()
                                                              << QByteArray("403");
    QTest::newRow("a wrong key") << "/events/test?key=" + QString(64, 'a') << "POST" << QStringList()
                                 << QByteArray("403");
    QTest::newRow("a link to the bound event route") << "/events/test" + key << "GET" << QStringList()
                                                     << QByteArray("405");
    QTest::newRow("an older browser's form to a protected route")
        << "/secure?x=1" << "POST" << QStringList{"Origin: https://elsewhere.example"} << QByteArray("403");
    QTest::newRow("the service's own page in an older browser")
        << "/secure?x=1" << "POST" << QStringList{QStringLiteral("Origin: http://127.0.0.1:%1").arg(m_server.port())}
        << QByteArray("200");
    QTest::newRow("a foreign form to an event route") << "/events/test" << "POST" << QStringList{site, navigate}
                                                      << QByteArray("403");
    QTest::newRow("a page of the same site to an event route")
        << "/events/test" << "POST" << QStringList{"Sec-Fetch-Site: same-site"} << QByteArray("403");
    QTest::newRow("an older browser's form to an event route")
        << "/events/test" << "POST" << QStringList{"Origin: https://elsewhere.example"} << QByteArray("403");
    QTest::newRow("PUT to an action") << "/echo" << "PUT" << QStringList() << QByteArray("405");
    QTest::newRow("DELETE to a protected action") << "/secure" << "DELETE" << QStringList() << QByteArray("405");
}

void tst_HttpSecurity::crossSiteRequests()
{
    QFETCH(QString, path);
    QFETCH(QString, method);
    QFETCH(QStringList, headers);
    QFETCH(QByteArray, status);

    QStringList arguments{"--digest", "-u", "admin:s3cret", "-o", "/dev/null", "-w", "%{http_code}", "-X", method};
    for (const QString &header : headers)
        arguments << "-H" << header;
    const CurlResult result = curl(arguments << url(path));
    QCOMPARE(result.output, status);
}

void tst_HttpSecurity::digestReplayAndUri_data()
{
    QTest::addColumn<QByteArray>("uri");        // named in the credentials
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QList<QByteArray>>("counts"); // nonce counts sent in turn
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<int>("challenges"); // asked by another client after the first request

    QTest::newRow("counts that rise") << QByteArray("/secure") << QByteArray("s3cret")
                                      << QList<QByteArray>{"00000001", "00000002", "0000000a"}
                                      << QList<int>{200, 200, 200} << 0;
    QTest::newRow("a count sent twice") << QByteArray("/secure") << QByteArray("s3cret")
                                        << QList<QByteArray>{"00000001", "00000001"} << QList<int>{200, 401} << 0;
    QTest::newRow("a count that goes back") << QByteArray("/secure") << QByteArray("s3cret")
                                            << QList<QByteArray>{"00000005", "00000004"} << QList<int>{200, 401} << 0;
    QTest::newRow("credentials for another URI") << QByteArray("/secure?x=other") << QByteArray("s3cret")
                                                 << QList<QByteArray>{"00000001"} << QList<int>{401} << 0;
    QTest::newRow("wrong password") << QByteArray("/secure") << QByteArray("nope")
                                    << QList<QByteArray>{"00000001"} << QList<int>{401} << 0;
    // Others asking for challenges, as an unauthenticated flood would, do not log out a client.
    QTest::newRow("a nonce in use outlives a flood of challenges")
        << QByteArray("/secure") << QByteArray("s3cret") << QList<QByteArray>{"00000001", "00000002"}
        << QList<int>{200, 200} << DigestAuthentication::kMaxNonces + 10;
}

void tst_HttpSecurity::digestReplayAndUri()
{
    QFETCH(QByteArray, uri);
    QFETCH(QByteArray, password);
    QFETCH(QList<QByteArray>, counts);
    QFETCH(QList<int>, statuses);
    QFETCH(int, challenges);

    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send("GET /secure HTTP/1.1\r\n\r\n");
    const auto challenge = client.next();
    QVERIFY(challenge);
    QCOMPARE(challenge->status, 401);
    const QByteArray header = challenge->headers.value("www-authenticate");
    QVERIFY2(header.startsWith("Digest ") && header.contains("qop=\"auth\""), header.constData());
    const QByteArray nonce = challengeParameter(header, "nonce");
    QVERIFY(!nonce.isEmpty());
    for (int i = 0; i < counts.size(); ++i) {
        if (i == 1 && challenges > 0) {
            RawHttpClient other;
            QVERIFY(other.connectTo(m_server.port()));
            other.send(QByteArray("GET /secure HTTP/1.1\r\n\r\n").repeated(challenges));
            for (int j = 0; j < challenges; ++j)
                QVERIFY(other.next());
        }
        client.send("GET /secure HTTP/1.1\r\nAuthorization: " + digestHeader("admin", password, nonce, uri, counts.at(i))
                    + "\r\n\r\n");
        const auto answer = client.next();
        QVERIFY(answer);
        QCOMPARE(answer->status, statuses.at(i));
    }
}

void tst_HttpSecurity::digestStale_data()
{
    QTest::addColumn<bool>("forged");   // a nonce the server never made, as one of the run before a restart
    QTest::addColumn<bool>("expired");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<bool>("stale"); // and no failed login

    // Stale: the client may retry with the fresh nonce at once, without asking the user again.
    QTest::newRow("expired nonce, right password") << false << true << QByteArray("s3cret") << true;
    QTest::newRow("expired nonce, wrong password") << false << true << QByteArray("guess") << false;
    QTest::newRow("a previous run's nonce, right password") << true << false << QByteArray("s3cret") << true;
    QTest::newRow("a previous run's nonce, wrong password") << true << false << QByteArray("guess") << false;
}

void tst_HttpSecurity::digestStale()
{
    QFETCH(bool, forged);
    QFETCH(bool, expired);
    QFETCH(QByteArray, password);
    QFETCH(bool, stale);

    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send("GET /secure HTTP/1.1\r\n\r\n");
    const auto challenge = client.next();
    QVERIFY(challenge);
    const QByteArray nonce = forged ? "0000000000001f40" + QByteArray(48, 'f')
                                    : challengeParameter(challenge->headers.value("www-authenticate"), "nonce");
    const int failures = AccessFailures::failures(QHostAddress::LocalHost);
    if (expired)
        DigestAuthentication::setNonceLifetime(std::chrono::milliseconds(-1)); // every nonce is past its time
    client.send("GET /secure HTTP/1.1\r\nAuthorization: " + digestHeader("admin", password, nonce, "/secure", "00000001")
                + "\r\n\r\n");
    const auto refused = client.next();
    DigestAuthentication::setNonceLifetime(DigestAuthentication::kNonceLifetime);
    QVERIFY(refused);
    QCOMPARE(refused->status, 401);
    const QByteArray fresh = refused->headers.value("www-authenticate");
    QCOMPARE(fresh.contains("stale=true"), stale);
    QCOMPARE(AccessFailures::failures(QHostAddress::LocalHost), failures + (stale ? 0 : 1));
    client.send("GET /secure HTTP/1.1\r\nAuthorization: "
                + digestHeader("admin", "s3cret", challengeParameter(fresh, "nonce"), "/secure", "00000001") + "\r\n\r\n");
    const auto accepted = client.next();
    QVERIFY(accepted);
    QCOMPARE(accepted->status, 200);
}

void tst_HttpSecurity::passwordGuessingIsSlowed_data()
{
    QTest::addColumn<QString>("guesser"); // an address of its own: the others' failures are not its own
    QTest::addColumn<int>("guesses");
    QTest::addColumn<qint64>("minimumMsec"); // waited in all, as booked; the wait itself is scaled down
    QTest::addColumn<int>("leavingGuesses"); // then guesses of 1 MiB each, from clients that leave before their turn
    QTest::addColumn<int>("others"); // guessers before it, as many guesses each, from the addresses below its own
    QTest::addColumn<int>("leavingConnections"); // then connections of 32 guesses each that leave unanswered
    QTest::addColumn<int>("neighbourLogins"); // then wrong /auth behind its address, and the administrator's login
    // Then addresses of its /24 that failed before, one wrong digest each, side by side, and one more that sends
    // many on the nonce of the administrator, who logs in from two other addresses of that /24.
    QTest::addColumn<int>("networkGuessers");
    QTest::addColumn<int>("abandonedGuesses"); // then wrong digests, each from a client that leaves before its answer
    // Then, the clock stopped where the row moves it, a right /auth from its address waits for the turn of its /24
    // that a wrong /auth booked. "at once": after a typo, and an address that never failed guesses as that turn falls
    // due. "old failures": its failures are more than a minute old, and an address that never failed guesses twice.
    QTest::addColumn<QString>("networkTurn");

    const int free = AccessFailures::kFreeFailures;
    QTest::newRow("1000 wrong digests over one connection") << "127.0.0.3" << 1000 << qint64(20000) << 0 << 0 << 0
                                                            << 0 << 0 << 0 << "";
    QTest::newRow("a few mistakes are not slowed") << "127.0.0.5" << free - 1 << qint64(0) << 0 << 0 << 0 << 0 << 0
                                                   << 0 << "";
    QTest::newRow("a guess that waits goes with its client") << "127.0.0.6" << free << qint64(250) << 16 << 0 << 0
                                                             << 0 << 0 << 0 << "";
    // Spread over many addresses, each within its own allowance, the guesses are slowed all the same.
    QTest::newRow("3 wrong digests from each of 128 addresses") << "127.0.1.127" << 3 << qint64(5000) << 0 << 127 << 0
                                                                << 0 << 0 << 0 << "";
    // Past the ceiling each address of a network no longer makes a guess of its own every wait, but its
    // administrator's right login is not kept out.
    QTest::newRow("past the ceiling, the guessers' /24 guesses side by side, on the administrator's nonce too, "
                  "while the administrator logs in from it")
        << "127.0.4.127" << 3 << qint64(5000) << 0 << 127 << 0 << 0 << 6 << 0 << "";
    // Its right login is checked within the longest wait, not after every turn its guesses booked.
    QTest::newRow("a client that sent 960 wrong digests at once and left") << "127.0.0.8" << free - 1 << qint64(0)
                                                                           << 0 << 0 << 30 << 0 << 0 << 0 << "";
    // Behind one office's address: the administrator is not locked out, nor does the guesser get a clean slate.
    QTest::newRow("a neighbour fails /auth behind the administrator's address") << "127.0.0.9" << 0 << qint64(0) << 0
                                                                               << 0 << 0 << free + 1 << 0 << 0 << "";
    // Silence would tell it that they were wrong: each is counted when it is checked, not when its answer goes.
    QTest::newRow("wrong digests abandoned before their turn are counted") << "127.0.0.10" << free << qint64(250) << 0
                                                                           << 0 << 0 << 0 << 0 << 3 << "";
    // The turn that falls due goes to a client that waited for it, the one that failed least lately.
    QTest::newRow("past the ceiling, a fresh address guesses as its /24's turn falls due: the client waiting gets it")
        << "127.0.6.127" << 3 << qint64(5000) << 0 << 40 << 0 << 0 << 0 << 0 << "at once";
    QTest::newRow("past the ceiling, the administrator with old failures and a fresh guesser of its /24: the "
                  "administrator's login at the next turn")
        << "127.0.7.127" << 3 << qint64(5000) << 0 << 40 << 0 << 0 << 0 << 0 << "old failures";
}

void tst_HttpSecurity::passwordGuessingIsSlowed()
{
    QFETCH(QString, guesser);
    QFETCH(int, guesses);
    QFETCH(qint64, minimumMsec);
    QFETCH(int, leavingGuesses);
    QFETCH(int, others);
    QFETCH(int, leavingConnections);
    QFETCH(int, neighbourLogins);
    QFETCH(int, networkGuessers);
    QFETCH(int, abandonedGuesses);
    QFETCH(QString, networkTurn);
    constexpr double kScale = 1e-4; // 5 s waits take half a millisecond

    AccessFailures::setInterval(AccessFailures::kInterval); // a minute of its own
    AccessFailures::setDelayScale(kScale);
    const auto login = [this](RawHttpClient &client, const QByteArray &password, int count) {
        client.send("GET /secure HTTP/1.1\r\n\r\n");
        const auto challenge = client.next();
        const QByteArray nonce = challenge ? challengeParameter(challenge->headers.value("www-authenticate"), "nonce")
                                           : QByteArray();
        client.send(("GET /secure HTTP/1.1\r\nAuthorization: " + digestHeader("admin", password, nonce, "/secure",
                                                                              "00000001")
                     + "\r\n\r\n")
                        .repeated(count));
        return nonce;
    };
    for (int a = others; a > 0; --a) {
        RawHttpClient other;
        QVERIFY(other.socket().bind(QHostAddress(QHostAddress(guesser).toIPv4Address() - quint32(a)))
                && other.connectTo(m_server.port()));
        login(other, "guess", guesses);
        for (int i = 0; i < guesses; ++i)
            QVERIFY(other.next());
    }
    const auto boundTo = [this](quint32 address) {
        auto client = std::make_unique<RawHttpClient>();
        const bool connected = client->socket().bind(QHostAddress(address)) && client->connectTo(m_server.port());
        return connected ? std::move(client) : nullptr;
    };
    QElapsedTimer clock;
    clock.start();
    RawHttpClient guessing;
    QVERIFY(guessing.socket().bind(QHostAddress(guesser)));
    QVERIFY(guessing.connectTo(m_server.port()));
    login(guessing, "guess", guesses);
    for (int i = 0; i < guesses; ++i) {
        const auto answer = guessing.next();
        QVERIFY(answer);
        // Or refused unchecked while its login before waits for its turn.
        QVERIFY2(answer->status == 401 || answer->status == 429, qPrintable(QString::number(answer->status)));
        // Meanwhile another client (of another network: past the ceiling, the guesser's counts for its own) logs
        // in at once.
        if (i == guesses / 2) {
            RawHttpClient other;
            QVERIFY(other.socket().bind(QHostAddress(QStringLiteral("127.0.3.4"))));
            QVERIFY(other.connectTo(m_server.port()));
            login(other, "s3cret", 1);
            const auto accepted = other.next();
            QVERIFY(accepted);
            QCOMPARE(accepted->status, 200);
            QCOMPARE(AccessFailures::bookedDelay(QHostAddress(QStringLiteral("127.0.3.4"))).count(), 0);
        }
    }
    const qint64 booked = AccessFailures::bookedDelay(QHostAddress(guesser)).count();
    AccessFailures::setDelayScale(1.0);
    QVERIFY2(booked >= minimumMsec && (minimumMsec > 0 || booked == 0), qPrintable(QString::number(booked)));
    QVERIFY(clock.elapsed() >= qint64(booked * kScale * 0.9));
    if (networkGuessers > 0) {
        // Turns of a fifth of their length: each guess checked books 1 s for the whole network.
        constexpr double kNetworkScale = 0.2;
        AccessFailures::setDelayScale(kNetworkScale);
        const quint32 network = QHostAddress(guesser).toIPv4Address() & 0xffffff00u;
        const auto admin = boundTo(network + 200); // an address of it that never failed
        QVERIFY(admin);
        const QByteArray adminNonce = login(*admin, "s3cret", 1);
        QCOMPARE(admin->next().value_or(Orvix::Tests::RawHttpResponse()).status, 200);
        QElapsedTimer took;
        took.start();
        std::vector<std::unique_ptr<RawHttpClient>> side(networkGuessers);
        for (int i = 0; i < networkGuessers; ++i) {
            QVERIFY((side[i] = boundTo(network + 1 + quint32(i))));
            side[i]->send("GET /secure HTTP/1.1\r\nAuthorization: "
                          + digestHeader("admin", "guess", "n", "/secure", "00000001") + "\r\n\r\n");
        }
        // The nonce is the administrator's client's, not its network's: guesses on it from another address wait
        // their turns as any others do, and from its own address once one of them was wrong.
        QMap<quint32, int> copied;
        std::vector<std::unique_ptr<RawHttpClient>> copying;
        for (const quint32 from : {network + 1 + quint32(networkGuessers), network + 200}) {
            copied[from] = AccessFailures::failures(QHostAddress(from));
            QVERIFY(copying.emplace_back(boundTo(from)));
            copying.back()->send(("GET /secure HTTP/1.1\r\nAuthorization: "
                                  + digestHeader("admin", "guess", adminNonce, "/secure", "00000002") + "\r\n\r\n")
                                     .repeated(16));
        }
        // The administrator from yet another address: the network's next turn is its, before its failing neighbours.
        const auto again = boundTo(network + 201);
        QVERIFY(again);
        login(*again, "s3cret", 1);
        QCOMPARE(again->next().value_or(Orvix::Tests::RawHttpResponse()).status, 200);
        const int answered =
            int(std::count_if(side.begin(), side.end(), [](auto &c) { return c->socket().bytesAvailable(); }));
        QVERIFY2(answered <= 3, qPrintable(QString::number(answered)));
        for (auto &client : side)
            QCOMPARE(client->next().value_or(Orvix::Tests::RawHttpResponse()).status, 401);
        // One a turn: the few checked before the network's turns ran ahead aside, each waited for one of its own.
        const qint64 turn = qint64(AccessFailures::kMaxDelay.count() * kNetworkScale);
        QVERIFY2(took.elapsed() >= (networkGuessers - 3) * turn, qPrintable(QString::number(took.elapsed())));
        for (auto it = copied.cbegin(); it != copied.cend(); ++it) {
            const int checked = AccessFailures::failures(QHostAddress(it.key())) - it.value();
            QVERIFY2(checked <= 3, qPrintable(QString::number(checked)));
        }
        AccessFailures::setDelayScale(kScale);
    }
    if (!networkTurn.isEmpty()) {
        // Turns of 2 s on a clock that moves only here: who gets the turn hangs on no timer.
        constexpr double kTurnScale = 0.4;
        AccessFailures::freezeClock(true);
        const auto thaw = qScopeGuard([] { AccessFailures::freezeClock(false); }); // for the rows after, whatever fails
        // The turns the row booked so far are due, and its failures a minute old where it asks.
        const bool oldFailures = networkTurn == "old failures";
        AccessFailures::advanceClock(oldFailures ? AccessFailures::kInterval + std::chrono::seconds(1)
                                                 : std::chrono::seconds(1));
        AccessFailures::setDelayScale(kTurnScale);
        const quint32 admin = QHostAddress(guesser).toIPv4Address();
        const quint32 fresh = (admin & 0xffffff00u) + 200; // an address of its /24 that never failed
        // A wrong /auth books the next turn; the fresh address guesses for it too, or only as it falls due.
        const auto booking = boundTo(oldFailures ? fresh : admin), right = boundTo(admin), guess = boundTo(fresh);
        QVERIFY(booking && right && guess);
        booking->send(authRequest("guess"));
        QCOMPARE(booking->next().value_or(Orvix::Tests::RawHttpResponse()).status, 401);
        if (oldFailures) {
            booking->send(authRequest("guess"));
            QTRY_VERIFY(QHttpConnection::bufferedBytes(QHostAddress(fresh)) > 0);
        }
        right->send(authRequest("s3cret"));
        QTRY_VERIFY(QHttpConnection::bufferedBytes(QHostAddress(admin)) > 0);
        AccessFailures::advanceClock(std::chrono::milliseconds(qint64(AccessFailures::kMaxDelay.count() * kTurnScale)));
        if (!oldFailures) // read before the waiting login's timer comes, 2 s on
            guess->send("GET /secure HTTP/1.1\r\nAuthorization: "
                        + digestHeader("admin", "guess", "n", "/secure", "00000001") + "\r\n\r\n");
        QCOMPARE(right->next().value_or(Orvix::Tests::RawHttpResponse()).status, 200);
        AccessFailures::setDelayScale(kScale);
    }
    if (neighbourLogins > 0) {
        // Waits far longer than the row: a login that waited for a turn would not get through, and the last /auth
        // is not checked while the administrator logs in, however slow the machine.
        AccessFailures::setDelayScale(1e3);
        RawHttpClient neighbour;
        QVERIFY(neighbour.socket().bind(QHostAddress(guesser)) && neighbour.connectTo(m_server.port()));
        neighbour.send(authRequest("guess").repeated(neighbourLogins));
        for (int i = 0; i < neighbourLogins - 1; ++i) // the last one waits its turn
            QCOMPARE(neighbour.next().value_or(Orvix::Tests::RawHttpResponse()).status, 401);
        RawHttpClient admin;
        QVERIFY(admin.socket().bind(QHostAddress(guesser)) && admin.connectTo(m_server.port()));
        login(admin, "s3cret", 1);
        QCOMPARE(admin.next().value_or(Orvix::Tests::RawHttpResponse()).status, 200);
        QCOMPARE(AccessFailures::failures(QHostAddress(guesser)), neighbourLogins - 1);
        neighbour.socket().abort();
        AccessFailures::setDelayScale(kScale);
    }
    if (abandonedGuesses > 0) {
        // Turns far longer than the row: each guess leaves long before its answer would come.
        AccessFailures::setDelayScale(1e3);
        const int open = QHttpConnection::openConnections(QHostAddress(guesser));
        for (int i = 0; i < abandonedGuesses; ++i) {
            const int failures = AccessFailures::failures(QHostAddress(guesser));
            RawHttpClient leaving;
            QVERIFY(leaving.socket().bind(QHostAddress(guesser)) && leaving.connectTo(m_server.port()));
            leaving.send("GET /secure HTTP/1.1\r\nAuthorization: "
                         + digestHeader("admin", "guess", "n", "/secure", "00000001") + "\r\n\r\n");
            QTRY_COMPARE(AccessFailures::failures(QHostAddress(guesser)), failures + 1);
            leaving.socket().abort();
            QTRY_COMPARE(QHttpConnection::openConnections(QHostAddress(guesser)), open); // its turn given back
        }
        AccessFailures::setDelayScale(kScale);
    }
    if (leavingConnections > 0) {
        std::vector<std::unique_ptr<RawHttpClient>> leaving(leavingConnections);
        for (auto &client : leaving) {
            client = std::make_unique<RawHttpClient>();
            QVERIFY(client->socket().bind(QHostAddress(guesser)) && client->connectTo(m_server.port()));
            client->send(("GET /secure HTTP/1.1\r\nAuthorization: "
                          + digestHeader("admin", "guess", "n", "/secure", "00000001") + "\r\n\r\n").repeated(32));
        }
        QTRY_VERIFY(std::none_of(leaving.begin(), leaving.end(), [](auto &c) { return c->socket().bytesToWrite(); }));
        RawHttpClient read; // all that came before it is read when it is answered
        QVERIFY(read.socket().bind(QHostAddress(guesser)) && read.connectTo(m_server.port()));
        read.send("GET /echo HTTP/1.1\r\n\r\n");
        QVERIFY(read.next());
        read.socket().abort();
        guessing.socket().abort();
        leaving.clear();
        QTRY_COMPARE(QHttpConnection::openConnections(QHostAddress(guesser)), 0);
        RawHttpClient right;
        QVERIFY(right.socket().bind(QHostAddress(guesser)) && right.connectTo(m_server.port()));
        login(right, "s3cret", 1); // each answer within 10 s, or none
        QCOMPARE(right.next().value_or(Orvix::Tests::RawHttpResponse()).status, 200);
    }
    if (leavingGuesses == 0)
        return;

    // Requests that wait their turn are held for their clients only: whatever they carry goes with the client.
    // Their turns are far apart, and wait quietly all the same.
    constexpr qint64 kBody = 1024 * 1024;
    const auto heapInUse = [] {
        const struct mallinfo2 heap = mallinfo2();
        return qint64(heap.uordblks + heap.hblkhd);
    };
    AccessFailures::setDelayScale(1e3);
    g_warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(&keepWarning);
    qint64 before = 0;
    for (int i = 0; i <= leavingGuesses; ++i) {
        if (i == 1)
            before = heapInUse(); // after one round: what it set up once stays
        RawHttpClient leaving;
        QVERIFY(leaving.socket().bind(QHostAddress(guesser)));
        QVERIFY(leaving.connectTo(m_server.port()));
        leaving.send("POST /secure HTTP/1.1\r\nAuthorization: " + digestHeader("admin", "guess", "n", "/secure", "1")
                     + "\r\nContent-Length: " + QByteArray::number(kBody) + "\r\n\r\n" + QByteArray(kBody, 'g'));
        if (i == 0) // checked at once, it books the turn the others wait for
            QVERIFY(leaving.next());
        else
            QTRY_VERIFY(QHttpConnection::bufferedBytes(QHostAddress(guesser)) > kBody); // waiting its turn
        leaving.socket().abort();
        QTRY_COMPARE(QHttpConnection::bufferedBytes(QHostAddress(guesser)), 0);
    }
    qInstallMessageHandler(previous);
    AccessFailures::setDelayScale(1.0);
    QVERIFY2(heapInUse() - before < leavingGuesses * kBody / 2, qPrintable(QString::number(heapInUse() - before)));
    QVERIFY2(g_warnings.isEmpty(), qPrintable(g_warnings.join('\n')));
}

void tst_HttpSecurity::webPasswordAtStart_data()
{
    QTest::addColumn<QJsonObject>("section"); // WebServer in the file
    QTest::addColumn<QString>("file");        // the configuration file, in the test's directory
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("the built-in password") << QJsonObject{{"password", "quillbem"}} << "web.json" << false << true;
    QTest::newRow("an empty password") << QJsonObject{{"password", ""}} << "web.json" << false << true;
    QTest::newRow("no password: the built-in one") << QJsonObject{{"user", "admin"}} << "web.json" << false << true;
    QTest::newRow("a password of its own is kept") << QJsonObject{{"password", "0wn-Pa55"}} << "web.json" << false
                                                   << false;
    QTest::newRow("a read-only file") << QJsonObject{{"password", "quillbem"}} << "web.json" << true << false;
    QTest::newRow("a file named but missing") << QJsonObject() << "missing.json" << false << false;
}

void tst_HttpSecurity::webPasswordAtStart()
{
    QFETCH(QJsonObject, section);
    QFETCH(QString, file);
    QFETCH(bool, readOnly);
    QFETCH(bool, replaced);

    const QString path = QDir(m_files.path()).filePath(file);
    QFile::remove(path);
    if (!section.isEmpty())
        QVERIFY(writeFile(path, QJsonDocument(QJsonObject{{"WebServer", section}}).toJson()));
    if (readOnly)
        QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup));
    Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName = path;
    Manager::init();
    const QString before = Manager::getString(Manager::WebServer, "password");
    const bool usable = !before.isEmpty() && before != QLatin1String("quillbem");
    if (replaced)
        QTest::ignoreMessage(QtWarningMsg, qPrintable("The web password was set to a random value: see "
                                                      "WebServer.password in " + path));
    else if (!usable)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^The web password is not set and cannot be saved"));
    QCOMPARE(WebPassword::ensure(), replaced || usable);

    const QString now = Manager::getString(Manager::WebServer, "password");
    QFile saved(path);
    const QJsonObject inFile = saved.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(saved.readAll()).object().value("WebServer").toObject()
        : QJsonObject();
    if (replaced) {
        QVERIFY(now.size() >= 20 && now != before);
        QCOMPARE(inFile.value("password").toString(), now);
    } else {
        QCOMPARE(now, before);
    }
    // The built-in password opens nothing; without a usable one the protected routes say what to do.
    const QString quillbem = "admin:quillbem";
    const CurlResult builtIn = curl({"--digest", "-u", quillbem, "-w", "%{http_code}", url("/secure")});
    if (replaced || usable) {
        QVERIFY(builtIn.output.endsWith("401"));
    } else {
        QCOMPARE(builtIn.output, QJsonDocument(QJsonObject{{"error", "Set WebServer.password in " + path}})
                                         .toJson(QJsonDocument::Compact) + "403");
    }

    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
    Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName = QDir(m_files.path()).filePath("config.json");
    Manager::init();
    QCOMPARE(Manager::getString(Manager::WebServer, "password"), QStringLiteral("s3cret"));
}

void tst_HttpSecurity::https()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath("ssl"));
    QProcess openssl;
    QSignalSpy finished(&openssl, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
                              "-keyout", dir.filePath("ssl/server.key"), "-out", dir.filePath("ssl/server.crt")});
    QVERIFY(finished.wait(60000));
    QCOMPARE(openssl.exitCode(), 0);

    Server server;
    server.setFilesDirectory(dir.path());
    QVERIFY(server.listenSecure(QStringLiteral("127.0.0.1"), 0));
    const CurlResult result =
        curl({"-k", QStringLiteral("https://127.0.0.1:%1/echo?a=1").arg(server.securePort())});
    QCOMPARE(result.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(result.output).object().value("parameters").toObject(),
             QJsonObject({{"a", "1"}}));
    // A file larger than the read-ahead window streams through TLS to its end.
    QVERIFY(QDir(dir.path()).mkpath("static"));
    QByteArray big(3 * 1024 * 1024 + 17, 'r');
    big[big.size() - 1] = 'E';
    QVERIFY(writeFile(dir.filePath("static/recording.wav"), big));
    // It is read from the disk as the network takes it: TLS encrypts at once, so the bytes that wait are
    // in the socket's encrypted buffer, and they stay a window's worth, not the whole file.
    qint64 backlog = 0;
    QTimer probe; // each turn of the event loop
    connect(&probe, &QTimer::timeout, this, [&server, &backlog] {
        for (const QSslSocket *socket : server.findChildren<QSslSocket *>())
            backlog = qMax(backlog, socket->bytesToWrite() + socket->encryptedBytesToWrite());
    });
    probe.start(0);
    const CurlResult file = curl({"-k", QStringLiteral("https://127.0.0.1:%1/static/recording.wav").arg(server.securePort())});
    probe.stop();
    QCOMPARE(file.exitCode, 0);
    QCOMPARE(file.output.size(), big.size());
    QVERIFY(file.output == big);
    QVERIFY2(backlog > 0 && backlog < 1024 * 1024, qPrintable(QString::number(backlog)));
    // Plain HTTP spoken to the TLS port gets nothing.
    const CurlResult plain = curl({QStringLiteral("http://127.0.0.1:%1/echo").arg(server.securePort())});
    QVERIFY(plain.exitCode != 0);
    // A client that never finishes its handshake is dropped long before the idle time-out.
    server.findChild<QHttpsServer *>()->setHandshakeTimeout(std::chrono::milliseconds(300));
    RawHttpClient silent;
    QVERIFY(silent.connectTo(server.securePort()));
    QVERIFY(silent.waitClosed());
}

void tst_HttpSecurity::httpsAnswersRequestsThatClose_data()
{
    QTest::addColumn<QStringList>("version"); // curl's; "half-close": three in one go, then the client's side shut
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body"); // POSTed as JSON when not empty
    QTest::addColumn<QByteArray>("answer"); // the body, then the status

    const QString key = "?key=" + Orvix::Config::GeneratedDirectory::eventKey();
    const QJsonObject event{{"event", "ONEXTERNALCALLSTART"}};
    // The answer leaves before the connection closes: a sender that closes must not retry what was done.
    for (const QStringList &version : {QStringList{"--http1.1", "-H", "Connection: close"}, QStringList{"--http1.0"}}) {
        const QString how = version.size() > 1 ? QStringLiteral("Connection: close") : QStringLiteral("HTTP/1.0");
        QTest::addRow("%s: the static page", qPrintable(how))
            << version << "/static/page.html" << QByteArray() << QByteArray("<html>page</html>200");
        QTest::addRow("%s: a wrong /auth", qPrintable(how)) << version << "/auth"
                                                            << QByteArray(R"({"user":"admin","password":"guess"})")
                                                            << QByteArray(R"({"error":"Wrong user or password"})"
                                                                          "401");
        QTest::addRow("%s: the keyed event POST", qPrintable(how))
            << version << "/events/test" + key << QJsonDocument(event).toJson() << QByteArray(R"({"result":true})"
                                                                                                 "200");
    }
    // Each is answered before the close, as over plain HTTP.
    QTest::newRow("three pipelined, then a half-close: the static page")
        << QStringList{"half-close"} << "/static/page.html" << QByteArray() << QByteArray("<html>page</html>");
    QTest::newRow("three pipelined, then a half-close: the keyed event POST")
        << QStringList{"half-close"} << "/events/test" + key << QJsonDocument(event).toJson()
        << QByteArray(R"({"result":true})");
}

void tst_HttpSecurity::httpsAnswersRequestsThatClose()
{
    QFETCH(QStringList, version);
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, answer);

    // Whether the last records left before the close was a race: a few tries each.
    constexpr int kTries = 5;
    const bool halfClose = version == QStringList{"half-close"};
    const int events = m_event.executed;
    QStringList arguments = QStringList{"-k", "-w", "%{http_code}"} + version;
    if (!body.isEmpty())
        arguments << "-H" << "Content-Type: application/json" << "--data-binary" << QString::fromUtf8(body);
    arguments << QStringLiteral("https://127.0.0.1:%1%2").arg(m_server.securePort()).arg(path);
    for (int i = 0; i < kTries; ++i) {
        if (!halfClose) {
            const CurlResult result = curl(arguments);
            QCOMPARE(result.exitCode, 0);
            QCOMPARE(result.output, answer);
            continue;
        }
        QSslSocket client;
        client.setPeerVerifyMode(QSslSocket::VerifyNone);
        QByteArray received;
        connect(&client, &QSslSocket::readyRead, this, [&] { received += client.readAll(); });
        QSignalSpy encrypted(&client, &QSslSocket::encrypted);
        client.connectToHostEncrypted(QStringLiteral("127.0.0.1"), m_server.securePort());
        QVERIFY(encrypted.wait());
        client.write(((body.isEmpty() ? "GET " : "POST ") + path.toLatin1() + " HTTP/1.1\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body)
                         .repeated(3));
        QVERIFY(client.flush());
        QCOMPARE(::shutdown(int(client.socketDescriptor()), SHUT_WR), 0);
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(received.count("HTTP/1.1 200 OK"), 3);
        QVERIFY2(received.endsWith(answer), received.right(200).constData());
    }
    QCOMPARE(m_event.executed - events, path.startsWith("/events/") ? kTries * (halfClose ? 3 : 1) : 0);
}

void tst_HttpSecurity::httpsWithoutCertificate()
{
    QTemporaryDir dir;
    Server server;
    server.setFilesDirectory(dir.path());
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^HTTPS server not started: no readable certificate"));
    QVERIFY(!server.listenSecure(QStringLiteral("127.0.0.1"), 0));
    QCOMPARE(server.securePort(), quint16(0));
    // The plain listener is not affected.
    QVERIFY(server.listen(QStringLiteral("127.0.0.1"), 0, true));
    QVERIFY(server.port() != 0);
}

QTEST_GUILESS_MAIN(tst_HttpSecurity)
#include "tst_httpsecurity.moc"
