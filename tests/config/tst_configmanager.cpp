#include "config/generateddirectory.h"
#include "config/manager.h"
#include "utils/logger.h"
#include "utils/settingsmanager.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

using Config = Orvix::Config::Manager;

namespace {

// Every key of a fresh installation, history_start_date aside.
const char kDefaults[] = R"({
  "App": {
    "prefixes": [], "trunk_to_source": {},
    "no_lead_mode": false,
    "create_contacts_for_incoming": false, "create_contacts_for_outgoing": false,
    "create_deals_for_incoming": false, "create_deals_for_outgoing": false,
    "create_leads_for_incoming": false, "create_leads_for_outgoing": false,
    "create_task_for_unanswered": false, "post_lead_info_to_chat": false,
    "create_new_activity_at_transfer": true,
    "search_in_2gis": false, "store_recordings_in_crm": true,
    "generated_postfix": "", "log_level": "debug", "log_file": "", "locale": "_en",
    "customizer_program_path": "./customizer.php",
    "customize_search_params": false, "customize_final_params": false, "customize_entity": false,
    "customize_activity": false, "customize_task": false,
    "customization_time_msec": 1000
  },
  "Asterisk": {
    "host": "127.0.0.1", "port": 5038, "user": "calv", "password": "", "pickup_code": "*8",
    "recordings_dir": "", "recordings_dir_subdirs_by_date": false,
    "originate": {
      "caller_id": "Звонок на #TO# <#TO#>", "channel": "SIP/#FROM#", "context": "from-internal",
      "extension": "#TO#", "priority": "1"
    },
    "callback": {}
  },
  "Bitrix": {
    "host": "", "user_id": 0, "user_login": "", "user_password": "",
    "execution_loop_interval_msec": 500, "cache_storage_time_min": 0,
    "use_click_to_call_server": false, "use_external_lines": false, "fallback_users": []
  },
  "Database": {
    "host": "", "port": 3306, "user": "", "password": "", "database": "asteriskcdrdb",
    "table_name_aliases": {"cel": "cel", "cdr": "cdr"},
    "column_name_aliases": {
      "cdr_calldate": "calldate", "cdr_cnum": "cnum", "cdr_recordingfile": "recordingfile", "cdr_src": "src",
      "cdr_uniqueid": "uniqueid", "cel_channame": "channame", "cel_cid_num": "cid_num",
      "cel_eventtime": "eventtime", "cel_eventtype": "eventtype", "cel_exten": "exten", "cel_id": "id",
      "cel_linkedid": "linkedid", "cel_uniqueid": "uniqueid"
    }
  },
  "WebServer": {
    "sockets_port": 8089, "user": "admin", "password": "quillbem", "listen_host": "0.0.0.0",
    "listen_port": 8077, "listen_port_secure": 8078, "address_ext": "", "address_int": "", "use_http": true
  }
})";

const QRegularExpression kDateTime(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d$"));

QJsonObject withoutHistoryStart(QJsonObject config)
{
    QJsonObject app = config.value("App").toObject();
    app.remove("history_start_date");
    config.insert("App", app);
    return config;
}

int keyCount(const QJsonObject &config)
{
    int count = 0;
    for (const QJsonValue &section : config)
        count += section.toObject().size();
    return count;
}

QJsonValue query(Config::Module module, const QString &key, const QString &getter)
{
    if (getter == QLatin1String("string"))
        return Config::getString(module, key);
    if (getter == QLatin1String("bool"))
        return Config::getBool(module, key);
    if (getter == QLatin1String("int"))
        return Config::getInt(module, key);
    if (getter == QLatin1String("stringList"))
        return QJsonArray::fromStringList(Config::getStringList(module, key));
    if (getter == QLatin1String("intList")) {
        QJsonArray array;
        for (int value : Config::getIntList(module, key))
            array.append(value);
        return array;
    }
    QJsonObject object;
    const QHash<QString, QString> hash = Config::getStringHash(module, key);
    for (auto it = hash.cbegin(); it != hash.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

} // namespace

class tst_ConfigManager : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void defaultsOnEmptyFile();
    void getters_data();
    void getters();
    void stringMapIsOrdered();
    void moduleOutOfRange();
    void updateSavesEveryKey();
    void wrongValueAppliesNothing();
    void unwritableFileChangesNothing();
    void updateConverts_data();
    void updateConverts();
    void fileValuesLoaded_data();
    void fileValuesLoaded();
    void initTwiceKeepsState();

private:
    QString configPath() const { return m_dir->filePath(QStringLiteral("config.json")); }
    bool writeConfig(const QByteArray &bytes) const;
    QJsonObject readConfig() const;

    std::unique_ptr<QTemporaryDir> m_dir;
};

bool tst_ConfigManager::writeConfig(const QByteArray &bytes) const
{
    QFile file(configPath());
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QJsonObject tst_ConfigManager::readConfig() const
{
    QFile file(configPath());
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

void tst_ConfigManager::init()
{
    Config::resetForTesting();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    QVERIFY(writeConfig(QByteArray()));
    Orvix::Utils::Settings::Manager::configName = configPath();
    // Tests that need another file write it and call init themselves.
    if (!QByteArray(QTest::currentTestFunction()).startsWith("fileValuesLoaded"))
        Config::init();
}

void tst_ConfigManager::cleanup()
{
    Config::resetForTesting();
    Orvix::Utils::Settings::Manager::configName.clear();
    m_dir.reset();
}

void tst_ConfigManager::defaultsOnEmptyFile()
{
    const QJsonObject config = Config::toJson();

    QVERIFY(kDateTime.match(config.value("App").toObject().value("history_start_date").toString()).hasMatch());
    QCOMPARE(withoutHistoryStart(config), QJsonDocument::fromJson(kDefaults).object());
    QCOMPARE(keyCount(config), 60);
}

void tst_ConfigManager::getters_data()
{
    QTest::addColumn<int>("module");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("getter");
    QTest::addColumn<QJsonValue>("expected");

    QTest::newRow("int") << int(Config::Asterisk) << "port" << "int" << QJsonValue(5038);
    QTest::newRow("int as string") << int(Config::Asterisk) << "port" << "string" << QJsonValue("");
    QTest::newRow("int as bool") << int(Config::Asterisk) << "port" << "bool" << QJsonValue(false);
    QTest::newRow("string") << int(Config::WebServer) << "listen_host" << "string" << QJsonValue("0.0.0.0");
    QTest::newRow("string as int") << int(Config::Asterisk) << "host" << "int" << QJsonValue(0);
    QTest::newRow("string as list") << int(Config::App) << "locale" << "stringList" << QJsonValue(QJsonArray());
    QTest::newRow("bool") << int(Config::App) << "store_recordings_in_crm" << "bool" << QJsonValue(true);
    QTest::newRow("map") << int(Config::Database) << "table_name_aliases" << "stringHash"
                         << QJsonValue(QJsonObject{{"cel", "cel"}, {"cdr", "cdr"}});
    QTest::newRow("map as string") << int(Config::Database) << "table_name_aliases" << "string" << QJsonValue("");
    QTest::newRow("undeclared key") << int(Config::Asterisk) << "nothing" << "stringHash" << QJsonValue(QJsonObject());
    QTest::newRow("key of another section") << int(Config::App) << "port" << "int" << QJsonValue(0);
    QTest::newRow("empty list") << int(Config::Bitrix) << "fallback_users" << "intList" << QJsonValue(QJsonArray());
}

void tst_ConfigManager::getters()
{
    QFETCH(int, module);
    QFETCH(QString, key);
    QFETCH(QString, getter);
    QFETCH(QJsonValue, expected);

    QCOMPARE(query(Config::Module(module), key, getter), expected);
}

void tst_ConfigManager::stringMapIsOrdered()
{
    const QMap<QString, QString> originate = Config::getStringMap(Config::Asterisk, QStringLiteral("originate"));

    QCOMPARE(originate.keys(), (QStringList{"caller_id", "channel", "context", "extension", "priority"}));
    QCOMPARE(originate.value("caller_id"), QStringLiteral("Звонок на #TO# <#TO#>"));
    QVERIFY(Config::getStringMap(Config::Asterisk, QStringLiteral("nothing")).isEmpty());
}

void tst_ConfigManager::moduleOutOfRange()
{
    QVERIFY(Config::moduleObject(Config::Module(0)).isEmpty());
    QVERIFY(Config::moduleObject(Config::Module(6)).isEmpty());
    QVERIFY(Config::value(Config::Module(6), QStringLiteral("port")).isUndefined());
    QCOMPARE(Config::moduleObject(Config::Bitrix).size(), 9);
}

void tst_ConfigManager::updateSavesEveryKey()
{
    const QMap<QString, QString> errors = Config::update({{"WebServer", QJsonObject{{"listen_port", 9000}}}});

    QVERIFY(errors.isEmpty());
    QCOMPARE(Config::getInt(Config::WebServer, QStringLiteral("listen_port")), 9000);
    const QJsonObject saved = readConfig();
    QCOMPARE(saved.value("WebServer").toObject().value("listen_port"), QJsonValue(9000));
    QCOMPARE(keyCount(saved), 60);
    QCOMPARE(saved, Config::toJson());

    // It holds passwords: a file the save makes is its owner's alone; one that exists keeps its owner,
    // group and permissions, unless every user could read it.
    const auto mode = [this]() {
        struct stat info = {};
        return ::stat(QFile::encodeName(configPath()).constData(), &info) == 0
            ? QStringLiteral("%1:%2 %3").arg(info.st_uid).arg(info.st_gid).arg(info.st_mode & 0777, 0, 8)
            : QString();
    };
    const bool root = ::geteuid() == 0;
    QVERIFY(::chmod(QFile::encodeName(configPath()).constData(), 0640) == 0);
    QVERIFY(!root || ::chown(QFile::encodeName(configPath()).constData(), 1000, 1001) == 0);
    const QString owner = root ? QStringLiteral("1000:1001") : mode().section(' ', 0, 0);
    QVERIFY(Config::update({{"WebServer", QJsonObject{{"password", "a-Pa55-word-long"}}}}).isEmpty());
    QCOMPARE(mode(), owner + " 640");
    QVERIFY(::chmod(QFile::encodeName(configPath()).constData(), 0644) == 0);
    QVERIFY(Config::update({{"WebServer", QJsonObject{{"listen_port", 9001}}}}).isEmpty());
    QCOMPARE(mode(), owner + " 600");
    QVERIFY(QFile::remove(configPath()));
    QString error;
    QVERIFY(Orvix::Utils::Settings::Manager::writePrivateFile(configPath(), "{}", &error));
    QCOMPARE(mode().section(' ', 1), QStringLiteral("600"));
}

void tst_ConfigManager::wrongValueAppliesNothing()
{
    const QJsonObject before = Config::toJson();
    const QJsonObject update{
        {"App", QJsonObject{{"no_lead_mode", "yes"}, {"locale", "_ru"}, {"prefixes", QJsonArray{"8"}}}},
        {"Asterisk", QJsonObject{{"port", 5040}}},
        {"Database", QJsonObject{{"column_name_aliases", QJsonObject{{"cel_id", "event_id"}}}}}};

    const QMap<QString, QString> errors = Config::update(update);

    QCOMPARE(errors, (QMap<QString, QString>{{"App.no_lead_mode", "Expected true or false"}}));
    QCOMPARE(Config::toJson(), before);
    // Nor is the file touched.
    QCOMPARE(readConfig(), QJsonObject());
}

// What could not be saved would be lost at the next start: the running service keeps what it had.
void tst_ConfigManager::unwritableFileChangesNothing()
{
    const QJsonObject before = Config::toJson();
    QVERIFY(QFile::remove(configPath()));
    QVERIFY(QDir().mkdir(configPath())); // not even root can replace a directory by a file

    const QMap<QString, QString> errors = Config::update({{"WebServer", QJsonObject{{"listen_port", 9000}}}});

    QCOMPARE(errors.keys(), QStringList{"config_file"});
    QCOMPARE(Config::toJson(), before);
}

void tst_ConfigManager::updateConverts_data()
{
    QTest::addColumn<QJsonObject>("update");
    QTest::addColumn<int>("module");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("expected");
    QTest::addColumn<QJsonObject>("errors");

    const auto section = [](const char *key, const QJsonValue &value) { return QJsonObject{{key, value}}; };

    QTest::newRow("port from text") << QJsonObject{{"Asterisk", section("port", "5039")}} << int(Config::Asterisk)
                                    << "port" << QJsonValue(5039) << QJsonObject();
    QTest::newRow("port from word") << QJsonObject{{"Asterisk", section("port", "abc")}} << int(Config::Asterisk)
                                    << "port" << QJsonValue(5038)
                                    << QJsonObject{{"Asterisk.port", "Expected a whole number"}};
    QTest::newRow("switch from text") << QJsonObject{{"App", section("no_lead_mode", "TRUE")}} << int(Config::App)
                                      << "no_lead_mode" << QJsonValue(true) << QJsonObject();
    QTest::newRow("text from number") << QJsonObject{{"App", section("customizer_program_path", 5)}}
                                      << int(Config::App) << "customizer_program_path" << QJsonValue("5")
                                      << QJsonObject();
    QTest::newRow("log level in capitals") << QJsonObject{{"App", section("log_level", "Warning")}} << int(Config::App)
                                           << "log_level" << QJsonValue("Warning") << QJsonObject();
    QTest::newRow("empty log level: fatal lines only") << QJsonObject{{"App", section("log_level", "")}}
                                                       << int(Config::App) << "log_level" << QJsonValue("")
                                                       << QJsonObject();
    QTest::newRow("unknown log level") << QJsonObject{{"App", section("log_level", "loud")}} << int(Config::App)
                                       << "log_level" << QJsonValue("debug")
                                       << QJsonObject{{"App.log_level", "One of: debug, info, warning, critical, fatal"}};
    QTest::newRow("locale that names no dictionary")
        << QJsonObject{{"App", section("locale", "../x")}} << int(Config::App) << "locale" << QJsonValue("_en")
        << QJsonObject{{"App.locale", "Not a dictionary name"}};
    QTest::newRow("port above the range") << QJsonObject{{"Asterisk", section("port", 99999)}} << int(Config::Asterisk)
                                          << "port" << QJsonValue(5038)
                                          << QJsonObject{{"Asterisk.port", "A port is a number from 1 to 65535"}};
    QTest::newRow("negative listen port and zero database port")
        << QJsonObject{{"WebServer", section("listen_port", -5)}, {"Database", section("port", 0)}}
        << int(Config::WebServer) << "listen_port" << QJsonValue(8077)
        << QJsonObject{{"WebServer.listen_port", "A port is a number from 1 to 65535"},
                       {"Database.port", "A port is a number from 1 to 65535"}};
    QTest::newRow("negative interval") << QJsonObject{{"Bitrix", section("execution_loop_interval_msec", -1)}}
                                       << int(Config::Bitrix) << "execution_loop_interval_msec" << QJsonValue(500)
                                       << QJsonObject{{"Bitrix.execution_loop_interval_msec", "Must not be negative"}};
    QTest::newRow("zero is an interval") << QJsonObject{{"App", section("customization_time_msec", 0)}}
                                         << int(Config::App) << "customization_time_msec" << QJsonValue(0)
                                         << QJsonObject();
    QTest::newRow("unknown key")
        << QJsonObject{{"WebServer", QJsonObject{{"listen_prot", 9000}, {"user", "operator"}}}}
        << int(Config::WebServer) << "user" << QJsonValue("admin") << QJsonObject{{"WebServer.listen_prot", "Unknown key"}};
    QTest::newRow("list from text") << QJsonObject{{"App", section("prefixes", "7")}} << int(Config::App)
                                    << "prefixes" << QJsonValue(QJsonArray())
                                    << QJsonObject{{"App.prefixes", "Expected a list such as [\"a\", \"b\"]"}};
    QTest::newRow("list skips empties")
        << QJsonObject{{"App", section("prefixes", QJsonArray{"", "7", 8, QJsonValue::Null})}} << int(Config::App)
        << "prefixes" << QJsonValue(QJsonArray{"7", "8"}) << QJsonObject();
    QTest::newRow("int list") << QJsonObject{{"Bitrix", section("fallback_users", QJsonArray{3, "4"})}}
                              << int(Config::Bitrix) << "fallback_users" << QJsonValue(QJsonArray{3, 4})
                              << QJsonObject();
    QTest::newRow("map replaced whole")
        << QJsonObject{{"Database", section("column_name_aliases", QJsonObject{{"cel_id", "event_id"}})}}
        << int(Config::Database) << "column_name_aliases" << QJsonValue(QJsonObject{{"cel_id", "event_id"}})
        << QJsonObject();
    QTest::newRow("partial originate") << QJsonObject{{"Asterisk", section("originate", QJsonObject{{"context", "x"}})}}
                                       << int(Config::Asterisk) << "originate"
                                       << QJsonValue(QJsonObject{{"context", "x"}}) << QJsonObject();
    // What would lock the administrator out, or break the next start, is refused whatever its JSON type.
    const auto refused = [&section](const char *what, const char *sectionName, const char *key, const QJsonValue &value,
                                    const QJsonValue &kept, const char *errorKey, const char *error) {
        QTest::newRow(what) << QJsonObject{{sectionName, section(key, value)}} << int(Config::Module(0)) << key << kept
                            << QJsonObject{{errorKey, error}};
    };
    const char *noPassword = "Choose a password: an empty or the built-in one is never accepted";
    refused("empty web password", "WebServer", "password", "", QJsonValue(), "WebServer.password", noPassword);
    refused("null web password", "WebServer", "password", QJsonValue::Null, QJsonValue(), "WebServer.password",
            "Expected a text");
    const char *weakPassword = "Choose a password that is more than white space or one character repeated";
    refused("web password of 12 spaces", "WebServer", "password", QString(12, ' '), QJsonValue(), "WebServer.password",
            weakPassword);
    refused("web password of one letter repeated", "WebServer", "password", "aaaaaaaaaaaa", QJsonValue(),
            "WebServer.password", weakPassword);
    refused("web password of a letter and 11 spaces", "WebServer", "password", "a" + QString(11, ' '), QJsonValue(),
            "WebServer.password", weakPassword);
    refused("web password of two letters repeated", "WebServer", "password", "abababababab", QJsonValue(),
            "WebServer.password", "Choose a password of at least 5 different characters besides white space");
    // Characters count, not the units of their text, and those that do not show count for nothing.
    const char *shortPassword = "Choose a password of at least 12 characters";
    refused("web password of an emoji 6 times", "WebServer", "password", QString::fromUcs4(U"\U0001F600").repeated(6),
            QJsonValue(), "WebServer.password", shortPassword);
    refused("web password padded with invisible characters", "WebServer", "password",
            QString::fromUcs4(U"abcde\u200b\u200b\u200b\u200b\u200b\u200b\u200b"), QJsonValue(), "WebServer.password",
            shortPassword);
    refused("empty web user", "WebServer", "user", "", QJsonValue(), "WebServer.user",
            "Choose a user name: with an empty one no login works");
    refused("listen host that is no address", "WebServer", "listen_host", "not an address", QJsonValue(),
            "WebServer.listen_host",
            "Expected an IP address of this host, such as 0.0.0.0 (every address) or 127.0.0.1");
    refused("history start that is no date", "App", "history_start_date", "yesterday", QJsonValue(),
            "App.history_start_date", "Expected a date and time such as 2024-05-31 09:00:00");
    refused("postfix that leaves the directory", "App", "generated_postfix", "../../etc", QJsonValue(),
            "App.generated_postfix",
            "Only letters, digits, '.', '_' and '-': it is appended to the name of the directory \"generated\"");
    refused("fractional port", "Asterisk", "port", 5038.5, QJsonValue(), "Asterisk.port", "Expected a whole number");
    refused("negative CRM user", "Bitrix", "user_id", -3, QJsonValue(), "Bitrix.user_id", "Must not be negative");
    refused("source id in small letters", "App", "trunk_to_source", QJsonObject{{"trunk1", "abc"}}, QJsonValue(),
            "App.trunk_to_source",
            "trunk1: a trunk number takes a CRM source id, written in capitals, digits and _, such as CALL or "
            "UC_7KX2M1");
    refused("user id that is a name", "Bitrix", "fallback_users", QJsonArray{"bob"}, QJsonValue(),
            "Bitrix.fallback_users[0]", "Expected a whole number");
    refused("user id 0", "Bitrix", "fallback_users", QJsonArray{4, 0}, QJsonValue(), "Bitrix.fallback_users",
            "A CRM user id is a number from 1 up, not 0");
    // What the start reads as meant is still refused on save.
    refused("another logger's level", "App", "log_level", "WARN", QJsonValue(), "App.log_level",
            "One of: debug, info, warning, critical, fatal");
    refused("dictionary named by its file", "App", "locale", "_en.json", QJsonValue(), "App.locale",
            "The name of a dictionary is written without .json, such as _en");
    // What the service writes into the PBX's files, and the file it appends its log to, are the service's own.
    refused("PBX user with a line break at its end", "Asterisk", "user", "calv\n", QJsonValue(), "Asterisk.user",
            "A name without line breaks or other control characters");
    refused("PBX user that opens a section of its own", "Asterisk", "user", "calv\n[admin]", QJsonValue(),
            "Asterisk.user", "A name without line breaks or other control characters");
    // 40 letters, 80 bytes: Asterisk counts bytes.
    refused("PBX user longer than Asterisk reads", "Asterisk", "user", QString(40, QChar(0x436)), QJsonValue(),
            "Asterisk.user",
            "A name of at most 79 bytes (a Latin letter or a digit is one): Asterisk reads no longer one");
    refused("PBX secret longer than a login line", "Asterisk", "password", QString(1001, 's'), QJsonValue(),
            "Asterisk.password", "A secret of at most 1000 bytes: Asterisk reads no longer login line");
    static QTemporaryDir files;
    QFile other(files.filePath("passwd"));
    QVERIFY(other.open(QIODevice::WriteOnly) && other.write("root:x:0:0:root:/root:/bin/bash\n") > 0);
    other.close();
    const QString fifo = files.filePath("fifo");
    QVERIFY(::mkfifo(qPrintable(fifo), 0600) == 0 || errno == EEXIST);
    const auto logFile = [&](const char *what, const QString &path, const char *reason) {
        QTest::newRow(what) << QJsonObject{{"App", section("log_file", path)}} << 0 << "log_file" << QJsonValue()
                            << QJsonObject{{"App.log_file",
                                            QStringLiteral("%1: choose a new file or this service's own log").arg(reason)}};
    };
    logFile("log file that is another file", other.fileName(), "it is another file, not this service's log");
    logFile("log file that is a FIFO", fifo, "it is not a regular file");
    logFile("log file that is a directory", files.path(), "it is not a regular file");
    // As /etc/environment or /var/log/wtmp may be: the service would append to it, as root.
    QFile empty(files.filePath("environment"));
    QVERIFY(empty.open(QIODevice::WriteOnly));
    empty.close();
    logFile("log file that is another program's empty file", empty.fileName(),
            "it is another file, not this service's log");
    // The next start could not make it, and would log to the terminal.
    logFile("log file in a missing directory", files.filePath("gone/calvena.log"),
            qPrintable(QStringLiteral("there is no directory %1").arg(files.filePath("gone"))));
    const QString dangling = files.filePath("dangling.log");
    QVERIFY(QFile::link(files.filePath("gone/calvena.log"), dangling) || QFileInfo(dangling).isSymLink());
    logFile("log file that is a link to nothing", dangling, "it is a link to a file that does not exist");
    // The log in use, as its rotation left it.
    const QString rotated = files.filePath("calvena.log");
    QFile log(rotated);
    QVERIFY(log.open(QIODevice::WriteOnly));
    log.close();
    Orvix::Utils::Logger::setLogFileName(rotated);
    QTest::newRow("the log in use, emptied by its rotation") << QJsonObject{{"App", section("log_file", rotated)}}
                                                             << int(Config::App) << "log_file" << QJsonValue(rotated)
                                                             << QJsonObject();
    const QString link = files.filePath("link.log");
    QVERIFY(QFile::link(rotated, link) || QFileInfo(link).isSymLink());
    logFile("log file that is a link to the log", link, "it is a link; name the file itself");
    // Kept as it resolves now: the link re-pointed later moves nothing.
    const QString folderLink = files.filePath("lnk");
    QVERIFY(QFile::link(files.path(), folderLink) || QFileInfo(folderLink).isSymLink());
    QTest::newRow("log file named through a folder link is kept resolved")
        << QJsonObject{{"App", section("log_file", folderLink + "/calvena.sh")}} << int(Config::App) << "log_file"
        << QJsonValue(QFileInfo(files.path()).canonicalFilePath() + "/calvena.sh") << QJsonObject();
    // Made anew by the next start, as root perhaps, where a program reads every file.
    static QTemporaryDir elsewhere;
    QTest::newRow("log file in another folder")
        << QJsonObject{{"App", section("log_file", elsewhere.filePath("authorized_keys2"))}} << 0 << "log_file"
        << QJsonValue()
        << QJsonObject{{"App.log_file",
                        QStringLiteral("Only a file in %1, the folder of the log now, is taken here; a log in another "
                                       "folder is named in the configuration file itself")
                            .arg(QFileInfo(files.path()).canonicalFilePath())}};
    QTest::newRow("bare portal host is https") << QJsonObject{{"Bitrix", section("host", "company.bitrix24.ru")}}
                                               << int(Config::Bitrix) << "host"
                                               << QJsonValue("https://company.bitrix24.ru") << QJsonObject();
    QTest::newRow("portal page's address is its portal's")
        << QJsonObject{{"Bitrix", section("host", "company.bitrix24.ru:8443/crm/deal/list/?page=2#top")}}
        << int(Config::Bitrix) << "host" << QJsonValue("https://company.bitrix24.ru:8443") << QJsonObject();
    QTest::newRow("section not an object") << QJsonObject{{"WebServer", 5}} << int(Config::WebServer) << "user"
                                           << QJsonValue("admin")
                                           << QJsonObject{{"WebServer", "Expected an object of settings"}};
    QTest::newRow("unknown section") << QJsonObject{{"Nobody", section("port", 1)}} << int(Config::Asterisk)
                                     << "port" << QJsonValue(5038) << QJsonObject{{"Nobody", "Unknown section"}};
}

void tst_ConfigManager::updateConverts()
{
    QFETCH(QJsonObject, update);
    QFETCH(int, module);
    QFETCH(QString, key);
    QFETCH(QJsonValue, expected);
    QFETCH(QJsonObject, errors);

    QMap<QString, QString> expectedErrors;
    for (auto it = errors.begin(); it != errors.end(); ++it)
        expectedErrors.insert(it.key(), it.value().toString());

    const QJsonObject before = Config::toJson();
    QCOMPARE(Config::update(update), expectedErrors);
    if (module != 0) // else: unchanged, which the comparison below shows
        QCOMPARE(Config::value(Config::Module(module), key), expected);
    // A refused update changes no value and leaves the file as it was.
    QCOMPARE(readConfig(), expectedErrors.isEmpty() ? Config::toJson() : QJsonObject());
    if (!expectedErrors.isEmpty())
        QCOMPARE(Config::toJson(), before);
}

void tst_ConfigManager::fileValuesLoaded_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::addColumn<QString>("historyStart");
    QTest::addColumn<QString>("error"); // the end of loadError
    QTest::addColumn<QJsonObject>("taken"); // {section: {key: value}} in force after the load

    QTest::newRow("values") << QByteArray(R"({"Asterisk": {"port": "5039"},
                                             "App": {"history_start_date": "2020-01-02 03:04:05"}})")
                            << 5039 << "2020-01-02 03:04:05" << QString() << QJsonObject();
    // An older file's cosmetic slips start: read as meant, or the default.
    QTest::newRow("slips read as meant")
        << QByteArray(R"({"Asterisk": {"port": 5039, "host": null}, "App": {"log_level": "WARN", "locale": "_en.json"},
                         "WebServer": {"password": ""}})")
        << 5039 << QString() << QString()
        << QJsonObject{{"App", QJsonObject{{"log_level", "warning"}, {"locale", "_en"}}},
                       {"Asterisk", QJsonObject{{"host", ""}}}, {"WebServer", QJsonObject{{"password", ""}}}};
    QTest::newRow("a PBX user pasted with its line break")
        << QByteArray(R"({"Asterisk": {"user": "calv\r\n"}})") << 5038 << QString() << QString()
        << QJsonObject{{"Asterisk", QJsonObject{{"user", "calv"}}}};
    // Its default in its place could add a manager user to manager.conf that no one chose.
    QTest::newRow("a PBX user Asterisk cannot read whole stops the start")
        << QByteArray(R"({"Asterisk": {"user": ")" + QByteArray(80, 'a') + R"("}})") << 5038 << QString()
        << "Asterisk.user: A name of at most 79 bytes (a Latin letter or a digit is one): Asterisk reads no longer one"
        << QJsonObject();
    QTest::newRow("slips that fall back")
        << QByteArray(R"({"App": {"log_level": "loud", "locale": "../x"}, "WebServer": {"user": ""},
                         "Bitrix": {"host": "ftp://portal"}})")
        << 5038 << QString() << QString()
        << QJsonObject{{"App", QJsonObject{{"log_level", "debug"}, {"locale", "_en"}}},
                       {"WebServer", QJsonObject{{"user", "admin"}}}, {"Bitrix", QJsonObject{{"host", ""}}}};
    QTest::newRow("what cannot run is refused")
        << QByteArray(R"({"WebServer": {"listen_port": 0}, "App": {"log_level": "WARN"}})") << 5038
        << QString() << "WebServer.listen_port: A port is a number from 1 to 65535"
        << QJsonObject{{"App", QJsonObject{{"log_level", "debug"}}}};
    // Values of the right type that an earlier build ran with: used as far as they can be. The host name and
    // the postfix are the start's to mend (resolved, kept as the directory of the saved state).
    QTest::newRow("values an earlier build ran with")
        << QByteArray(R"({"App": {"history_start_date": "2026-01-01", "trunk_to_source": {"T1": "call", "T2": "a b"},
                                  "generated_postfix": "my pbx"},
                         "Bitrix": {"fallback_users": [0, 12, -1], "user_id": -3},
                         "WebServer": {"listen_host": "pbx.example"}})")
        << 5038 << "2026-01-01 00:00:00" << QString()
        << QJsonObject{{"App", QJsonObject{{"trunk_to_source", QJsonObject{{"T1", "CALL"}}},
                                           {"generated_postfix", "my pbx"}}},
                       {"Bitrix", QJsonObject{{"fallback_users", QJsonArray{12}}, {"user_id", 0}}},
                       {"WebServer", QJsonObject{{"listen_host", "pbx.example"}}}};
    QTest::newRow("an empty history start is the first start")
        << QByteArray(R"({"App": {"history_start_date": ""}})") << 5038 << QString() << QString() << QJsonObject();
    QTest::newRow("one wrong value applies nothing")
        << QByteArray(R"({"Asterisk": {"port": 5039},
                         "App": {"history_start_date": "2020-01-02 03:04:05", "no_lead_mode": "maybe"}})")
        << 5038 << QString() << "holds refused values: App.no_lead_mode: Expected true or false" << QJsonObject();
    QTest::newRow("broken json") << QByteArray(R"({"Asterisk": {"port": 5039)") << 5038 << QString()
                                 << ":1:27: invalid termination by number" << QJsonObject();
    QTest::newRow("syntax error on a later line")
        << QByteArray("{\n    \"Asterisk\": {\n        \"port\": 5039,\n    }\n}\n") << 5038 << QString()
        << ":4:6: object is missing after a comma" << QJsonObject();
    QTest::newRow("empty") << QByteArray(" \n") << 5038 << QString() << ": the file is empty" << QJsonObject();
    QTest::newRow("not an object") << QByteArray("[1]") << 5038 << QString() << ": the top level is not a JSON object"
                                   << QJsonObject();
}

void tst_ConfigManager::fileValuesLoaded()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    QFETCH(QString, historyStart);
    QFETCH(QString, error);
    QFETCH(QJsonObject, taken);
    QVERIFY(writeConfig(content));

    Config::init();

    QVERIFY2(error.isEmpty() ? Config::loadError().isEmpty() : Config::loadError().endsWith(error),
             qPrintable(Config::loadError()));
    if (!error.isEmpty())
        QVERIFY(Config::loadError().contains(configPath()));
    QCOMPARE(Config::getInt(Config::Asterisk, QStringLiteral("port")), port);
    const QString start = Config::getString(Config::App, QStringLiteral("history_start_date"));
    if (historyStart.isEmpty())
        QVERIFY(kDateTime.match(start).hasMatch());
    else
        QCOMPARE(start, historyStart);
    QCOMPARE(Config::getString(Config::WebServer, QStringLiteral("user")), QStringLiteral("admin"));
    for (auto section = taken.begin(); section != taken.end(); ++section) {
        const QJsonObject values = section.value().toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            QCOMPARE(Config::toJson().value(section.key()).toObject().value(it.key()), it.value());
    }
}

void tst_ConfigManager::initTwiceKeepsState()
{
    QVERIFY(Config::update({{"App", QJsonObject{{"locale", "_ru"}}}}).isEmpty());
    const QJsonObject before = Config::toJson();
    QVERIFY(writeConfig(R"({"App": {"locale": "_en"}})"));

    Config::init();

    QCOMPARE(Config::toJson(), before);
    QCOMPARE(Config::getString(Config::App, QStringLiteral("locale")), QStringLiteral("_ru"));
    QVERIFY(writeConfig(QJsonDocument(before).toJson())); // no hand edit for the saves below to keep

    // The directory of the lock and the saved state moves only with the next start.
    QVERIFY(Config::update({{"App", QJsonObject{{"generated_postfix", "_a"}}}}).isEmpty());
    Orvix::Config::GeneratedDirectory::hold();
    QVERIFY(Config::update({{"App", QJsonObject{{"generated_postfix", "_b"}}}}).isEmpty());
    QCOMPARE(Orvix::Config::GeneratedDirectory::postfix(), QStringLiteral("_a"));
    QVERIFY(Orvix::Config::GeneratedDirectory::path().endsWith(QStringLiteral("/generated_a")));
}

QTEST_GUILESS_MAIN(tst_ConfigManager)
#include "tst_configmanager.moc"
