#include "app/app.h"
#include "config/manager.h"
#include "entities/call.h"
#include "support/fakeamiserver.h"
#include "utils/settingsmanager.h"

#include <QJsonDocument>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>


using Orvix::Tests::FakeAmiServer;

namespace {

// Lines come from the SQL workers' threads too.
QMutex g_messagesMutex;
QStringList g_messages;

void recordMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker locker(&g_messagesMutex);
    g_messages.append(message);
}

bool messageSeen(const QString &message)
{
    QMutexLocker locker(&g_messagesMutex);
    return g_messages.contains(message);
}

} // namespace

class tst_App : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void callStartMessage_data();
    void callStartMessage();
    void lostPbxStopsAndRunsAgain();
    void restartTimerRunsTheLinkAgain();
    void customizationAnswersWithTheParameters();

private:
    void writeConfig();

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAmiServer> m_ami;
};

void tst_App::init()
{
    QVERIFY(m_dir.isValid());
    m_ami = std::make_unique<FakeAmiServer>();
    QVERIFY(m_ami->listen());
    writeConfig();
    Orvix::Config::Manager::init();
    {
        QMutexLocker locker(&g_messagesMutex);
        g_messages.clear();
    }
    qInstallMessageHandler(recordMessage);
}

void tst_App::cleanup()
{
    qInstallMessageHandler(nullptr);
    m_ami.reset();
    Orvix::Config::Manager::resetForTesting();
}

void tst_App::writeConfig()
{
    const QJsonObject config{
        {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                 {"user", "crm"}, {"password", "crmsecret"}}},
        // Nothing listens there: the link's SQL side waits, which these cases do not need.
        {"Database", QJsonObject{{"host", "127.0.0.1"}, {"port", 1}}},
        {"App", QJsonObject{{"generated_postfix", "_tst_app"}}},
    };
    const QString path = m_dir.filePath("config.json");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
    file.close();
    Orvix::Utils::Settings::Manager::configName = path;
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

// The lifecycle lines are logged as quoted texts.
void tst_App::lostPbxStopsAndRunsAgain()
{
    Orvix::Config::Manager config;
    Orvix::App app(nullptr, QString(), config);
    bool started = false;
    app.pbxStarted().onResolve([&started](bool) { started = true; });

    app.start();
    QVERIFY(app.isStarted());
    QTRY_VERIFY(started);

    m_ami->closeConnections();
    QTRY_VERIFY(!app.isStarted());
    QVERIFY(messageSeen(QStringLiteral("\"Should restart. Reason: Lost connection to Asterisk\"")));
    QVERIFY(messageSeen(QStringLiteral("\"Restart after 1 minutes\"")));

    // What the restart timer does when it fires: the link logs in again on a new connection.
    app.run();
    QVERIFY(app.isStarted());
    QTRY_COMPARE(m_ami->frames(QStringLiteral("Login")).size(), 2);
    QCOMPARE(m_ami->frames(QStringLiteral("Login")).last().connection, 1);

    app.run();
    QVERIFY(messageSeen(QStringLiteral("\"Attempting to re-run. Ignore.\"")));
}

void tst_App::restartTimerRunsTheLinkAgain()
{
    Orvix::Config::Manager config;
    Orvix::App app(nullptr, QString(), config);
    app.setRestartDelay(std::chrono::milliseconds(100));
    app.start();
    QTRY_COMPARE(m_ami->frames(QStringLiteral("Login")).size(), 1);
    // Wait until the link is really up before taking it down.
    QTRY_VERIFY(m_ami->frames(QStringLiteral("IAXpeers")).size() == 1);

    m_ami->closeConnections();
    QTRY_VERIFY(!app.isStarted());
    QTRY_VERIFY(app.isStarted());
    QTRY_COMPARE(m_ami->frames(QStringLiteral("Login")).size(), 2);
}

void tst_App::customizationAnswersWithTheParameters()
{
    Orvix::Config::Manager config;
    Orvix::App app(nullptr, QString(), config);
    app.start();
    QTRY_VERIFY(m_ami->frames(QStringLiteral("IAXpeers")).size() == 1);

    bool done = false;
    app.pbx().originate(QStringLiteral("101"), QStringLiteral("84951112233"), QStringLiteral("5"))
        .onResolve([&done] { done = true; });
    QTRY_VERIFY(done);
    const FakeAmiServer::Frame frame = m_ami->frames(QStringLiteral("Originate")).last();
    QCOMPARE(frame.value(QStringLiteral("Channel")), QStringLiteral("SIP/101"));
    QCOMPARE(frame.value(QStringLiteral("Exten")), QStringLiteral("84951112233"));
}

QTEST_GUILESS_MAIN(tst_App)
#include "tst_app.moc"
