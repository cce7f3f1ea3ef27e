#include "config/manager.h"
#include "configsetup/configupdater.h"
#include "httpclient/httpclient.h"
#include "setuptestsupport.h"
#include "support/promisewatch.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::ConfigSetup::ConfigUpdater;

class tst_LocateAsterisk : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void locate_data();
    void locate();

private:
    QJsonObject locate(ConfigUpdater &updater);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;
    QString m_bin;
    QByteArray m_originalPath;
    Orvix::Config::Manager m_config;
};

void tst_LocateAsterisk::initTestCase()
{
    m_originalPath = qgetenv("PATH");
}

void tst_LocateAsterisk::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = m_dir->path() + "/root";
    QVERIFY(SetupTest::copyTree(SAMPLE_ROOT, m_root));
    SetupTest::freshConfig(m_dir->path() + "/config.json");
    QVERIFY(Orvix::Config::Manager::update({{"Asterisk", QJsonObject{{"user", "admin"}}}}).isEmpty());
    m_bin = m_dir->path() + "/bin";
    QVERIFY(QDir().mkpath(m_bin));
    // Only the stand-ins: a real asterisk of the machine must not answer.
    qputenv("PATH", m_bin.toUtf8());
}

void tst_LocateAsterisk::cleanup()
{
    qputenv("PATH", m_originalPath);
    Orvix::Config::Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName.clear();
    m_dir.reset();
}

QJsonObject tst_LocateAsterisk::locate(ConfigUpdater &updater)
{
    Orvix::Utils::Promise<QJsonObject> promise;
    const auto outcome = Orvix::Tests::watch<QJsonObject, void>(promise);
    updater.locateAsterisk(promise);
    if (!QTest::qWaitFor([&outcome] { return outcome->settled; }, 30000))
        return {};
    return outcome->value;
}

void tst_LocateAsterisk::locate_data()
{
    QTest::addColumn<QByteArray>("program"); // the stand-in's shell body; empty: no asterisk installed
    QTest::addColumn<int>("status");
    QTest::addColumn<QJsonValue>("celEnabled");

    const QByteArray answers = "case \"$1 $2\" in\n"
                               "  '-V ') echo 'Asterisk 20.5.2' ;;\n"
                               "  '-rx cel show status') printf 'CEL Logging: %s\\nCEL Event: ALL\\n' \"$CEL\" ;;\n"
                               "  *) exit 1 ;;\n"
                               "esac\n";
    QTest::newRow("CEL on") << QByteArray("CEL=Enabled\n" + answers) << 0 << QJsonValue(true);
    QTest::newRow("CEL off") << QByteArray("CEL=Disabled\n" + answers) << 0 << QJsonValue(false);
    QTest::newRow("console not running")
        << QByteArray("[ \"$1\" = -V ] && echo 'Asterisk 20.5.2' && exit 0\n"
                      "echo 'Unable to connect to remote asterisk' >&2; exit 1\n")
        << 0 << QJsonValue();
    QTest::newRow("console hangs") << QByteArray(
        "[ \"$1\" = -V ] && echo 'Asterisk 20.5.2' && exit 0\nexec /bin/sleep 60\n")
                                   << 0 << QJsonValue();
    QTest::newRow("not installed") << QByteArray() << 1 << QJsonValue();
}

void tst_LocateAsterisk::locate()
{
    QFETCH(QByteArray, program);
    QFETCH(int, status);
    QFETCH(QJsonValue, celEnabled);

    if (!program.isEmpty())
        QVERIFY(SetupTest::writeProgram(m_bin + "/asterisk", m_dir->path() + "/asterisk.log", program));

    ConfigUpdater updater(QSharedPointer<Orvix::HttpClient::HttpClient>::create(), m_config);
    updater.setRootDirectory(m_root);
    updater.setCheckTimeout(std::chrono::milliseconds(500));
    const QJsonObject result = locate(updater);

    QCOMPARE(result.value("status"), QJsonValue(status));
    if (status != 0)
        return;
    QCOMPARE(result.value("version"), QJsonValue("Asterisk 20.5.2"));
    QCOMPARE(result.value("pickup_code"), QJsonValue("**"));
    QCOMPARE(result.value("context"), QJsonValue("from-internal"));
    QCOMPARE(result.value("cel").toObject().value("enabled"), celEnabled.isUndefined() ? QJsonValue() : celEnabled);

    const QJsonObject settings = result.value("settings").toObject();
    QCOMPARE(settings.value("Database").toObject(),
             (QJsonObject{{"host", "127.0.0.1"},
                          {"port", 3307},
                          {"user", "freepbxuser"},
                          {"password", "s3cr;et"},
                          {"database", "asteriskcdrdb"},
                          {"table_name_aliases", QJsonObject{{"cel", "cel_events"}}}}));
    QCOMPARE(settings.value("Asterisk").toObject(),
             (QJsonObject{{"host", "127.0.0.1"}, {"port", 5039}, {"user", "admin"}})); // another user's secret stays
    // Proposing changes nothing.
    QCOMPARE(Orvix::Config::Manager::getString(Orvix::Config::Manager::Asterisk, "password"), QString());
}

QTEST_GUILESS_MAIN(tst_LocateAsterisk)
#include "tst_locateasterisk.moc"
