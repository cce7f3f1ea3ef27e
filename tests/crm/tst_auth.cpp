#include "crm/bitrix/auth.h"
#include "crm/bitrix/constants.h"
#include "crm/bitrix/token.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Auth;
using Orvix::CRM::Bitrix::Token;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;

namespace {

const QString kPassword = QStringLiteral("pa55-Секрет");

// What the fake portal answers in one table row.
struct Scripted
{
    FakeCrmReply reply;
};

} // namespace

Q_DECLARE_METATYPE(Scripted)

class tst_Auth : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void emptyTokenLogsInWithTwoRequests();
    void validTokenSendsNothing();
    void expiredTokenIsRefreshed();
    void failedRefreshFallsBackToLogin();
    void authorizePages_data();
    void authorizePages();
    void tokenAnswers_data();
    void tokenAnswers();
    void missingSettings_data();
    void missingSettings();
    void unreachablePortalGivesCodeZero();
    void silentPortalTimesOut();
    void restUrl_data();
    void restUrl();
    void resetTokenEmptiesFile();
    void destroyedDuringLoginSettlesCaller();
    void passwordNeverLogged();

private:
    QScopedPointer<Auth> makeAuth(const QString &host, const QString &login = QStringLiteral("admin"),
                                  const QString &password = kPassword);
    void storeToken(const QJsonObject &json);
    QJsonObject storedToken() const;

    QScopedPointer<FakeCrmServer> m_fake;
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<Orvix::HttpClient::HttpClient> m_client;
};

void tst_Auth::init()
{
    m_fake.reset(new FakeCrmServer);
    QVERIFY(m_fake->isListening());
    m_fake->setCredentials("admin", kPassword);
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, m_fake->tokenUrl().toString().toUtf8());
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_client.reset(new Orvix::HttpClient::HttpClient);
}

void tst_Auth::cleanup()
{
    m_client.reset();
    m_fake.reset();
}

QScopedPointer<Auth> tst_Auth::makeAuth(const QString &host, const QString &login, const QString &password)
{
    return QScopedPointer<Auth>(new Auth(host, login, password, "_t", m_client, nullptr, m_dir->path()));
}

void tst_Auth::storeToken(const QJsonObject &json)
{
    Token token("_t", m_dir->path());
    token.fromJson(json);
    QVERIFY(token.save());
}

QJsonObject tst_Auth::storedToken() const
{
    QFile file(m_dir->path() + "/generated_t/token.json");
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_Auth::emptyTokenLogsInWithTwoRequests()
{
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
    QCOMPARE(outcome->value, QJsonObject({{"auth", m_fake->lastAccessToken()}}));

    const auto requests = m_fake->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests.at(0).path, QStringLiteral("/oauth/authorize/"));
    // The login form's fields are posted, as the portal's own form does: no URL, and so no access log, holds
    // the password.
    QCOMPARE(requests.at(0).verb, QByteArray("POST"));
    const QJsonObject login = requests.at(0).form;
    QCOMPARE(login.value("USER_LOGIN").toString(), QStringLiteral("admin"));
    QCOMPARE(login.value("USER_PASSWORD").toString(), kPassword);
    const QJsonObject inUrl = requests.at(0).query;
    QCOMPARE(inUrl, QJsonObject({{"response_type", "code"}, {"client_id", "app.6b2e9a4c1d8f73.24681357"}}));
    QVERIFY(!login.contains("client_secret"));

    QCOMPARE(requests.at(1).path, QStringLiteral("/oauth/token/"));
    const QJsonObject exchange = requests.at(1).query;
    QCOMPARE(exchange.value("grant_type").toString(), QStringLiteral("authorization_code"));
    QVERIFY(!exchange.value("code").toString().isEmpty());
    QCOMPARE(exchange.value("client_secret").toString(), QStringLiteral("a1b2c3d4e5f60718293a4b5c6d7e8f90"));

    const QJsonObject stored = storedToken();
    QCOMPARE(stored.keys(), QStringList({"access_token", "refresh_token", "valid_till"}));
    QCOMPARE(stored.value("access_token").toString(), m_fake->lastAccessToken());
    QCOMPARE(stored.value("refresh_token").toString(), m_fake->lastRefreshToken());
    QVERIFY(stored.value("valid_till").isString());
}

void tst_Auth::validTokenSendsNothing()
{
    storeToken({{"access_token", "stored"}, {"refresh_token", "r"}, {"expires_in", 3600}});
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCredentials());
    QVERIFY(outcome->resolved); // settled before returning: nothing to wait for
    QCOMPARE(outcome->value.value("auth").toString(), QStringLiteral("stored"));
    QVERIFY(m_fake->requests().isEmpty());
}

void tst_Auth::expiredTokenIsRefreshed()
{
    m_fake->addRefreshToken("refresh-1");
    storeToken({{"access_token", "old"}, {"refresh_token", "refresh-1"}, {"valid_till", "2001-01-01 00:00:00"}});
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
    QCOMPARE(outcome->value.value("auth").toString(), m_fake->lastAccessToken());

    const auto requests = m_fake->requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.at(0).path, QStringLiteral("/oauth/token/"));
    QCOMPARE(requests.at(0).query.value("grant_type").toString(), QStringLiteral("refresh_token"));
    QCOMPARE(requests.at(0).query.value("refresh_token").toString(), QStringLiteral("refresh-1"));
    QCOMPARE(storedToken().value("refresh_token").toString(), m_fake->lastRefreshToken());
}

void tst_Auth::failedRefreshFallsBackToLogin()
{
    storeToken({{"access_token", "old"}, {"refresh_token", "revoked"}, {"valid_till", "2001-01-01 00:00:00"}});
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);

    const auto requests = m_fake->requests();
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests.at(0).query.value("grant_type").toString(), QStringLiteral("refresh_token"));
    QCOMPARE(requests.at(1).path, QStringLiteral("/oauth/authorize/"));
    QCOMPARE(requests.at(2).query.value("grant_type").toString(), QStringLiteral("authorization_code"));
}

void tst_Auth::authorizePages_data()
{
    QTest::addColumn<Scripted>("scripted");
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("description");

    const QString loginForm = "An authorization form received in response. The password is not correct or we've "
                              "got captcha.";
    QTest::newRow("code page") << Scripted{FakeCrmReply::html(FakeCrmServer::codePage("abc123"))} << "abc123" << 0 << "";
    QTest::newRow("first word of the heading")
        << Scripted{FakeCrmReply::html("<html><h1 class=\"x\">Code: 9f8e</h1></html>")} << "Code" << 0 << "";
    QTest::newRow("code on another line than the heading")
        << Scripted{FakeCrmReply::html("<h1>\nabc\n</h1><p>nothing</p>")} << "" << 200
        << "Failed to find authorization code in response.";
    QTest::newRow("error block") << Scripted{FakeCrmReply::html(FakeCrmServer::errorPage("Error: Wrong password"))} << "" << 200
                                 << "";
    QTest::newRow("error block without separator")
        << Scripted{FakeCrmReply::html(FakeCrmServer::errorPage("Неверный логин"))} << "" << 200 << "";
    QTest::newRow("login form again") << Scripted{FakeCrmReply::html(FakeCrmServer::loginFormPage())} << "" << 200 << loginForm;
    QTest::newRow("nothing recognised") << Scripted{FakeCrmReply::html("<html><body>maintenance</body></html>")} << "" << 200
                                        << "Failed to find authorization code in response.";
    QTest::newRow("client error") << Scripted{FakeCrmReply::raw(403, "forbidden")} << "" << 403 << "Client Error";
    QTest::newRow("server error") << Scripted{FakeCrmReply::raw(502, "bad gateway")} << "" << 502 << "bad gateway";
    QTest::newRow("redirect to the page") << Scripted{FakeCrmReply::redirect("/oauth/landing/")} << "landing1" << 0 << "";
}

void tst_Auth::authorizePages()
{
    QFETCH(Scripted, scripted);
    const FakeCrmReply reply = scripted.reply;
    QFETCH(QString, code);
    QFETCH(int, errorCode);
    QFETCH(QString, description);

    m_fake->pushReply("/oauth/authorize/", reply);
    m_fake->setRouteHandler("/oauth/landing/", [](const Orvix::Tests::FakeCrmRequest &) {
        return FakeCrmReply::html(FakeCrmServer::codePage("landing1"));
    });
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCode());
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, !code.isEmpty());
    if (outcome->resolved) {
        QCOMPARE(outcome->value, code);
        return;
    }
    QCOMPARE(outcome->error.value("code").toInt(), errorCode);
    QCOMPARE(outcome->error.value("description").toString(), description);
}

void tst_Auth::tokenAnswers_data()
{
    QTest::addColumn<Scripted>("scripted");
    QTest::addColumn<bool>("resolved");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("description");

    QTest::newRow("token without expiry")
        << Scripted{FakeCrmReply::json(QJsonObject{{"access_token", "new"}, {"refresh_token", "r2"}})} << true << 0 << "";
    QTest::newRow("200 without access token")
        << Scripted{FakeCrmReply::json(QJsonObject{{"refresh_token", "r2"}, {"expires_in", 3600}})} << false << 200
        << "The answer has no access token";
    QTest::newRow("200 with an empty access token")
        << Scripted{FakeCrmReply::json(QJsonObject{{"access_token", ""}, {"expires_in", 3600}})} << false << 200
        << "The answer has no access token";
    QTest::newRow("200 that is no JSON") << Scripted{FakeCrmReply::html("<html>proxy</html>")} << false << 200
                                         << "The answer has no access token";
    QTest::newRow("401") << Scripted{FakeCrmReply::error(401, "invalid_client", "x")} << false << 401 << "Client Error";
    QTest::newRow("402") << Scripted{FakeCrmReply::error(402, "payment", "x")} << false << 402 << "Client Error";
    QTest::newRow("500 with body") << Scripted{FakeCrmReply::raw(500, "oops")} << false << 500 << "oops";
}

void tst_Auth::tokenAnswers()
{
    QFETCH(Scripted, scripted);
    const FakeCrmReply reply = scripted.reply;
    QFETCH(bool, resolved);
    QFETCH(int, errorCode);
    QFETCH(QString, description);

    const QJsonObject before{{"access_token", "kept"}, {"refresh_token", "kept-r"}, {"valid_till", QJsonValue()}};
    storeToken(before);
    m_fake->pushReply("/oauth/token/", reply);
    const auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getToken("somecode"));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);
    if (resolved) {
        QCOMPARE(storedToken().value("access_token").toString(), QStringLiteral("new"));
        QVERIFY(storedToken().value("valid_till").isNull());
        return;
    }
    QCOMPARE(outcome->error.value("code").toInt(), errorCode);
    QCOMPARE(outcome->error.value("description").toString(), description);
    // A failed answer never touches the stored token.
    QCOMPARE(storedToken(), before);
}

void tst_Auth::missingSettings_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("login");
    QTest::addColumn<QString>("description");

    QTest::newRow("no portal") << "" << "admin" << "Portal address is empty";
    QTest::newRow("no login") << "http://127.0.0.1:1" << "" << "User login is empty";
}

void tst_Auth::missingSettings()
{
    QFETCH(QString, host);
    QFETCH(QString, login);
    QFETCH(QString, description);

    const auto auth = makeAuth(host, login);
    const auto outcome = watch(auth->getCredentials());
    QVERIFY(outcome->settled); // no request, so nothing to wait for
    QVERIFY(!outcome->resolved);
    QCOMPARE(outcome->error, QJsonObject({{"description", description}}));
    QVERIFY(m_fake->requests().isEmpty());
}

void tst_Auth::unreachablePortalGivesCodeZero()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();

    const auto auth = makeAuth(QStringLiteral("http://127.0.0.1:%1").arg(port));
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(!outcome->resolved);
    QCOMPARE(outcome->error.value("code").toInt(-1), 0);
    // The log and the CRM check show why: the host and the transport's own reason.
    const QString description = outcome->error.value("description").toString();
    QCOMPARE(description, QStringLiteral("Cannot connect to the CRM portal at 127.0.0.1: connection refused"));
}

void tst_Auth::silentPortalTimesOut()
{
    m_fake->pushReply("/oauth/authorize/", FakeCrmReply::silent());
    const auto auth = makeAuth(m_fake->baseUrl());
    auth->setRequestTimeout(std::chrono::milliseconds(200));
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(!outcome->resolved);
    QCOMPARE(outcome->error.value("code").toInt(-1), 0);
}

void tst_Auth::restUrl_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("url");

    QTest::newRow("plain") << "https://portal.example" << "https://portal.example/rest/user.get/";
    QTest::newRow("trailing slash") << "https://portal.example/" << "https://portal.example/rest/user.get/";
    QTest::newRow("two slashes keep one") << "https://portal.example//" << "https://portal.example//rest/user.get/";
}

void tst_Auth::restUrl()
{
    QFETCH(QString, host);
    QFETCH(QString, url);
    QCOMPARE(makeAuth(host)->getRestUrl("user.get"), url);
}

void tst_Auth::resetTokenEmptiesFile()
{
    storeToken({{"access_token", "a"}, {"refresh_token", "r"}, {"expires_in", 3600}});
    const auto auth = makeAuth(m_fake->baseUrl());
    auth->resetToken();
    QCOMPARE(storedToken(),
             QJsonObject({{"access_token", ""}, {"refresh_token", ""}, {"valid_till", QJsonValue()}}));

    // With the refresh token gone too, the next call logs in without trying a refresh.
    const auto outcome = watch(auth->getCredentials());
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->resolved);
    QCOMPARE(m_fake->requests().first().path, QStringLiteral("/oauth/authorize/"));
}

void tst_Auth::destroyedDuringLoginSettlesCaller()
{
    m_fake->pushReply("/oauth/authorize/", FakeCrmReply::silent());
    QSignalSpy received(m_fake.data(), &FakeCrmServer::requestReceived);
    auto auth = makeAuth(m_fake->baseUrl());
    const auto outcome = watch(auth->getCredentials());
    QVERIFY(received.wait());
    QVERIFY(!outcome->settled);

    auth.reset();
    QVERIFY(outcome->settled);
    QVERIFY(!outcome->resolved);
    QVERIFY(outcome->error.contains("description"));
}

void tst_Auth::passwordNeverLogged()
{
    LogCapture capture;
    // A successful login, then a refused one: neither may write the password anywhere.
    {
        const auto auth = makeAuth(m_fake->baseUrl());
        const auto outcome = watch(auth->getCredentials());
        QTRY_VERIFY(outcome->settled);
    }
    m_fake->setCredentials("admin", "other");
    {
        const auto auth = makeAuth(m_fake->baseUrl());
        auth->resetToken();
        const auto outcome = watch(auth->getCredentials());
        QTRY_VERIFY(outcome->settled);
        QVERIFY(!outcome->resolved);
    }
    m_fake->pushReply("/oauth/authorize/", FakeCrmReply::raw(403, "denied"));
    {
        const auto auth = makeAuth(m_fake->baseUrl());
        const auto outcome = watch(auth->getCredentials());
        QTRY_VERIFY(outcome->settled);
        QCOMPARE(outcome->error.value("code").toInt(), 403);
    }
    const QStringList messages = LogCapture::messages();
    QVERIFY(!messages.filter("Authorization code request").isEmpty());
    QVERIFY(messages.filter(kPassword).isEmpty());
    QVERIFY(messages.filter(QUrl::toPercentEncoding(kPassword)).isEmpty());
}

QTEST_GUILESS_MAIN(tst_Auth)
#include "tst_auth.moc"
