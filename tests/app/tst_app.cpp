#include "app/app.h"
#include "config/manager.h"
#include "crm/bitrix/constants.h"
#include "entities/call.h"
#include "support/fakeamiserver.h"
#include "support/fakecrmserver.h"
#include "utils/settingsmanager.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QtTest>

#include <memory>

using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::FakeCrmServer;
using Orvix::Utils::Promise;

namespace {

QStringList g_messages;

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    g_messages.append(message);
}

const QJsonObject kReconnectPbx{{"error", "ERROR_PBX_RECONNECTION"}};
const QJsonObject kReconnectCrm{{"error", "ERROR_CRM_RECONNECTION"}};

// What became of one caller's promise.
struct Outcome
{
    bool resolved = false;
    bool rejected = false;
    QJsonObject error;
};

std::shared_ptr<Outcome> watch(Promise<void, QJsonObject> promise)
{
    auto outcome = std::make_shared<Outcome>();
    promise.onResolve([outcome]() { outcome->resolved = true; });
    promise.onReject([outcome](const QJsonObject &error) {
        outcome->rejected = true;
        outcome->error = error;
    });
    return outcome;
}

} // namespace

// The App in process, with both of its links against the fake AMI server and the fake portal (whose
// token is already on file, so no login goes first). The database is unreachable: the SQL side waits,
// which these cases do not need.
class tst_App : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void callStartMessage_data();
    void callStartMessage();
    void startsCrmThenPbx();
    void lostLinkRestartsOnce();
    void restartTimerRunsBothLinksAgain();
    void overlappingRestartsAreAllAnswered();
    void lostLinkRejectsTheWaitingCaller_data();
    void lostLinkRejectsTheWaitingCaller();
    void localeChangeRestartsNothing_data();
    void localeChangeRestartsNothing();
    void authenticationNeverLogsThePassword_data();
    void authenticationNeverLogsThePassword();
    void originateCustomization_data();
    void originateCustomization();

private:
    void writeConfig();
    std::unique_ptr<Orvix::App> makeApp(Orvix::Config::Manager &config);
    // Started, with the PBX link logged in and the CRM's events bound.
    bool startApp(Orvix::App &app);
    int loginCount() const { return m_ami->frames(QStringLiteral("Login")).size(); }
    int bindCount() const { return m_portal->restRequests(QStringLiteral("event.bind")).size(); }

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAmiServer> m_ami;
    std::unique_ptr<FakeCrmServer> m_portal;
};

void tst_App::init()
{
    QVERIFY(m_dir.isValid());
    m_ami = std::make_unique<FakeAmiServer>();
    QVERIFY(m_ami->listen());
    m_portal = std::make_unique<FakeCrmServer>();
    QVERIFY(m_portal->isListening());
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, m_portal->tokenUrl().toString().toUtf8());
    m_portal->addAccessToken(QStringLiteral("seeded-access"));
    for (const char *method : {"event.bind", "telephony.externalLine.add"})
        m_portal->setRestResult(method, true);
    m_portal->setRestResult(QStringLiteral("event.get"), QJsonArray());
    m_portal->setRestResult(QStringLiteral("telephony.externalLine.get"), QJsonArray());
    writeConfig();
    Orvix::Config::Manager::init();
    g_messages.clear();
    qInstallMessageHandler(recordMessage);
}

void tst_App::cleanup()
{
    qInstallMessageHandler(nullptr);
    m_ami.reset();
    m_portal.reset();
    Orvix::Config::Manager::resetForTesting();
}

void tst_App::writeConfig()
{
    const QJsonObject config{
        {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                 {"user", "crm"}, {"password", "crmsecret"}}},
        {"Database", QJsonObject{{"host", "127.0.0.1"}, {"port", 1}}},
        {"App", QJsonObject{{"generated_postfix", "_tst_app"}, {"locale", "ru"}}},
        {"Bitrix", QJsonObject{{"host", m_portal->baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                               {"user_id", 1}, {"execution_loop_interval_msec", 5}}},
        {"WebServer", QJsonObject{{"user", "operator"}, {"password", "Pa55-word"}}},
    };
    const QString path = m_dir.filePath("config.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(config).toJson());
    file.close();
    Orvix::Utils::Settings::Manager::configName = path;

    QVERIFY(QDir().mkpath(m_dir.filePath("generated_tst_app")));
    QFile token(m_dir.filePath("generated_tst_app/token.json"));
    QVERIFY(token.open(QIODevice::WriteOnly | QIODevice::Truncate));
    token.write(QJsonDocument(QJsonObject{{"access_token", "seeded-access"}, {"refresh_token", "seeded-refresh"}})
                    .toJson());
}

std::unique_ptr<Orvix::App> tst_App::makeApp(Orvix::Config::Manager &config)
{
    auto app = std::make_unique<Orvix::App>(nullptr, QString(), config);
    app->crm().connector().setTokenBaseDirectory(m_dir.path());
    app->crm().connector().setLocalesDirectory(m_dir.filePath("locales"));
    app->crm().setGeneratedDirectory(m_dir.filePath("generated_tst_app"));
    app->pbx().setGeneratedDirectory(m_dir.filePath("generated_tst_app"));
    // Nothing of this machine's own PBX is read or changed.
    app->configUpdater().setRootDirectory(m_dir.path());
    return app;
}

bool tst_App::startApp(Orvix::App &app)
{
    app.start();
    return QTest::qWaitFor([this] { return m_ami->frames(QStringLiteral("IAXpeers")).size() >= 1 && bindCount() >= 2; },
                           10000);
}

void tst_App::callStartMessage_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("expected");

    QTest::newRow("incoming names the caller")
        << int(Orvix::Entities::CallType::Incoming)
        << "Incoming call started [X] to the number [100] through the trunk [T]";
    QTest::newRow("outgoing names the callee")
        << int(Orvix::Entities::CallType::Outgoing)
        << "Outgoing call started [X] to the number [200] through the trunk [T]";
    QTest::newRow("unknown is local") << int(Orvix::Entities::CallType::Unknown)
                                      << "Local call started [X] to the number [200] through the trunk [T]";
    QTest::newRow("local") << int(Orvix::Entities::CallType::Local)
                           << "Local call started [X] to the number [200] through the trunk [T]";
}

void tst_App::callStartMessage()
{
    QFETCH(int, type);
    QFETCH(QString, expected);

    Orvix::Entities::Call call(QStringLiteral("X"));
    call.setFrom(QStringLiteral("100"), false);
    call.setTo(QStringLiteral("200"), true);
    call.setTrunk(QStringLiteral("T"));
    call.setType(static_cast<Orvix::Entities::CallType>(type));
    QCOMPARE(Orvix::App::callStartMessage(call), expected);
}

void tst_App::startsCrmThenPbx()
{
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    bool started = false;
    app->pbxStarted().onResolve([&started](bool) { started = true; });
    QVERIFY(!app->isStarted());

    QVERIFY(startApp(*app));
    QVERIFY(app->isStarted());
    QTRY_VERIFY(started);
    // The CRM side binds its click-to-call events before the PBX side logs in.
    const QList<Orvix::Tests::FakeCrmRequest> binds = m_portal->restRequests(QStringLiteral("event.bind"));
    QCOMPARE(binds.size(), 2);
    QCOMPARE(loginCount(), 1);
    // The generated directory exists beside the executable after start.
    QVERIFY(QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/generated_tst_app")).isDir());

    app->run();
    QVERIFY(g_messages.contains(QStringLiteral("\"Attempting to re-run. Ignore.\"")));
    QCOMPARE(bindCount(), 2);
}

// One lost link stops both and schedules one restart; more losses and an accepted configuration
// update in the window neither crash nor schedule a second one.
void tst_App::lostLinkRestartsOnce()
{
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));

    m_ami->closeConnections();
    QTRY_VERIFY(!app->isStarted());
    QVERIFY(app->isRestartPending());
    QVERIFY(g_messages.contains(QStringLiteral("\"Should restart. Reason: Lost connection to Asterisk\"")));
    QVERIFY(g_messages.contains(QStringLiteral("\"Restart after 1 minutes\"")));

    QVERIFY(QMetaObject::invokeMethod(app.get(), "onCRMStopped", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("Lost CRM connection"))));
    QVERIFY(g_messages.contains(QStringLiteral("\"Already is about to restart\"")));
    QCOMPARE(g_messages.filter(QStringLiteral("Restart after")).size(), 1);

    // What an accepted "/update_config" does in the window: runs the stopped links again at once.
    Promise<void, QJsonObject> caller;
    const auto answered = watch(caller);
    app->restart(caller);
    QVERIFY(app->isStarted());
    QVERIFY(!app->isRestartPending());
    QTRY_VERIFY_WITH_TIMEOUT(answered->resolved, 10000);
    QCOMPARE(loginCount(), 2);
    QCOMPARE(bindCount(), 4);
}

void tst_App::restartTimerRunsBothLinksAgain()
{
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    app->setRestartDelay(std::chrono::milliseconds(100));
    QVERIFY(startApp(*app));

    m_ami->closeConnections();
    QTRY_VERIFY(!app->isStarted());
    QTRY_VERIFY(app->isStarted());
    QTRY_COMPARE(loginCount(), 2);
    QTRY_COMPARE(bindCount(), 4);
    QCOMPARE(m_ami->frames(QStringLiteral("Login")).last().connection, 1);
}

void tst_App::overlappingRestartsAreAllAnswered()
{
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));

    Promise<void, QJsonObject> first;
    Promise<void, QJsonObject> second;
    const auto firstOutcome = watch(first);
    const auto secondOutcome = watch(second);
    app->restart(first);
    app->restart(second);
    QTRY_VERIFY_WITH_TIMEOUT(firstOutcome->resolved && secondOutcome->resolved, 10000);
    QVERIFY(app->isStarted());
}

void tst_App::lostLinkRejectsTheWaitingCaller_data()
{
    QTest::addColumn<bool>("pbxLost");
    QTest::addColumn<QJsonObject>("error");

    QTest::newRow("the PBX refuses the login") << true << kReconnectPbx;
    QTest::newRow("the CRM is lost") << false << kReconnectCrm;
}

void tst_App::lostLinkRejectsTheWaitingCaller()
{
    QFETCH(bool, pbxLost);
    QFETCH(QJsonObject, error);

    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));

    Promise<void, QJsonObject> caller;
    const auto outcome = watch(caller);
    if (pbxLost) {
        m_ami->setLoginFailureDelay(0);
        m_ami->setCredentials(QStringLiteral("somebody"), QStringLiteral("else"));
    }
    app->restart(caller);
    if (!pbxLost) {
        QVERIFY(QMetaObject::invokeMethod(app.get(), "onCRMStopped", Qt::DirectConnection,
                                          Q_ARG(QString, QStringLiteral("Lost CRM connection"))));
    }
    QTRY_VERIFY_WITH_TIMEOUT(outcome->rejected, 10000);
    QCOMPARE(outcome->error, error);
    QVERIFY(!outcome->resolved);
    QVERIFY(app->isRestartPending());
}

void tst_App::localeChangeRestartsNothing_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QString>("locale");

    QTest::newRow("a new dictionary") << "de.json" << "de";
    QTest::newRow("a name without the ending is taken whole") << "custom" << "custom";
    QTest::newRow("the same locale again") << "ru.json" << "ru";
}

void tst_App::localeChangeRestartsNothing()
{
    QFETCH(QString, fileName);
    QFETCH(QString, locale);

    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));
    QVERIFY(QMetaObject::invokeMethod(app.get(), "onLocaleChanged", Qt::DirectConnection, Q_ARG(QString, fileName)));

    QCOMPARE(Orvix::Config::Manager::getString(Orvix::Config::Manager::App, QStringLiteral("locale")), locale);
    QVERIFY(app->isStarted());
    QVERIFY(!app->isRestartPending());
    QVERIFY(g_messages.filter(QStringLiteral("Restart")).isEmpty());
    QCOMPARE(loginCount(), 1);
}

void tst_App::authenticationNeverLogsThePassword_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("status");

    QTest::newRow("right user and password") << "operator" << "Pa55-word" << 200;
    QTest::newRow("right user, wrong password") << "operator" << "guess-word" << 401;
    QTest::newRow("wrong user") << "intruder" << "Pa55-word" << 401;
    QTest::newRow("password differs in case") << "operator" << "pa55-word" << 401;
}

void tst_App::authenticationNeverLogsThePassword()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(int, status);

    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    QVERIFY(app->httpServer().listen(QStringLiteral("127.0.0.1"), 0, true));

    QNetworkAccessManager network;
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("user"), user);
    query.addQueryItem(QStringLiteral("password"), password);
    QUrl url(QStringLiteral("http://127.0.0.1:%1/auth").arg(app->httpServer().port()));
    url.setQuery(query);
    QNetworkReply *reply = network.get(QNetworkRequest(url));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(10000));
    const int answer = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    reply->deleteLater();

    QCOMPARE(answer, status);
    QVERIFY(!g_messages.filter(QStringLiteral("Получен запрос авторизации: %1").arg(user)).isEmpty());
    QCOMPARE(g_messages.filter(QStringLiteral("Попытка авторизоваться")).size(), status == 200 ? 0 : 1);
    QVERIFY2(g_messages.filter(password, Qt::CaseInsensitive).isEmpty(), qPrintable(g_messages.join('\n')));
}

void tst_App::originateCustomization_data()
{
    QTest::addColumn<QByteArray>("script"); // empty: no program configured
    QTest::addColumn<QString>("channel");

    QTest::newRow("no program") << QByteArray() << QStringLiteral("SIP/101");
    QTest::newRow("script rewrites the channel")
        << QByteArray(R"sh(printf '{"state":"success","data":%s}' "$(printf '%s' "$2" | sed 's|SIP/101|SIP/7101|')")sh")
        << QStringLiteral("SIP/7101");
    QTest::newRow("failing script: the call goes out as asked")
        << QByteArray("echo 'out of order' >&2; exit 3") << QStringLiteral("SIP/101");
}

void tst_App::originateCustomization()
{
    QFETCH(QByteArray, script);
    QFETCH(QString, channel);

    QString program;
    if (!script.isEmpty()) {
        program = m_dir.filePath("customizer.sh");
        QFile file(program);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("#!/bin/sh\n" + script + '\n');
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    Orvix::Config::Manager config;
    QVERIFY(config.update(QJsonObject{{"App", QJsonObject{{"customizer_program_path", program},
                                                          {"customization_time_msec", 20000}}}})
                .isEmpty());
    const auto app = makeApp(config);
    QVERIFY(startApp(*app));

    bool done = false;
    app->pbx().originate(QStringLiteral("101"), QStringLiteral("84951112233"), QStringLiteral("5"))
        .onResolve([&done] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 30000);
    const FakeAmiServer::Frame frame = m_ami->frames(QStringLiteral("Originate")).last();
    QCOMPARE(frame.value(QStringLiteral("Channel")), channel);
    QCOMPARE(frame.value(QStringLiteral("Exten")), QStringLiteral("84951112233"));
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
