#include "config/manager.h"
#include "configsetup/asteriskconfigreader.h"
#include "configsetup/configupdater.h"
#include "crm/bitrix/constants.h"
#include "httpclient/httpclient.h"
#include "setuptestsupport.h"
#include "support/fakeamiserver.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::Config::Manager;
using Orvix::ConfigSetup::AsteriskConfigReader;
using Orvix::ConfigSetup::ConfigUpdater;

class tst_ConfigUpdater : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void fillsOnlyUnsetSettings_data();
    void fillsOnlyUnsetSettings();
    void secondStartWritesNothing();
    void managerUser_data();
    void managerUser();
    void updateConfigSavesWithoutSignal();
    void nothingCheckedAtFirst();
    void checksSendTheSavedSecretOnlyToTheSavedAddress_data();
    void checksSendTheSavedSecretOnlyToTheSavedAddress();

private:
    std::unique_ptr<ConfigUpdater> makeUpdater();
    QString managerPath() const { return m_root + "/etc/asterisk/manager.conf"; }

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_root;
    QString m_configPath;
    QString m_programLog;
    QByteArray m_originalPath;
    Manager m_config;
};

void tst_ConfigUpdater::initTestCase()
{
    m_originalPath = qgetenv("PATH");
}

void tst_ConfigUpdater::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = m_dir->path() + "/root";
    QVERIFY(SetupTest::copyTree(SAMPLE_ROOT, m_root));
    m_configPath = m_dir->path() + "/config.json";
    SetupTest::freshConfig(m_configPath);

    const QString bin = m_dir->path() + "/bin";
    QVERIFY(QDir().mkpath(bin));
    m_programLog = m_dir->path() + "/asterisk.log";
    QVERIFY(SetupTest::writeProgram(bin + "/asterisk", m_programLog, "exit 0\n"));
    qputenv("PATH", bin.toUtf8() + ':' + m_originalPath);
}

void tst_ConfigUpdater::cleanup()
{
    qputenv("PATH", m_originalPath);
    Manager::resetForTesting();
    Orvix::Utils::Settings::Manager::configName.clear();
    m_dir.reset();
}

std::unique_ptr<ConfigUpdater> tst_ConfigUpdater::makeUpdater()
{
    auto updater = std::make_unique<ConfigUpdater>(QSharedPointer<Orvix::HttpClient::HttpClient>::create(), m_config);
    updater->setRootDirectory(m_root);
    return updater;
}

void tst_ConfigUpdater::fillsOnlyUnsetSettings_data()
{
    QTest::addColumn<QJsonObject>("preset");
    QTest::addColumn<QJsonObject>("database");
    QTest::addColumn<QJsonObject>("asterisk");

    const QJsonObject fromFiles{{"host", "127.0.0.1"},  {"port", 3307},          {"user", "freepbxuser"},
                                {"password", "s3cr;et"}, {"database", "asteriskcdrdb"}};
    QTest::newRow("fresh settings: all from the files")
        << QJsonObject{} << fromFiles << QJsonObject{{"host", "127.0.0.1"}, {"port", 5039}, {"password", "own-secret"}};
    // Its secret would show on the page and go to whatever address is saved next.
    QTest::newRow("a user named with no password gets no secret from manager.conf")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "admin"}}}} << fromFiles
        << QJsonObject{{"host", "127.0.0.1"}, {"port", 5039}, {"password", ""}};
    QTest::newRow("the operator's database server stays with its port and no credentials")
        << QJsonObject{{"Database", QJsonObject{{"host", "db.example"}, {"port", 3310}}}}
        << QJsonObject{{"host", "db.example"}, {"port", 3310}, {"user", ""}, {"password", ""}}
        << QJsonObject{{"port", 5039}};
    QTest::newRow("the same server: only the missing password is taken")
        << QJsonObject{{"Database", QJsonObject{{"host", "127.0.0.1"}, {"user", "calvena"}}}}
        << QJsonObject{{"host", "127.0.0.1"}, {"port", 3306}, {"user", "calvena"}, {"password", "s3cr;et"}}
        << QJsonObject{};
    QTest::newRow("localhost is the files' 127.0.0.1: the missing credentials are taken")
        << QJsonObject{{"Database", QJsonObject{{"host", "localhost"}}}}
        << QJsonObject{{"host", "localhost"}, {"port", 3306}, {"user", "freepbxuser"}, {"password", "s3cr;et"}}
        << QJsonObject{};
    QTest::newRow("a set manager secret keeps the whole Asterisk section")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "admin"}, {"password", "mine"}, {"port", 6000}}}}
        << fromFiles << QJsonObject{{"port", 6000}, {"password", "mine"}};
    QTest::newRow("a remote PBX's manager settings are not taken from this host's files")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "admin"}, {"host", "10.0.0.5"}}}} << fromFiles
        << QJsonObject{{"host", "10.0.0.5"}, {"port", 5038}, {"password", ""}};
    QTest::newRow("the operator's manager port stays while the secret is filled in")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "CALV"}, {"port", 6000}}}} << fromFiles
        << QJsonObject{{"port", 6000}, {"password", "own-secret"}};
}

void tst_ConfigUpdater::fillsOnlyUnsetSettings()
{
    QFETCH(QJsonObject, preset);
    QFETCH(QJsonObject, database);
    QFETCH(QJsonObject, asterisk);

    QVERIFY(Manager::update(preset).isEmpty());
    QFile manager(managerPath());
    QVERIFY(manager.open(QIODevice::Append) && manager.write("\n[calv]\nsecret = own-secret\n") > 0);
    manager.close();
    auto updater = makeUpdater();
    QVERIFY(!updater->isConfigured());
    updater->readAsteriskConfig();
    QVERIFY(updater->isConfigured());

    // What the service holds is what the file holds.
    const QJsonObject saved = QJsonDocument::fromJson(SetupTest::readFile(m_configPath)).object();
    for (auto it = database.begin(); it != database.end(); ++it) {
        QCOMPARE(Manager::value(Manager::Database, it.key()), it.value());
        QCOMPARE(saved.value("Database").toObject().value(it.key()), it.value());
    }
    for (auto it = asterisk.begin(); it != asterisk.end(); ++it) {
        QCOMPARE(Manager::value(Manager::Asterisk, it.key()), it.value());
        QCOMPARE(saved.value("Asterisk").toObject().value(it.key()), it.value());
    }
    const QString celTable = Manager::getStringHash(Manager::Database, "table_name_aliases").value("cel");
    // The table name comes with the server: an operator who named a server keeps the usual table.
    const bool serverSet = preset.value("Database").toObject().contains("host");
    QCOMPARE(celTable, serverSet ? QStringLiteral("cel") : QStringLiteral("cel_events"));
    QCOMPARE(Manager::getStringHash(Manager::Database, "table_name_aliases").value("cdr"), QStringLiteral("cdr"));
}

void tst_ConfigUpdater::secondStartWritesNothing()
{
    QVERIFY(Manager::update({{"Asterisk", QJsonObject{{"user", "admin"}}}}).isEmpty());
    QVERIFY(makeUpdater()->readAsteriskConfig());

    const QByteArray before = SetupTest::readFile(m_configPath);
    const QDateTime old(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC);
    {
        QFile file(m_configPath);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
    }

    // The next start of the service: the same files, the settings saved by the first.
    auto second = makeUpdater();
    QVERIFY(!second->readAsteriskConfig());
    QVERIFY(second->isConfigured());
    QCOMPARE(QFileInfo(m_configPath).lastModified().toUTC(), old);
    QCOMPARE(SetupTest::readFile(m_configPath), before);
    QVERIFY(!QFile::exists(m_programLog));
}

void tst_ConfigUpdater::managerUser_data()
{
    QTest::addColumn<QJsonObject>("preset");
    QTest::addColumn<QByteArray>("customFile");
    QTest::addColumn<bool>("added");

    QTest::newRow("missing user of a local PBX is added") << QJsonObject{} << QByteArray() << true;
    QTest::newRow("localhost counts as this host")
        << QJsonObject{{"Asterisk", QJsonObject{{"host", "localhost"}}}} << QByteArray() << true;
    QTest::newRow("remote PBX is left alone")
        << QJsonObject{{"Asterisk", QJsonObject{{"host", "10.0.0.5"}}}} << QByteArray() << false;
    QTest::newRow("existing user is left alone")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "admin"}}}} << QByteArray() << false;
    QTest::newRow("an existing user written in other case is left alone")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "ADMIN"}}}} << QByteArray() << false;
    QTest::newRow("a set password means the user is managed elsewhere")
        << QJsonObject{{"Asterisk", QJsonObject{{"password", "given"}}}} << QByteArray() << false;
    QTest::newRow("a user name that would break the file is refused")
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "calv] [admin"}}}} << QByteArray() << false;
    QTest::newRow("a user of an included file is left alone")
        << QJsonObject{} << QByteArray("[Calv]\nsecret = theirs\nread = call\n") << false;
    QTest::newRow("an included file without the user does not stop it")
        << QJsonObject{} << QByteArray("[other]\nsecret = theirs\n") << true;
}

void tst_ConfigUpdater::managerUser()
{
    QFETCH(QJsonObject, preset);
    QFETCH(QByteArray, customFile);
    QFETCH(bool, added);

    QVERIFY(Manager::update(preset).isEmpty());
    if (!customFile.isEmpty()) {
        QFile custom(m_root + "/etc/asterisk/manager_custom.conf");
        QVERIFY(custom.open(QIODevice::WriteOnly));
        custom.write(customFile);
    }
    const QByteArray before = SetupTest::readFile(managerPath());
    auto updater = makeUpdater();
    updater->readAsteriskConfig();

    if (!added) {
        QCOMPARE(SetupTest::readFile(managerPath()), before);
        QVERIFY(!QFile::exists(m_programLog));
        return;
    }

    const QByteArray after = SetupTest::readFile(managerPath());
    QVERIFY(after.startsWith(before));
    AsteriskConfigReader reader(m_root);
    QVERIFY(reader.parseManagerFile("/etc/asterisk/manager.conf"));
    const AsteriskConfigReader::Section user = reader.managerSections().value("calv");
    QVERIFY(user.value("secret").size() >= 16);
    QCOMPARE(user.value("secret"), Manager::getString(Manager::Asterisk, "password"));
    QCOMPARE(user.value("read"), QStringLiteral("system,call,command,originate"));
    QCOMPARE(user.value("write"), QStringLiteral("system,call,command,originate"));
    QCOMPARE(user.value("permit"), QStringLiteral("127.0.0.1/255.255.255.255"));
    QCOMPARE(user.value("deny"), QStringLiteral("0.0.0.0/0.0.0.0"));
    // The other users are untouched.
    QCOMPARE(reader.managerSections().value("admin").value("secret"), QStringLiteral("amp111"));

    // Reloaded before the step returns: the PBX link logs in right after it.
    QCOMPARE(SetupTest::readFile(m_programLog), QByteArray("-rx manager reload\n"));

    // Once added, the next start has nothing to do.
    auto next = makeUpdater();
    QVERIFY(!next->readAsteriskConfig());
    QCOMPARE(SetupTest::readFile(managerPath()), after);
}

void tst_ConfigUpdater::updateConfigSavesWithoutSignal()
{
    auto updater = makeUpdater();
    QSignalSpy changed(updater.get(), &ConfigUpdater::configChanged);

    bool resolved = false;
    updater->updateConfig({{"App", QJsonObject{{"locale", "de"}}}}).onResolve([&resolved] { resolved = true; });
    QVERIFY(resolved);
    QCOMPARE(
        QJsonDocument::fromJson(SetupTest::readFile(m_configPath)).object().value("App").toObject().value("locale"),
        QJsonValue("de"));
    QCOMPARE(updater->config().value("App").toObject().value("locale"), QJsonValue("de"));

    QJsonObject refused;
    updater->updateConfig({{"App", QJsonObject{{"locale", "fr"}, {"no_lead_mode", "yes"}}}})
        .onReject([&refused](const QJsonObject &errors) { refused = errors; });
    QVERIFY(!refused.isEmpty());
    QVERIFY(refused.keys().join(' ').contains("no_lead_mode"));
    QCOMPARE(Manager::getString(Manager::App, "locale"), QStringLiteral("de"));
    QCOMPARE(changed.count(), 0);
}

void tst_ConfigUpdater::nothingCheckedAtFirst()
{
    const QJsonObject status = makeUpdater()->checkStatus();
    QCOMPARE(status.keys(), (QStringList{"asterisk", "bitrix", "database", "general", "network"}));
    for (const QString &key : status.keys())
        QCOMPARE(status.value(key).toObject().value("status"), QJsonValue(-1));
}

// A check of another address than the saved one (a page of another site can make the browser ask for one) must
// carry its own secret: the saved one never goes there.
void tst_ConfigUpdater::checksSendTheSavedSecretOnlyToTheSavedAddress_data()
{
    QTest::addColumn<QString>("check");
    QTest::addColumn<QJsonObject>("given"); // "ELSEWHERE": the other server's port or address
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("secretSeen"); // by the other server; empty: it was not even asked

    QTest::newRow("manager interface elsewhere, no secret") << "asterisk" << QJsonObject{{"port", "ELSEWHERE"}} << 4
                                                            << QString();
    QTest::newRow("manager interface elsewhere with its secret")
        << "asterisk" << QJsonObject{{"port", "ELSEWHERE"}, {"password", "typed"}} << 0 << "typed";
    QTest::newRow("portal elsewhere, no login and password") << "bitrix" << QJsonObject{{"host", "ELSEWHERE"}} << 1
                                                             << QString();
    QTest::newRow("portal elsewhere, the password alone")
        << "bitrix" << QJsonObject{{"host", "ELSEWHERE"}, {"user_password", "secret"}} << 1 << QString();
    QTest::newRow("portal elsewhere with its login and password")
        << "bitrix" << QJsonObject{{"host", "ELSEWHERE"}, {"user_login", "admin"}, {"user_password", "secret"}} << 0
        << "secret";
    // A secret that is no text is none: the saved one must not stand in for it.
    QTest::newRow("manager interface elsewhere, a secret that is no text")
        << "asterisk" << QJsonObject{{"port", "ELSEWHERE"}, {"password", QJsonValue()}} << 4 << QString();
    QTest::newRow("portal elsewhere, login and password that are no text")
        << "bitrix" << QJsonObject{{"host", "ELSEWHERE"}, {"user_login", 1}, {"user_password", QJsonValue()}} << 1
        << QString();
    QTest::newRow("database elsewhere, a password that is no text")
        << "database" << QJsonObject{{"port", "ELSEWHERE"}, {"password", false}} << 8 << QString();
}

void tst_ConfigUpdater::checksSendTheSavedSecretOnlyToTheSavedAddress()
{
    QFETCH(QString, check);
    QFETCH(QJsonObject, given);
    QFETCH(int, status);
    QFETCH(QString, secretSeen);

    Orvix::Tests::FakeAmiServer ami;
    ami.setCredentials("crm", "typed");
    ami.setLoginFailureDelay(0);
    QVERIFY(ami.listen());
    Orvix::Tests::FakeCrmServer portal;
    QVERIFY(portal.isListening());
    portal.setRestResult("profile", QJsonObject{{"ID", "1"}});
    portal.setRestResult("app.info", QJsonObject{{"ID", "17"}});
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, portal.tokenUrl().toString().toUtf8());
    QVERIFY(Manager::update({{"Asterisk", QJsonObject{{"host", "127.0.0.1"}, {"port", 5038}, {"user", "crm"},
                                                      {"password", "saved-secret"}}},
                             {"Bitrix", QJsonObject{{"host", "https://portal.invalid"}, {"user_login", "boss"},
                                                    {"user_password", "saved-password"}}},
                             {"Database", QJsonObject{{"host", "127.0.0.1"}, {"password", "saved-db"}}}})
                .isEmpty());
    if (given.value("port") == QJsonValue("ELSEWHERE"))
        given.insert("port", ami.port());
    if (given.value("host") == QJsonValue("ELSEWHERE"))
        given.insert("host", portal.baseUrl());

    const auto updater = makeUpdater();
    updater->setTokenBaseDirectory(m_dir->path());
    Orvix::Utils::Promise<QJsonObject> promise;
    const auto outcome = Orvix::Tests::watch<QJsonObject, void>(promise);
    if (check == "asterisk")
        updater->asteriskCheck(promise, given);
    else if (check == "database")
        updater->dbCheck(promise, given);
    else
        updater->bxCheck(promise, given);
    QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
    qunsetenv(Orvix::CRM::Bitrix::kTokenUrlVariable);

    QCOMPARE(outcome->value.value("status"), QJsonValue(status));
    const QList<Orvix::Tests::FakeAmiServer::Frame> logins = ami.frames("Login");
    const QList<Orvix::Tests::FakeCrmRequest> posted = portal.requests();
    if (secretSeen.isEmpty()) {
        QVERIFY(outcome->value.value("message").toString().startsWith("Give the "));
        QVERIFY(logins.isEmpty() && posted.isEmpty());
    } else if (check == "asterisk") {
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.first().value("Secret"), secretSeen);
    }
    for (const auto &request : posted) // whatever reached the other portal held no saved secret
        QVERIFY(!request.body.contains("saved-password") && !request.body.contains("boss"));
}

QTEST_GUILESS_MAIN(tst_ConfigUpdater)
#include "tst_configupdater.moc"
