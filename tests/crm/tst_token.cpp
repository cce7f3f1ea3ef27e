#include "crm/bitrix/token.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Token;

class tst_Token : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void filePath();
    void load_data();
    void load();
    void validity_data();
    void validity();
    void saveAndLoadAgain();
    void savedFileIsPrivate();
    void saveReplacesWholeFile();

private:
    void write(const QByteArray &bytes);

    QScopedPointer<QTemporaryDir> m_dir;
};

void tst_Token::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
}

void tst_Token::write(const QByteArray &bytes)
{
    QVERIFY(QDir().mkpath(m_dir->path() + "/generated_x"));
    QFile file(m_dir->path() + "/generated_x/token.json");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void tst_Token::filePath()
{
    QCOMPARE(Token("_x", "/srv/app").filePath(), QStringLiteral("/srv/app/generated_x/token.json"));
    QCOMPARE(Token(QString(), "/srv/app").filePath(), QStringLiteral("/srv/app/generated/token.json"));
    QCOMPARE(Token().filePath(), QCoreApplication::applicationDirPath() + "/generated/token.json");
}

void tst_Token::load_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("access");
    QTest::addColumn<QString>("refresh");
    QTest::addColumn<bool>("timeValid");

    QTest::newRow("full") << QByteArray(R"({"access_token":"a","refresh_token":"r","valid_till":"2030-01-01 10:00:00"})")
                          << "a" << "r" << true;
    QTest::newRow("null time keeps refresh") << QByteArray(R"({"access_token":"a","refresh_token":"r","valid_till":null})")
                                             << "a" << "r" << false;
    QTest::newRow("time in another format") << QByteArray(R"({"access_token":"a","refresh_token":"r","valid_till":"2030-01-01T10:00:00"})")
                                            << "a" << "r" << false;
    QTest::newRow("expires_in instead of time") << QByteArray(R"({"access_token":"a","refresh_token":"r","expires_in":3600})")
                                                << "a" << "r" << true;
    QTest::newRow("empty file") << QByteArray() << "" << "" << false;
    QTest::newRow("not json") << QByteArray("garbage") << "" << "" << false;
    QTest::newRow("array") << QByteArray("[1,2]") << "" << "" << false;
}

void tst_Token::load()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, access);
    QFETCH(QString, refresh);
    QFETCH(bool, timeValid);

    write(file);
    Token token("_x", m_dir->path());
    token.load();
    QCOMPARE(token.getAccess(), access);
    QCOMPARE(token.getRefresh(), refresh);
    QCOMPARE(token.validTill().isValid(), timeValid);
}

void tst_Token::validity_data()
{
    QTest::addColumn<QJsonObject>("json");
    QTest::addColumn<bool>("valid");

    QTest::newRow("future") << QJsonObject{{"access_token", "a"}, {"expires_in", 3600}} << true;
    QTest::newRow("expires now") << QJsonObject{{"access_token", "a"}, {"expires_in", 0}} << false;
    // The portal counts from the moment it issued the token: a token about to run out is renewed first.
    QTest::newRow("under a minute left") << QJsonObject{{"access_token", "a"}, {"expires_in", 59}} << false;
    QTest::newRow("two minutes left") << QJsonObject{{"access_token", "a"}, {"expires_in", 120}} << true;
    QTest::newRow("expires_in as text") << QJsonObject{{"access_token", "a"}, {"expires_in", "3600"}} << false;
    QTest::newRow("no access token") << QJsonObject{{"refresh_token", "r"}, {"expires_in", 3600}} << false;
    QTest::newRow("past") << QJsonObject{{"access_token", "a"}, {"valid_till", "2001-01-01 00:00:00"}} << false;
    QTest::newRow("no time") << QJsonObject{{"access_token", "a"}} << false;
}

void tst_Token::validity()
{
    QFETCH(QJsonObject, json);
    QFETCH(bool, valid);

    Token token;
    token.fromJson(json);
    QCOMPARE(token.isValid(), valid);
}

void tst_Token::saveAndLoadAgain()
{
    Token token("_x", m_dir->path());
    token.fromJson(QJsonObject{{"access_token", "a"}, {"refresh_token", "r"}});
    QVERIFY(token.save());
    QVERIFY(!QFile::permissions(token.filePath()).testFlag(QFileDevice::ReadOther));

    QFile file(token.filePath());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject saved = QJsonDocument::fromJson(file.readAll()).object();
    QCOMPARE(saved.keys(), QStringList({"access_token", "refresh_token", "valid_till"}));
    QVERIFY(saved.value("valid_till").isNull());

    Token again("_x", m_dir->path());
    again.load();
    QCOMPARE(again.toJson(), token.toJson());

    token.fromJson(QJsonObject{{"access_token", "b"}, {"expires_in", 60}});
    QVERIFY(token.save());
    again.load();
    QCOMPARE(again.getAccess(), QStringLiteral("b"));
    QCOMPARE(again.validTill().toString("yyyy-MM-dd HH:mm:ss"), token.validTill().toString("yyyy-MM-dd HH:mm:ss"));
}

void tst_Token::savedFileIsPrivate()
{
    write("{}");
    QFile::setPermissions(m_dir->path() + "/generated_x/token.json",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    Token token("_x", m_dir->path());
    token.fromJson(QJsonObject{{"access_token", "secret"}});
    QVERIFY(token.save());
    const QFileDevice::Permissions permissions = QFile::permissions(token.filePath());
    QVERIFY(permissions.testFlag(QFileDevice::ReadOwner));
    QVERIFY(permissions.testFlag(QFileDevice::WriteOwner));
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(permissions & others, QFileDevice::Permissions());
}

void tst_Token::saveReplacesWholeFile()
{
    write(QByteArray(4096, 'x'));
    Token token("_x", m_dir->path());
    QVERIFY(token.save());
    Token again("_x", m_dir->path());
    again.fromJson(QJsonObject{{"access_token", "stale"}});
    again.load();
    QCOMPARE(again.getAccess(), QString());
    QCOMPARE(QDir(m_dir->path() + "/generated_x").entryList(QDir::Files), QStringList({"token.json"}));
}

QTEST_GUILESS_MAIN(tst_Token)
#include "tst_token.moc"
