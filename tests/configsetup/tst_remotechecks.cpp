#include "config/manager.h"
#include "configsetup/configupdater.h"
#include "crm/bitrix/constants.h"
#include "httpclient/httpclient.h"
#include "setuptestsupport.h"
#include "support/fakeamiserver.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>

using Orvix::ConfigSetup::ConfigUpdater;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmServer;

namespace {

// A port on loopback where nobody listens.
quint16 closedPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 1;
}

QString loopbackHost()
{
    return QStringLiteral("127.0.0.1");
}

// Critical lines logged, passed on to the test's own handler.
int g_criticals = 0;
QtMessageHandler g_testHandler = nullptr;

void countCriticals(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtCriticalMsg)
        ++g_criticals;
    g_testHandler(type, context, message);
}

} // namespace

class tst_RemoteChecks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void asteriskCheck_data();
    void asteriskCheck();
    void crmCheck_data();
    void crmCheck();
    void networkCheck_data();
    void networkCheck();
    void checkConnectionsInOrder();
    void checksAnswerWhenTheUpdaterGoes();

private:
    using Start = std::function<void(ConfigUpdater &, Orvix::Utils::Promise<QJsonObject>)>;
    QJsonObject run(const Start &start);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<ConfigUpdater> m_updater;
    QByteArray m_originalPath;
    Orvix::Config::Manager m_config;
};

void tst_RemoteChecks::initTestCase()
{
    m_originalPath = qgetenv("PATH");
}

void tst_RemoteChecks::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    SetupTest::freshConfig(m_dir->filePath("config.json"));
    m_updater = std::make_unique<ConfigUpdater>(QSharedPointer<Orvix::HttpClient::HttpClient>::create(), m_config);
    m_updater->setTokenBaseDirectory(m_dir->path());
    m_updater->setCheckTimeout(std::chrono::milliseconds(500));
    m_updater->setCrmCheckTimeout(std::chrono::seconds(10));
}

void tst_RemoteChecks::cleanup()
{
    m_updater.reset();
    qputenv("PATH", m_originalPath);
    qunsetenv(Orvix::CRM::Bitrix::kTokenUrlVariable);
    Orvix::Config::Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName.clear();
    m_dir.reset();
}

QJsonObject tst_RemoteChecks::run(const Start &start)
{
    Orvix::Utils::Promise<QJsonObject> promise;
    const auto outcome = Orvix::Tests::watch<QJsonObject, void>(promise);
    int settlements = 0;
    promise.onResolve([&settlements](const QJsonObject &) { ++settlements; });
    start(*m_updater, promise);
    if (!QTest::qWaitFor([&outcome] { return outcome->settled; }, 30000))
        return QJsonObject{{"status", "not settled"}};
    // Anything still running would settle a second time now (a second settlement is dropped, but must not happen).
    QCoreApplication::processEvents();
    if (settlements != 1 || outcome->thread != QThread::currentThread())
        return QJsonObject{{"status", "settled wrongly"}};
    return outcome->value;
}

void tst_RemoteChecks::asteriskCheck_data()
{
    QTest::addColumn<QString>("server"); // "fake", "closed", "silent"
    QTest::addColumn<QString>("secret");
    QTest::addColumn<int>("status");

    QTest::newRow("fine") << "fake" << "crmsecret" << 0;
    QTest::newRow("wrong secret") << "fake" << "wrong" << 2;
    // Not taken from manager.conf for a user other than the service's own: asked for, not tried.
    QTest::newRow("no secret") << "fake" << "" << 4;
    QTest::newRow("closed port") << "closed" << "crmsecret" << 1;
    QTest::newRow("silent server") << "silent" << "crmsecret" << 3;
}

void tst_RemoteChecks::asteriskCheck()
{
    QFETCH(QString, server);
    QFETCH(QString, secret);
    QFETCH(int, status);

    FakeAmiServer ami;
    ami.setLoginFailureDelay(0);
    QVERIFY(ami.listen());
    QTcpServer silent; // accepts and never sends the greeting
    QVERIFY(silent.listen(QHostAddress::LocalHost));

    quint16 port = ami.port();
    if (server == "closed")
        port = closedPort();
    else if (server == "silent")
        port = silent.serverPort();

    const QJsonObject settings{{"host", "127.0.0.1"}, {"port", port}, {"user", "crm"}, {"password", secret}};
    QVERIFY(Orvix::Config::Manager::update({{"Asterisk", settings}}).isEmpty());
    const QJsonObject result = run([&settings](ConfigUpdater &u, auto p) { u.asteriskCheck(p, settings); });
    QCOMPARE(result.value("status"), QJsonValue(status));
    QCOMPARE(m_updater->checkStatus().value("asterisk").toObject(), result);
    if (server == "closed") // where, and why in words
        QCOMPARE(result.value("message").toString(),
                 QStringLiteral("Cannot connect to Asterisk at 127.0.0.1:%1: connection refused").arg(port));
    if (server == "silent")
        QCOMPARE(result.value("message").toString(),
                 QStringLiteral("Asterisk at 127.0.0.1:%1 did not answer in time").arg(port));
    if (secret.isEmpty())
        QCOMPARE(result.value("message").toString(),
                 QStringLiteral("Enter the secret of manager user \"crm\" (Asterisk.password)"));
    if (server == "fake") {
        QCOMPARE(ami.frames("Login").size(), secret.isEmpty() ? 0 : 1);
        // The check's connection does not stay open.
        QTRY_COMPARE(ami.openConnections(), 0);
    }
}

void tst_RemoteChecks::crmCheck_data()
{
    QTest::addColumn<QString>("portal"); // "fake", "closed"
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("profileAnswer"); // "ok", "error", "silent", "foreign client", "no portal"
    QTest::addColumn<int>("status");

    QTest::newRow("fine") << "fake" << "secret" << "ok" << 0;
    QTest::newRow("incomplete settings") << "fake" << "" << "ok" << 1;
    QTest::newRow("portal unreachable") << "closed" << "secret" << "ok" << 2;
    QTest::newRow("login refused") << "fake" << "wrong" << "ok" << 3;
    QTest::newRow("other authorisation error") << "fake" << "secret" << "foreign client" << 4;
    QTest::newRow("REST request failed") << "fake" << "secret" << "error" << 5;
    QTest::newRow("time-out") << "fake" << "secret" << "silent" << 6;
    QTest::newRow("an address that answers, but not as a portal") << "fake" << "secret" << "no portal" << 4;
}

void tst_RemoteChecks::crmCheck()
{
    QFETCH(QString, portal);
    QFETCH(QString, password);
    QFETCH(QString, profileAnswer);
    QFETCH(int, status);

    FakeCrmServer fake;
    QVERIFY(fake.isListening());
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, fake.tokenUrl().toString().toUtf8());
    const QJsonObject profile{{"ID", "1"}, {"ADMIN", true}, {"NAME", "Anna"}, {"LAST_NAME", "Ivanova"}};
    const QJsonObject appInfo{{"ID", "17"}, {"CODE", "local.calvena"}, {"STATUS", "L"}, {"INSTALLED", true}};
    if (profileAnswer == "foreign client") // the token endpoint does not know the application
        fake.pushReply("/oauth/token/", FakeCrmReply::error(401, "invalid_client", "Unknown client"));
    if (profileAnswer == "ok" || profileAnswer == "foreign client")
        fake.setRestResult("profile", profile);
    else if (profileAnswer == "error")
        fake.pushRestReply("profile", FakeCrmReply::error(400, "ERROR_METHOD", "Method failed"));
    else
        fake.pushRestReply("profile", FakeCrmReply::silent());
    fake.setRestResult("app.info", appInfo);
    if (profileAnswer == "silent")
        m_updater->setCrmCheckTimeout(std::chrono::milliseconds(500));
    if (profileAnswer == "no portal") // a web server's own page wherever it is asked
        fake.pushReply("/oauth/authorize/", FakeCrmReply::html("<html><body><p>It works!</p></body></html>"));

    // The running link's token, which the check must leave alone.
    QVERIFY(Orvix::Config::Manager::update({{"App", QJsonObject{{"generated_postfix", "_live"}}}}).isEmpty());
    const QString liveToken = m_dir->path() + "/generated_live/token.json";
    const QByteArray liveBytes =
        R"({"access_token":"live-access","refresh_token":"live-refresh","valid_till":"2099-01-01T00:00:00"})";
    QVERIFY(QDir().mkpath(QFileInfo(liveToken).path()));
    QVERIFY(SetupTest::writeFile(liveToken, liveBytes));

    const QString host = portal == "closed" ? QStringLiteral("http://127.0.0.1:%1").arg(closedPort()) : fake.baseUrl();
    const QJsonObject settings{{"host", host}, {"user_id", 1}, {"user_login", "admin"}, {"user_password", password}};
    QVERIFY(Orvix::Config::Manager::update({{"Bitrix", settings}}).isEmpty());
    g_criticals = 0;
    g_testHandler = qInstallMessageHandler(countCriticals);
    const QJsonObject result = run([&settings](ConfigUpdater &u, auto p) { u.bxCheck(p, settings); });
    qInstallMessageHandler(g_testHandler);
    // A failed check is its answer on the page, no fault of the running service.
    QCOMPARE(g_criticals, 0);

    QCOMPARE(result.value("status"), QJsonValue(status));
    QCOMPARE(m_updater->checkStatus().value("bitrix").toObject(), result);
    QCOMPARE(SetupTest::readFile(liveToken), liveBytes);
    // An unreachable portal is named, so the page says which address failed.
    if (status == 2)
        QCOMPARE(result.value("message").toString(),
                 QStringLiteral("Cannot connect to the CRM portal at %1: connection refused").arg(host));
    if (status == 6)
        QCOMPARE(result.value("message").toString(),
                 QStringLiteral("The CRM portal at %1 did not answer in time").arg(host));
    if (profileAnswer == "no portal")
        QVERIFY2(result.value("message").toString().startsWith(host + " does not answer as a CRM portal"),
                 qPrintable(result.value("message").toString()));
    if (status == 0) {
        QCOMPARE(result.value("profile").toObject(), profile);
        QCOMPARE(result.value("app_info").toObject(), appInfo);
        // Both went as GET requests with the check's fresh token.
        QCOMPARE(fake.restRequests("profile").size(), 1);
        QCOMPARE(fake.restRequests("profile").first().verb, QByteArray("GET"));
        QCOMPARE(fake.restRequests("app.info").first().query.value("auth").toString(), fake.lastAccessToken());
        QCOMPARE(fake.requests("/oauth/authorize/").size(), 1);
    }
}

void tst_RemoteChecks::networkCheck_data()
{
    QTest::addColumn<QByteArray>("ping"); // the stand-in's body; empty: no ping installed
    QTest::addColumn<bool>("listening");  // for the TCP connection tried without ping
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("status");

    const QString loopback = QStringLiteral("127.0.0.1");
    QTest::newRow("ping answered") << QByteArray("exit 0\n") << false << loopback << 0;
    QTest::newRow("ping unanswered") << QByteArray("exit 1\n") << true << loopback << 1;
    QTest::newRow("ping hangs") << QByteArray("exec /bin/sleep 60\n") << true << loopback << 1;
    QTest::newRow("no ping, port open") << QByteArray() << true << loopback << 0;
    QTest::newRow("no ping, port closed") << QByteArray() << false << loopback << 1;
    QTest::newRow("a host that reads as an option is not run") << QByteArray("exit 0\n") << true << "-f" << 1;
}

void tst_RemoteChecks::networkCheck()
{
    QFETCH(QByteArray, ping);
    QFETCH(bool, listening);
    QFETCH(QString, host);
    QFETCH(int, status);

    const QString bin = m_dir->path() + "/bin";
    QVERIFY(QDir().mkpath(bin));
    const QString log = m_dir->path() + "/ping.log";
    if (!ping.isEmpty())
        QVERIFY(SetupTest::writeProgram(bin + "/ping", log, ping));
    qputenv("PATH", bin.toUtf8());

    QTcpServer https;
    QVERIFY(https.listen(QHostAddress::LocalHost));
    const quint16 port = listening ? https.serverPort() : closedPort();
    m_updater->setNetworkHost(host, port);

    const QJsonObject result = run([](ConfigUpdater &u, auto p) { u.networkCheck(p); });
    QCOMPARE(result.value("status"), QJsonValue(status));
    QCOMPARE(result.value("host"), QJsonValue(host));
    if (host != loopbackHost())
        QVERIFY(!QFile::exists(log));
    else if (!ping.isEmpty())
        QCOMPARE(SetupTest::readFile(log), QByteArray("-c 1 -W 1 127.0.0.1\n"));
}

void tst_RemoteChecks::checkConnectionsInOrder()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    const QString bin = m_dir->path() + "/bin";
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(SetupTest::writeProgram(bin + "/ping", m_dir->path() + "/ping.log", "exit 0\n"));
    qputenv("PATH", bin.toUtf8());
    m_updater->setNetworkHost("127.0.0.1", 443);

    // A database nobody serves, a working manager interface, a CRM without settings.
    const quint16 databasePort = closedPort();
    QVERIFY(
        Orvix::Config::Manager::update(
            {{"Database", QJsonObject{{"host", "127.0.0.1"}, {"port", databasePort}}},
             {"Asterisk",
              QJsonObject{{"host", "127.0.0.1"}, {"port", ami.port()}, {"user", "crm"}, {"password", "crmsecret"}}}})
            .isEmpty());

    const QJsonObject result = run([](ConfigUpdater &u, auto p) { u.checkConnections(p); });
    QCOMPARE(result.value("database").toObject().value("status"), QJsonValue(2));
    QCOMPARE(result.value("database").toObject().value("message").toString(),
             QStringLiteral("Cannot connect to the database at 127.0.0.1:%1: connection refused").arg(databasePort));
    QCOMPARE(result.value("asterisk").toObject().value("status"), QJsonValue(0));
    QCOMPARE(result.value("bitrix").toObject().value("status"), QJsonValue(1));
    QCOMPARE(result.value("network").toObject().value("status"), QJsonValue(0));
    QCOMPARE(result.value("general").toObject().value("status"), QJsonValue(2));
    QVERIFY(result.value("general").toObject().value("message").toString().contains("database, bitrix"));
    QCOMPARE(m_updater->checkStatus(), result);
}

void tst_RemoteChecks::checksAnswerWhenTheUpdaterGoes()
{
    QTcpServer silent; // accepts, never answers: AMI, portal and OAuth alike
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    const QString bin = m_dir->path() + "/bin";
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(SetupTest::writeProgram(bin + "/ping", m_dir->path() + "/ping.log", "exec /bin/sleep 60\n"));
    QVERIFY(SetupTest::writeProgram(bin + "/asterisk", m_dir->path() + "/asterisk.log", "exec /bin/sleep 60\n"));
    qputenv("PATH", bin.toUtf8());
    m_updater->setCheckTimeout(std::chrono::seconds(60));
    m_updater->setCrmCheckTimeout(std::chrono::seconds(60));
    m_updater->setNetworkHost("127.0.0.1", silent.serverPort());

    const QString url = QStringLiteral("http://127.0.0.1:%1").arg(silent.serverPort());
    QList<Orvix::Utils::Promise<QJsonObject>> promises;
    for (int i = 0; i < 4; ++i)
        promises.append(Orvix::Utils::Promise<QJsonObject>());
    QList<QSharedPointer<Orvix::Tests::Outcome<QJsonObject, void>>> outcomes;
    for (const auto &promise : promises)
        outcomes.append(Orvix::Tests::watch<QJsonObject, void>(promise));
    m_updater->asteriskCheck(promises[0],
                             {{"host", "127.0.0.1"}, {"port", silent.serverPort()}, {"password", "secret"}});
    m_updater->bxCheck(promises[1], {{"host", url}, {"user_login", "admin"}, {"user_password", "secret"}});
    m_updater->networkCheck(promises[2]);
    m_updater->locateAsterisk(promises[3]);
    // Every program is running by now, and no check has answered.
    QTRY_VERIFY(QFile::exists(m_dir->path() + "/ping.log") && QFile::exists(m_dir->path() + "/asterisk.log"));
    for (const auto &outcome : outcomes)
        QVERIFY(!outcome->settled);

    m_updater.reset();
    for (int i = 0; i < outcomes.size(); ++i) {
        QTRY_VERIFY(outcomes[i]->settled);
        QCOMPARE(outcomes[i]->value.value("status"), QJsonValue(-1));
        QCOMPARE(outcomes[i]->thread, QThread::currentThread());
    }
}

QTEST_GUILESS_MAIN(tst_RemoteChecks)
#include "tst_remotechecks.moc"
