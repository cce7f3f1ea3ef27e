#include "apptestsupport.h"

#include <QJsonDocument>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using Orvix::Tests::FakeAmiServer;
using Orvix::Utils::Promise;

namespace {

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

// The App's links as a whole: the start, the settings it names, a lost link and the restarts, the clean run.
// What the App hands from one part to another is tst_approuting's.
class tst_App : public AppTestCase
{
    Q_OBJECT

public:
    tst_App()
        : AppTestCase(QStringLiteral("_tst_app"))
    {
    }

private Q_SLOTS:
    void init() { initApp(); }
    void cleanup() { cleanupApp(); }
    void startsCrmThenPbx();
    void missingSettingsAreNamed_data();
    void missingSettingsAreNamed();
    void lostLinkRestartsOnce();
    void restartTimerRunsBothLinksAgain();
    void overlappingRestartsAreAllAnswered();
    void lostLinkRejectsTheWaitingCaller_data();
    void lostLinkRejectsTheWaitingCaller();
    void unreachablePbxIsToldOnceThenEveryTenMinutes_data();
    void unreachablePbxIsToldOnceThenEveryTenMinutes();
    void localeChangeRestartsNothing_data();
    void localeChangeRestartsNothing();
    // Last: the clean run quits the application, which ends every event loop started after it.
    void cleanRunEmptiesTheFilesWhereTheLinksKeepThem();
};

void tst_App::startsCrmThenPbx()
{
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    bool started = false;
    app->pbxStarted().onResolve([&started](bool) { started = true; });
    QVERIFY(!app->isStarted());
    // A file without a web password of its own: the start gives it a random one, in the file.
    QStringList corrections;
    QVERIFY(Orvix::Utils::Settings::Manager::apply(QJsonObject{{"WebServer", QJsonObject{{"password", ""}}}},
                                                   &corrections)
                .isEmpty());

    QVERIFY(startApp(*app));
    QVERIFY(app->isStarted());
    QTRY_VERIFY(started);
    QVERIFY(messageSeen("The web password was set to a random value: see WebServer.password in "
                        + m_dir.filePath("config.json")));
    QVERIFY(!config.getString(Orvix::Config::Manager::WebServer, "password").isEmpty());
    // The CRM side binds its click-to-call events before the PBX side logs in.
    const QList<Orvix::Tests::FakeCrmRequest> binds = m_portal->restRequests(QStringLiteral("event.bind"));
    QCOMPARE(binds.size(), 2);
    QCOMPARE(loginCount(), 1);
    // The generated directory exists beside the executable after start.
    QVERIFY(QFileInfo(QCoreApplication::applicationDirPath() + QStringLiteral("/generated_tst_app")).isDir());

    app->run();
    QVERIFY(messageSeen(QStringLiteral("\"Attempting to re-run. Ignore.\"")));
    QCOMPARE(bindCount(), 2);
}

// An operator who has not entered the portal or the manager secret reads so at every run; one whose
// web server cannot listen reads which setting to change.
void tst_App::missingSettingsAreNamed_data()
{
    QTest::addColumn<QJsonObject>("change");
    QTest::addColumn<bool>("portalNamed");
    QTest::addColumn<bool>("managerNamed");
    QTest::addColumn<QString>("critical"); // the one line naming what the start cannot use holds it; empty: none

    QTest::newRow("complete settings name nothing") << QJsonObject() << false << false << QString();
    QTest::newRow("no portal address")
        << QJsonObject{{"Bitrix", QJsonObject{{"host", ""}}}} << true << false << QString();
    QTest::newRow("no portal password")
        << QJsonObject{{"Bitrix", QJsonObject{{"user_password", ""}}}} << true << false << QString();
    QTest::newRow("no manager secret") << QJsonObject{{"Asterisk", QJsonObject{{"password", ""}}}} << false << true
                                       << QString();
    QTest::newRow("an address this host lacks")
        << QJsonObject{{"WebServer", QJsonObject{{"listen_host", "192.0.2.1"}}}} << false << false
        << "This host cannot listen on 192.0.2.1: the /config page and the API do not answer; set "
           "WebServer.listen_host in ";
    QTest::newRow("plain HTTP off and no certificate")
        << QJsonObject{{"WebServer", QJsonObject{{"use_http", false}}}} << false << false
        << "No listener: WebServer.use_http is off and HTTPS did not start";
    // -1: the listen port, held by another program until the line is logged; PORT in the line stands for it.
    QTest::newRow("a port another program holds is tried again until it is free")
        << QJsonObject{{"WebServer", QJsonObject{{"listen_port", -1}}}} << false << false
        << "HTTP port PORT cannot be opened: the /config page and the API do not answer; this copy keeps mirroring "
           "calls and tries port PORT again every 0.1 s; set WebServer.listen_port in ";
    QTest::newRow("an older file's short web password")
        << QJsonObject{{"WebServer", QJsonObject{{"password", "a"}}}} << false << false
        << ": WebServer.password: taken, but a save refuses it: Choose a password of at least 12 characters";
    QTest::newRow("an older file's web password of two characters repeated")
        << QJsonObject{{"WebServer", QJsonObject{{"password", "abababababab"}}}} << false << false
        << ": WebServer.password: taken, but a save refuses it: Choose a password of at least 5 different characters "
           "besides white space";
}

void tst_App::missingSettingsAreNamed()
{
    QFETCH(QJsonObject, change);
    QFETCH(bool, portalNamed);
    QFETCH(bool, managerNamed);
    QFETCH(QString, critical);

    QTcpServer freePorts[2];
    QVERIFY(freePorts[0].listen(QHostAddress::LocalHost) && freePorts[1].listen(QHostAddress::LocalHost));
    const quint16 port = freePorts[0].serverPort();
    const QJsonObject listener{{"listen_host", "127.0.0.1"}, {"listen_port", port},
                               {"listen_port_secure", freePorts[1].serverPort()}, {"password", "a-Pa55-word-long"}};
    freePorts[0].close();
    freePorts[1].close();
    QVERIFY(Orvix::Config::Manager::update({{"WebServer", listener}}).isEmpty());
    QTcpServer holder;
    QJsonObject web = change.value("WebServer").toObject();
    if (web.value("listen_port") == QJsonValue(-1)) {
        web.remove("listen_port");
        change.insert("WebServer", web);
        QVERIFY(holder.listen(QHostAddress::LocalHost, port));
    }
    // As the start reads a file: what only a save refuses is taken.
    QStringList corrections;
    QVERIFY(Orvix::Utils::Settings::Manager::apply(change, &corrections).isEmpty());
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    app->setListenRetryInterval(std::chrono::milliseconds(100));
    app->start();
    QVERIFY(app->isStarted());
    QCOMPARE(!recordedMessages().filter(QStringLiteral("The CRM portal is not set up")).isEmpty(), portalNamed);
    QCOMPARE(messageSeen(QStringLiteral("The Asterisk manager user \"crm\" has no password: enter the secret of "
                                        "its manager.conf section on the /config page")),
             managerNamed);
    const QStringList criticals = recordedMessages().filter(QRegularExpression(
        "^(This host cannot listen|HTTP port|No listener|Configuration file .*WebServer\\.password)"));
    QCOMPARE(criticals.size(), critical.isEmpty() ? 0 : 1);
    if (!critical.isEmpty())
        QVERIFY2(criticals.first().contains(critical.replace("PORT", QString::number(port))),
                 qPrintable(criticals.first()));
    if (holder.isListening()) {
        holder.close();
        QTRY_COMPARE(app->httpServer().port(), port);
    }
    app->stop();
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
    // Which manager interface was lost, not only that one was.
    QVERIFY(messageSeen(QStringLiteral("Asterisk manager interface %1:%2 (user \"crm\"): Lost connection to Asterisk")
                            .arg(m_ami->host())
                            .arg(m_ami->port())));
    QVERIFY(messageSeen(QStringLiteral("\"Should restart. Reason: Lost connection to Asterisk\"")));
    QVERIFY(messageSeen(QStringLiteral("\"Restart after 1 minutes\"")));

    QVERIFY(QMetaObject::invokeMethod(app.get(), "onCRMStopped", Qt::DirectConnection,
                                      Q_ARG(QString, QStringLiteral("Lost CRM connection"))));
    QVERIFY(messageSeen(QStringLiteral("\"Already is about to restart\"")));
    QCOMPARE(recordedMessages().filter(QStringLiteral("Restart after")).size(), 1);

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
    const auto addressWarnings = [] {
        return messageCount(QtWarningMsg, QStringLiteral("The WebServer setting address_ext is empty"));
    };
    const int warned = addressWarnings();

    m_ami->closeConnections();
    QTRY_VERIFY(!app->isStarted());
    QTRY_VERIFY(app->isStarted());
    QTRY_COMPARE(loginCount(), 2);
    QTRY_COMPARE(bindCount(), 4);
    QCOMPARE(m_ami->frames(QStringLiteral("Login")).last().connection, 1);
    // What the administrator is to fill in is said once a process, not at every run of the links.
    QCOMPARE(addressWarnings(), warned);
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

// Restarted every minute (a fake clock), a PBX that stays away is told as critical once, reminded of as a
// warning every 10 minutes, and its recovery once.
void tst_App::unreachablePbxIsToldOnceThenEveryTenMinutes_data()
{
    QTest::addColumn<QString>("secret"); // of the manager user; empty: not set up yet
    QTest::newRow("set up") << "crmsecret";
    QTest::newRow("no manager secret yet") << "";
}

void tst_App::unreachablePbxIsToldOnceThenEveryTenMinutes()
{
    QFETCH(QString, secret);
    const quint16 port = m_ami->port();
    m_ami.reset(); // nothing listens on the configured port
    Orvix::Config::Manager config;
    QVERIFY(Orvix::Config::Manager::update(QJsonObject{{"Asterisk", QJsonObject{{"password", secret}}}}).isEmpty());
    const auto app = makeApp(config);
    app->setRestartDelay(std::chrono::milliseconds(0));
    int minutes = 0;
    const QDateTime start = QDateTime::currentDateTime();
    Orvix::Entities::Clock::setSource([&minutes, start] { return start.addSecs(60 * minutes); });
    // Runs after the App's own slot: the failure of minute 20 is the last before a long wait.
    connect(&app->pbx(), &Orvix::PBX::Asterisk::API::shouldStop, this, [&minutes, &app] {
        if (++minutes == 20)
            app->setRestartDelay(std::chrono::hours(1));
    });
    app->start();
    QTRY_COMPARE_WITH_TIMEOUT(minutes, 21, 60000);
    const QString failure = QStringLiteral("Cannot connect to Asterisk at 127.0.0.1:%1: connection refused").arg(port);
    QCOMPARE(messageCount(QtCriticalMsg, failure), 1);
    QCOMPARE(messageCount(QtWarningMsg, failure), 2); // reminders at minutes 10 and 20
    QCOMPARE(messageCount(QtWarningMsg, QStringLiteral("has no password")), secret.isEmpty() ? 1 : 0);
    QCOMPARE(messageCount(QtWarningMsg, QStringLiteral("Asterisk")), secret.isEmpty() ? 3 : 2);
    QCOMPARE(messageCount(QtInfoMsg, QStringLiteral("Restart after")), 1);
    QCOMPARE(messageCount(QtInfoMsg, QStringLiteral("The application is running")), 1);
    if (secret.isEmpty())
        return; // the login would be refused

    m_ami = std::make_unique<FakeAmiServer>();
    QVERIFY(m_ami->listen(port));
    app->restart(Promise<void, QJsonObject>());
    const QString recovery = QStringLiteral("Connected to Asterisk at 127.0.0.1:%1 again").arg(port);
    QTRY_COMPARE_WITH_TIMEOUT(messageCount(QtInfoMsg, recovery), 1, 10000);
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
    QVERIFY(recordedMessages().filter(QStringLiteral("Restart")).isEmpty());
    QCOMPARE(loginCount(), 1);
}

void tst_App::cleanRunEmptiesTheFilesWhereTheLinksKeepThem()
{
    // The links keep their files in the test's directory (makeApp): the clean run must empty those, not
    // files of the same name beside the executable.
    Orvix::Config::Manager config;
    const auto app = makeApp(config);
    const QString state = app->pbx().stateFilePath();
    QCOMPARE(state, m_dir.filePath("generated_tst_app/state.json"));
    QFile stateFile(state);
    QVERIFY(stateFile.open(QIODevice::WriteOnly | QIODevice::Truncate));
    stateFile.write(R"({"previous_event_id": 99})");
    stateFile.close();
    const QString token = m_dir.filePath("generated_tst_app/token.json");
    QVERIFY(QFileInfo(token).size() > 0);

    app->clean();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(state).size() == 0, 10000);
    QCOMPARE(QFileInfo(token).size(), 0);
    QCOMPARE(app->crm().connector().tokenFilePath(), token);
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
