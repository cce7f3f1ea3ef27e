#include "utils/settingshelperobject.h"
#include "utils/settingsmanager.h"
#include "utils/settingsmodule.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace Settings = Orvix::Utils::Settings;

namespace {

QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    g_messages.append(message);
    if (type != QtDebugMsg && g_previousHandler)
        g_previousHandler(type, context, message);
}

QJsonArray intArray(const QList<int> &values)
{
    QJsonArray array;
    for (int value : values)
        array.append(value);
    return array;
}

QJsonObject hashObject(const QHash<QString, QString> &hash)
{
    QJsonObject object;
    for (auto it = hash.cbegin(); it != hash.cend(); ++it)
        object.insert(it.key(), it.value());
    return object;
}

// A section with one member of every supported type.
class TestSection : public Settings::IModuleSettingsManager
{
public:
    explicit TestSection(const QString &name = QStringLiteral("Test"))
        : Settings::IModuleSettingsManager(name)
    {
    }

    void load(const Settings::HelperObject &object) override
    {
        object.load(flag, QStringLiteral("flag"));
        object.load(text, QStringLiteral("text"));
        object.load(number, QStringLiteral("number"));
        object.load(password, QStringLiteral("user_password"));
        object.loadList(list, QStringLiteral("list"));
        object.loadList(ints, QStringLiteral("ints"));
        object.loadMap(map, QStringLiteral("map"));
        object.load(positive, QStringLiteral("positive"), [](int &value, QString &error) {
            if (value < 0)
                error = QStringLiteral("Must not be negative");
            value *= 10;
        });
    }

    QJsonObject toJson() const override
    {
        return {{"flag", flag},
                {"text", text},
                {"number", number},
                {"user_password", password},
                {"list", QJsonArray::fromStringList(list)},
                {"ints", intArray(ints)},
                {"map", hashObject(map)},
                {"positive", positive}};
    }

    bool flag = false;
    QString text = QStringLiteral("abc");
    int number = 5038;
    QString password = QStringLiteral("s3cret");
    QStringList list{QStringLiteral("x")};
    QList<int> ints{1, 2};
    QHash<QString, QString> map{{QStringLiteral("a"), QStringLiteral("1")}, {QStringLiteral("b"), QStringLiteral("2")}};
    int positive = 1;
};

class OtherSection : public Settings::IModuleSettingsManager
{
public:
    OtherSection()
        : Settings::IModuleSettingsManager(QStringLiteral("Other"))
    {
    }
    void load(const Settings::HelperObject &object) override { object.load(value, QStringLiteral("value")); }
    QJsonObject toJson() const override { return {{"value", value}}; }

    int value = 1;
};

QMap<QString, QString> errorMap(const QJsonObject &object)
{
    QMap<QString, QString> map;
    for (auto it = object.begin(); it != object.end(); ++it)
        map.insert(it.key(), it.value().toString());
    return map;
}

} // namespace

class tst_Settings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void cleanupTestCase();

    void convert_data();
    void convert();
    void listsAndMaps_data();
    void listsAndMaps();
    void failingUpdateChangesNothing();
    void sectionsThatDoNotApply();
    void passwordDefaultIsMasked();
    void registry();
    void saveWritesSortedIndentedJson();
    void missingConfigNameIsNeverWritten();
    void failedWriteIsReported();
    void unappliedFileIsBackedUp_data();
    void unappliedFileIsBackedUp();
    void earlierBackupIsKept();
    void emptyFileIsNotBackedUp();

private:
    QString writeConfig(const QByteArray &bytes);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<TestSection> m_test;
    std::unique_ptr<OtherSection> m_other;
};

void tst_Settings::initTestCase()
{
    g_previousHandler = qInstallMessageHandler(captureMessage);
}

void tst_Settings::cleanupTestCase()
{
    qInstallMessageHandler(g_previousHandler);
}

void tst_Settings::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    Settings::Manager::configName = m_dir->filePath(QStringLiteral("config.json"));
    m_test = std::make_unique<TestSection>();
    m_other = std::make_unique<OtherSection>();
    g_messages.clear();
}

void tst_Settings::cleanup()
{
    m_test.reset();
    m_other.reset();
    m_dir.reset();
    Settings::Manager::configName.clear();
}

QString tst_Settings::writeConfig(const QByteArray &bytes)
{
    QFile file(Settings::Manager::configName);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

void tst_Settings::convert_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QJsonValue>("expected");
    QTest::addColumn<QString>("error");

    const QString wrongDouble = QStringLiteral("Expected a whole number");
    const QString wrongBool = QStringLiteral("Expected true or false");
    const QJsonValue unchangedNumber(5038);

    QTest::newRow("int from text") << "number" << QJsonValue("5039") << QJsonValue(5039) << QString();
    QTest::newRow("a fraction is no int") << "number" << QJsonValue(5038.5) << unchangedNumber << wrongDouble;
    QTest::newRow("a fraction in text is no int") << "number" << QJsonValue("-7.9") << unchangedNumber << wrongDouble;
    QTest::newRow("int from exponent text") << "number" << QJsonValue("1E3") << QJsonValue(1000) << QString();
    QTest::newRow("int from bool") << "number" << QJsonValue(true) << QJsonValue(1) << QString();
    QTest::newRow("int lowest") << "number" << QJsonValue(-2147483648.0) << QJsonValue(INT_MIN) << QString();
    QTest::newRow("int highest") << "number" << QJsonValue(2147483647.0) << QJsonValue(INT_MAX) << QString();
    QTest::newRow("int from word") << "number" << QJsonValue("abc") << unchangedNumber << wrongDouble;
    QTest::newRow("int from null") << "number" << QJsonValue(QJsonValue::Null) << unchangedNumber << wrongDouble;
    QTest::newRow("int from array") << "number" << QJsonValue(QJsonArray{1}) << unchangedNumber << wrongDouble;
    QTest::newRow("int from inf") << "number" << QJsonValue("inf") << unchangedNumber << wrongDouble;
    QTest::newRow("int from nan") << "number" << QJsonValue("NaN") << unchangedNumber << wrongDouble;
    QTest::newRow("int from huge text") << "number" << QJsonValue("1e300") << unchangedNumber << wrongDouble;
    QTest::newRow("int above range") << "number" << QJsonValue(3e9) << unchangedNumber << wrongDouble;
    QTest::newRow("int below range") << "number" << QJsonValue(-2147483649.0) << unchangedNumber << wrongDouble;

    QTest::newRow("bool from upper text") << "flag" << QJsonValue("TRUE") << QJsonValue(true) << QString();
    QTest::newRow("bool from 1 text") << "flag" << QJsonValue("1") << QJsonValue(true) << QString();
    QTest::newRow("bool from number") << "flag" << QJsonValue(2) << QJsonValue(true) << QString();
    QTest::newRow("bool from yes") << "flag" << QJsonValue("yes") << QJsonValue(false) << wrongBool;
    QTest::newRow("bool from null") << "flag" << QJsonValue(QJsonValue::Null) << QJsonValue(false) << wrongBool;
    QTest::newRow("bool from object") << "flag" << QJsonValue(QJsonObject()) << QJsonValue(false) << wrongBool;

    QTest::newRow("text from int") << "text" << QJsonValue(5) << QJsonValue("5") << QString();
    QTest::newRow("text from fraction") << "text" << QJsonValue(1.5) << QJsonValue("1.5") << QString();
    QTest::newRow("text from bool") << "text" << QJsonValue(false) << QJsonValue("false") << QString();
    QTest::newRow("text from null") << "text" << QJsonValue(QJsonValue::Null) << QJsonValue("abc")
                                    << QStringLiteral("Expected a text");
    QTest::newRow("text from array") << "text" << QJsonValue(QJsonArray{"a"}) << QJsonValue("abc")
                                     << QStringLiteral("Expected a text");

    QTest::newRow("validator changes value") << "positive" << QJsonValue(4) << QJsonValue(40) << QString();
    QTest::newRow("validator refuses") << "positive" << QJsonValue("-4") << QJsonValue(1)
                                       << QStringLiteral("Must not be negative");
}

void tst_Settings::convert()
{
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    QFETCH(QJsonValue, expected);
    QFETCH(QString, error);

    const QMap<QString, QString> errors = Settings::Manager::apply({{"Test", QJsonObject{{key, value}}}});

    QMap<QString, QString> expectedErrors;
    if (!error.isEmpty())
        expectedErrors.insert(QStringLiteral("Test.") + key, error);
    QCOMPARE(errors, expectedErrors);
    QCOMPARE(m_test->toJson().value(key), expected);
}

void tst_Settings::listsAndMaps_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QJsonValue>("expected");
    QTest::addColumn<QJsonObject>("errors");

    const QJsonValue list = QJsonArray{"x"};
    const QJsonValue ints = QJsonArray{1, 2};
    const QJsonValue map = QJsonObject{{"a", "1"}, {"b", "2"}};

    QTest::newRow("text instead of list") << "list" << QJsonValue("7") << list
                                          << QJsonObject{{"Test.list", "Expected a list such as [\"a\", \"b\"]"}};
    QTest::newRow("empty elements skipped")
        << "list" << QJsonValue(QJsonArray{"", "7", 8, QJsonValue::Null}) << QJsonValue(QJsonArray{"7", "8"})
        << QJsonObject();
    // Dropped, they would empty the list under a success.
    QTest::newRow("nested elements refused")
        << "list" << QJsonValue(QJsonArray{QJsonArray{"a"}, "b", QJsonObject{{"c", 1}}, true}) << list
        << QJsonObject{{"Test.list[0]", "Expected a text"}, {"Test.list[2]", "Expected a text"}};
    QTest::newRow("object for an int element") << "ints" << QJsonValue(QJsonArray{4, QJsonObject{{"id", 5}}}) << ints
                                               << QJsonObject{{"Test.ints[1]", "Expected a whole number"}};
    QTest::newRow("empty list replaces default") << "list" << QJsonValue(QJsonArray()) << QJsonValue(QJsonArray())
                                                 << QJsonObject();
    QTest::newRow("int list converts") << "ints" << QJsonValue(QJsonArray{true, "2", 3})
                                       << QJsonValue(QJsonArray{1, 2, 3}) << QJsonObject();
    QTest::newRow("wrong element indexed") << "ints" << QJsonValue(QJsonArray{"1", "bob", 3}) << ints
                                           << QJsonObject{{"Test.ints[1]", "Expected a whole number"}};
    QTest::newRow("skipped element not counted")
        << "ints" << QJsonValue(QJsonArray{QJsonValue::Null, "", "x", 2.5}) << ints
        << QJsonObject{{"Test.ints[0]", "Expected a whole number"}, {"Test.ints[1]", "Expected a whole number"}};
    QTest::newRow("array instead of map") << "map" << QJsonValue(QJsonArray{"a"}) << map
                                          << QJsonObject{{"Test.map",
                                                          "Expected an object such as {\"name\": \"text\"}"}};
    QTest::newRow("wrong map element") << "map" << QJsonValue(QJsonObject{{"k", QJsonArray{1}}, {"a", "9"}}) << map
                                       << QJsonObject{{"Test.map[k]", "Expected a text"}};
    QTest::newRow("map replaces whole") << "map" << QJsonValue(QJsonObject{{"only", 5}})
                                        << QJsonValue(QJsonObject{{"only", "5"}}) << QJsonObject();
}

void tst_Settings::listsAndMaps()
{
    QFETCH(QString, key);
    QFETCH(QJsonValue, value);
    QFETCH(QJsonValue, expected);
    QFETCH(QJsonObject, errors);

    QCOMPARE(Settings::Manager::apply({{"Test", QJsonObject{{key, value}}}}), errorMap(errors));
    QCOMPARE(m_test->toJson().value(key), expected);
}

void tst_Settings::failingUpdateChangesNothing()
{
    const QJsonObject before = Settings::Manager::toJson();
    const QJsonObject update{
        {"Test", QJsonObject{{"flag", true}, {"text", "new"}, {"list", QJsonArray{"y"}}, {"map", QJsonObject()}}},
        {"Other", QJsonObject{{"value", "twelve"}}}};

    const QMap<QString, QString> errors = Settings::Manager::apply(update);

    QCOMPARE(errors, (QMap<QString, QString>{{"Other.value", "Expected a whole number"}}));
    QCOMPARE(Settings::Manager::toJson(), before);

    // The next application starts with no errors of its own.
    QVERIFY(Settings::Manager::apply({{"Other", QJsonObject{{"value", 12}}}}).isEmpty());
    QCOMPARE(m_other->value, 12);
    QCOMPARE(m_test->text, QStringLiteral("abc"));
}

void tst_Settings::sectionsThatDoNotApply()
{
    const QJsonObject before = Settings::Manager::toJson();

    // A misspelt section, or one that is no object, is refused rather than dropped.
    QCOMPARE(Settings::Manager::apply({{"Nobody", QJsonObject{{"value", 3}}}, {"Other", QJsonObject{{"value", 4}}}}),
             (QMap<QString, QString>{{"Nobody", "Unknown section"}}));
    QCOMPARE(Settings::Manager::apply({{"Other", 7}}),
             (QMap<QString, QString>{{"Other", "Expected an object of settings"}}));
    QCOMPARE(Settings::Manager::toJson(), before);
}

// One line at start names the keys the file leaves at their defaults, never their values.
void tst_Settings::passwordDefaultIsMasked()
{
    QVERIFY(!writeConfig(R"({"Test": {"text": "mine"}})").isEmpty());
    Settings::Manager::load();

    QCOMPARE(g_messages.filter("default").size(), 1);
    QVERIFY(g_messages.contains(QStringLiteral("Settings left at their defaults: Other.value, Test.flag, Test.ints, "
                                               "Test.list, Test.map, Test.number, Test.positive, Test.user_password")));
    for (const QString &message : qAsConst(g_messages))
        QVERIFY2(!message.contains(QLatin1String("s3cret")), qPrintable(message));
}

void tst_Settings::registry()
{
    QCOMPARE(Settings::Manager::managers().keys(), (QStringList{"Other", "Test"}));
    QVERIFY(Settings::Manager::moduleToJson(QStringLiteral("Nobody")).isEmpty());

    {
        TestSection replacement;
        replacement.number = 1;
        QCOMPARE(Settings::Manager::moduleToJson(QStringLiteral("Test")).value("number"), QJsonValue(1));
        // The replaced section going away must not take the newer one's entry with it.
        m_test.reset();
        QCOMPARE(Settings::Manager::managers().value(QStringLiteral("Test")), &replacement);
    }
    QCOMPARE(Settings::Manager::managers().keys(), QStringList{"Other"});
}

void tst_Settings::saveWritesSortedIndentedJson()
{
    m_test.reset();
    QVERIFY(!writeConfig("{}").isEmpty());

    const QMap<QString, QString> errors = Settings::Manager::save({{"Other", QJsonObject{{"value", 42}}}});

    QVERIFY(errors.isEmpty());
    QFile file(Settings::Manager::configName);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("{\n    \"Other\": {\n        \"value\": 42\n    }\n}\n"));

    TestSection test;
    QVERIFY(Settings::Manager::save({}).isEmpty());
    // Replaced by a new file, not rewritten in place: a reader of the old one sees it whole.
    QVERIFY(file.seek(0));
    QCOMPARE(file.readAll(), QByteArray("{\n    \"Other\": {\n        \"value\": 42\n    }\n}\n"));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(saved, Settings::Manager::toJson());
    QCOMPARE(saved.value("Test").toObject().keys(),
             (QStringList{"flag", "ints", "list", "map", "number", "positive", "text", "user_password"}));
    QVERIFY(!QFile::exists(file.fileName() + QStringLiteral(".bak")));
}

void tst_Settings::missingConfigNameIsNeverWritten()
{
    const QString path = Settings::Manager::configName;

    QCOMPARE(Settings::Manager::load(), Settings::Manager::toJson());
    QVERIFY(Settings::Manager::save({{"Other", QJsonObject{{"value", 5}}}}).isEmpty());

    QCOMPARE(m_other->value, 5);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    QCOMPARE(g_messages.count(QStringLiteral("File %1 doesn't exist").arg(path)), 2);
}

void tst_Settings::failedWriteIsReported()
{
    // A directory in place of the file: it "exists", but no file can be written there.
    QVERIFY(QDir().mkpath(Settings::Manager::configName));

    const QMap<QString, QString> errors = Settings::Manager::save({{"Other", QJsonObject{{"value", 5}}}});

    // The file and the reason, as the administrator who saved is to read them.
    QCOMPARE(errors, (QMap<QString, QString>{
                         {"config_file", "Cannot write configuration file " + Settings::Manager::configName
                                             + ": Is a directory"}}));
    QVERIFY(QFileInfo(Settings::Manager::configName).isDir());
}

void tst_Settings::unappliedFileIsBackedUp_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("warning");

    QTest::newRow("syntax error") << QByteArray("{\"Test\": {\"text\": \"mine\",\n") << "Cannot parse configuration file";
    QTest::newRow("one wrong value") << QByteArray("{\"Test\": {\"text\": \"mine\", \"number\": \"abc\"}}")
                                     << "holds refused values: Test.number: Expected a whole number";
    QTest::newRow("not an object") << QByteArray("[\"Test\"]") << "the top level is not a JSON object";
}

void tst_Settings::unappliedFileIsBackedUp()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, warning);
    const QString path = writeConfig(content);
    QVERIFY(!path.isEmpty());
    const QFile::Permissions ownerOnly = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser;
    QVERIFY(QFile::setPermissions(path, ownerOnly));

    Settings::Manager::load();

    QCOMPARE(m_test->text, QStringLiteral("abc"));
    QCOMPARE(m_test->number, 5038);
    QVERIFY2(Settings::Manager::loadError().contains(warning), qPrintable(Settings::Manager::loadError()));
    // Said once, by whoever refuses to start on it.
    QVERIFY(g_messages.filter(warning).isEmpty());

    QVERIFY(Settings::Manager::save({{"Other", QJsonObject{{"value", 9}}}}).isEmpty());

    QFile backup(path + QStringLiteral(".bak"));
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), content);
    QCOMPARE(backup.permissions(), ownerOnly);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(file.readAll()).object(), Settings::Manager::toJson());

    // Once rewritten the file holds what is in force: no further backups.
    QVERIFY(Settings::Manager::save({}).isEmpty());
    QVERIFY(!QFile::exists(path + QStringLiteral(".bak.1")));
}

void tst_Settings::earlierBackupIsKept()
{
    const QString path = writeConfig("{oops");
    QFile earlier(path + QStringLiteral(".bak"));
    QVERIFY(earlier.open(QIODevice::WriteOnly));
    earlier.write("earlier");
    earlier.close();

    Settings::Manager::load();
    QVERIFY(Settings::Manager::save({}).isEmpty());

    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("earlier"));
    QFile backup(path + QStringLiteral(".bak.1"));
    QVERIFY(backup.open(QIODevice::ReadOnly));
    QCOMPARE(backup.readAll(), QByteArray("{oops"));
}

void tst_Settings::emptyFileIsNotBackedUp()
{
    const QString path = writeConfig("\n");

    Settings::Manager::load();
    QVERIFY(Settings::Manager::save({}).isEmpty());

    QVERIFY(!QFile::exists(path + QStringLiteral(".bak")));
    QCOMPARE(QJsonDocument::fromJson([&] {
                 QFile file(path);
                 file.open(QIODevice::ReadOnly);
                 return file.readAll();
             }()).object(),
             Settings::Manager::toJson());
}

QTEST_GUILESS_MAIN(tst_Settings)
#include "tst_settings.moc"
