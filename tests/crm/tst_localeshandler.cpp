#include "crm/bitrix/connector.h"
#include "crm/bitrix/localeshandler.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/promisewatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Connector;
using Orvix::CRM::Bitrix::LocalesHandler;
using Orvix::Tests::watch;
using Orvix::Utils::Promise;

namespace {

QString builtInDirectory()
{
    return QCoreApplication::applicationDirPath() + "/locales";
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

// The dictionaries in a temporary locales directory holding copies of the built-in ones.
class tst_LocalesHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();

    void builtInDictionaries_data();
    void builtInDictionaries();
    void listing();
    void unnamedSavesNeverOverwrite();
    void refusedNames_data();
    void refusedNames();
    void loading_data();
    void loading();
    void deletingTheCurrentOne();
    void failedWriteIsNoSave();
    void connectorSlots();

private:
    QString path(const QString &name) const { return m_dir->path() + "/locales/" + name; }

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_locales;
};

void tst_LocalesHandler::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_locales = m_dir->path() + "/locales";
    QVERIFY(QDir().mkpath(m_locales));
    for (const char *name : {"_en.json", "_ru.json"})
        QVERIFY(QFile::copy(builtInDirectory() + "/" + name, path(name)));
}

void tst_LocalesHandler::builtInDictionaries_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("English") << "_en.json";
    QTest::newRow("Russian") << "_ru.json";
}

void tst_LocalesHandler::builtInDictionaries()
{
    QFETCH(QString, name);

    // Installed beside the executable, with every text the connector asks for.
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(contents(builtInDirectory() + "/" + name), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    const QJsonObject dictionary = document.object();
    for (const char *key : {"niceName", "INCOMING_ENTITY_NAME", "OUTGOING_ENTITY_NAME", "COMMENT", "TASK_DESC"})
        QVERIFY2(!dictionary.value(key).toString().isEmpty(), key);
    QVERIFY(dictionary.value("INCOMING_ENTITY_NAME").toString().contains("%1"));
    QVERIFY(dictionary.value("OUTGOING_ENTITY_NAME").toString().contains("%1"));
}

void tst_LocalesHandler::listing()
{
    QFile notes(path("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.close();
    QFile hidden(path(".hidden.json"));
    QVERIFY(hidden.open(QIODevice::WriteOnly));
    hidden.write(R"({"niceName":"Hidden"})");
    hidden.close();
    QVERIFY(QDir().mkpath(path("sub.json")));

    LocalesHandler handler(m_locales);
    QCOMPARE(handler.getLocales(),
             (QJsonObject{{"_en", "English"}, {"_ru", QStringLiteral("Русский")}, {"notes", ""}}));
}

void tst_LocalesHandler::unnamedSavesNeverOverwrite()
{
    LocalesHandler handler(m_locales);
    QSignalSpy changed(&handler, &LocalesHandler::localeChanged);
    QVERIFY(handler.saveLocale("", QJsonObject{{"niceName", "First"}}));
    QCOMPARE(handler.currentName(), QString("custom0.json"));
    QVERIFY(handler.saveLocale("", QJsonObject{{"niceName", "Second"}}));
    QCOMPARE(handler.currentName(), QString("custom1.json"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(0).at(0).toString(), QString("custom0"));
    QCOMPARE(changed.at(1).at(0).toString(), QString("custom1"));

    QVERIFY(handler.deleteLocale("custom0.json"));
    QVERIFY(handler.saveLocale("", QJsonObject{{"niceName", "Third"}}));
    QCOMPARE(handler.currentName(), QString("custom0.json"));
    QCOMPARE(handler.getLocales().value("custom1").toString(), QString("Second"));
    QCOMPARE(handler.getLocales().value("custom0").toString(), QString("Third"));
    QCOMPARE(handler.translate("niceName"), QString("Third"));

    // With or without the ending: one file.
    QVERIFY(handler.saveLocale("mine", QJsonObject{{"niceName", "A"}}));
    QVERIFY(handler.saveLocale("mine.json", QJsonObject{{"niceName", "B"}}));
    QCOMPARE(handler.getLocales().value("mine").toString(), QString("B"));
    QVERIFY(!QFile::exists(path("mine")));
}

void tst_LocalesHandler::refusedNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("built-in") << "_en.json";
    QTest::newRow("built-in without its ending") << "_en";
    QTest::newRow("the other built-in") << "_ru.json";
    QTest::newRow("parent directory") << "../x";
    QTest::newRow("parent directory with ending") << "../x.json";
    QTest::newRow("a path") << "sub/x";
    QTest::newRow("a Windows path") << "..\\x";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("hidden") << ".x";
}

void tst_LocalesHandler::refusedNames()
{
    QFETCH(QString, name);

    const QByteArray english = contents(path("_en.json"));
    LocalesHandler handler(m_locales);
    handler.setLocale("_ru");
    QSignalSpy changed(&handler, &LocalesHandler::localeChanged);
    QVERIFY(!handler.saveLocale(name, QJsonObject{{"niceName", "Evil"}}));
    QVERIFY(!handler.deleteLocale(name));
    if (!name.startsWith('_')) // the built-in ones may be read, of course
        QCOMPARE(handler.getLocale(name), (QJsonObject{{"error", "Loading failure"}}));
    QCOMPARE(changed.count(), 0);
    QCOMPARE(handler.currentName(), QString("_ru.json"));
    QCOMPARE(contents(path("_en.json")), english);
    QVERIFY(QFile::exists(path("_ru.json")));
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList{"locales"});
    QCOMPARE(QDir(m_locales).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{"_en.json", "_ru.json"}));
}

void tst_LocalesHandler::loading_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("byGetLocale");
    QTest::addColumn<QString>("current");     // after the call
    QTest::addColumn<QStringList>("announced");

    QTest::newRow("set without ending") << "_ru" << false << "_ru.json" << QStringList{"_ru"};
    QTest::newRow("set with ending") << "_ru.json" << false << "_ru.json" << QStringList{"_ru"};
    QTest::newRow("set a missing one: English") << "xx" << false << "_en.json" << QStringList{"_en"};
    QTest::newRow("get") << "_ru.json" << true << "_ru.json" << QStringList{"_ru"};
    QTest::newRow("get a missing one: nothing changes") << "xx.json" << true << "custom0.json" << QStringList();
}

void tst_LocalesHandler::loading()
{
    QFETCH(QString, name);
    QFETCH(bool, byGetLocale);
    QFETCH(QString, current);
    QFETCH(QStringList, announced);

    LocalesHandler handler(m_locales);
    QVERIFY(handler.saveLocale("", QJsonObject{{"niceName", "Mine"}, {"COMMENT", "mine"}}));
    QSignalSpy changed(&handler, &LocalesHandler::localeChanged);
    if (byGetLocale) {
        const QJsonObject answer = handler.getLocale(name);
        if (announced.isEmpty())
            QCOMPARE(answer, (QJsonObject{{"error", "Loading failure"}}));
        else
            QCOMPARE(answer, handler.dictionary());
    } else {
        handler.setLocale(name);
    }
    QCOMPARE(handler.currentName(), current);
    QStringList names;
    for (const QList<QVariant> &signal : qAsConst(changed))
        names << signal.at(0).toString();
    QCOMPARE(names, announced);
    QCOMPARE(handler.translate("COMMENT").isEmpty(), false);
    QCOMPARE(handler.translate("NO_SUCH_KEY"), QString("NO_SUCH_KEY"));
    if (announced.isEmpty())
        QCOMPARE(handler.translate("COMMENT"), QString("mine"));
}

void tst_LocalesHandler::deletingTheCurrentOne()
{
    LocalesHandler handler(m_locales);
    QVERIFY(handler.saveLocale("mine", QJsonObject{{"niceName", "Mine"}}));
    QSignalSpy changed(&handler, &LocalesHandler::localeChanged);
    QVERIFY(handler.deleteLocale("mine.json"));
    QCOMPARE(handler.currentName(), QString("_en.json"));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().first().toString(), QString("_en"));
    QVERIFY(!QFile::exists(path("mine.json")));
    QVERIFY(!handler.deleteLocale("mine.json"));
}

void tst_LocalesHandler::failedWriteIsNoSave()
{
    // A directory where the file should go: the write cannot succeed.
    QVERIFY(QDir().mkpath(path("blocked.json")));
    LocalesHandler handler(m_locales);
    handler.setLocale("_ru");
    QSignalSpy changed(&handler, &LocalesHandler::localeChanged);
    QVERIFY(!handler.saveLocale("blocked", QJsonObject{{"niceName", "Lost"}}));
    QCOMPARE(handler.currentName(), QString("_ru.json"));
    QCOMPARE(handler.translate("niceName"), QStringLiteral("Русский"));
    QCOMPARE(changed.count(), 0);
}

void tst_LocalesHandler::connectorSlots()
{
    Connector connector(nullptr, QSharedPointer<Orvix::HttpClient::HttpClient>::create());
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setLocalesDirectory(m_locales);

    // No handler before the first start.
    Promise<QJsonObject> early;
    connector.getLocales(early);
    QVERIFY(watch(early)->rejected);
    Promise<QString> earlySave;
    connector.saveLocale("mine", QJsonObject(), earlySave);
    QVERIFY(watch(earlySave)->rejected);

    QSignalSpy changed(&connector, &Connector::localeChanged);
    connector.start("http://127.0.0.1:9", 1, "admin", "secret", "_s", "_ru", true, 1000, 0);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().first().toString(), QString("_ru"));

    Promise<QJsonObject> list;
    connector.getLocales(list);
    QCOMPARE(watch(list)->value.value("_en").toString(), QString("English"));
    Promise<QString> saved;
    connector.saveLocale("", QJsonObject{{"niceName", "Mine"}}, saved);
    QCOMPARE(watch(saved)->value, QString("custom0.json"));
    Promise<QJsonObject> missing;
    connector.getLocale("xx.json", missing);
    QVERIFY(watch(missing)->rejected);
    Promise<QJsonObject> found;
    connector.getLocale("_en.json", found);
    QCOMPARE(watch(found)->value.value("niceName").toString(), QString("English"));
    Promise<void> refused;
    connector.deleteLocale("_ru.json", refused);
    QVERIFY(watch(refused)->rejected);
    Promise<void> deleted;
    connector.deleteLocale("custom0.json", deleted);
    QVERIFY(watch(deleted)->resolved);
    QCOMPARE(changed.last().first().toString(), QString("_en"));
    connector.stop(false);
}

QTEST_GUILESS_MAIN(tst_LocalesHandler)
#include "tst_localeshandler.moc"
