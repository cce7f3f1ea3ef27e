#include "configsetup/asteriskconfigreader.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::ConfigSetup::AsteriskConfigReader;

class tst_AsteriskConfigReader : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void filesMergeAndManagerUsers();
};

void tst_AsteriskConfigReader::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("expected"); // a null string: the key must be absent

    QTest::newRow("plain key, blanks trimmed") << "[a]\n  host =  db.local  \n" << "a" << "host" << "db.local";
    QTest::newRow("object arrow") << "[a]\ndsn => MySQL-cdr\n" << "a" << "dsn" << "MySQL-cdr";
    QTest::newRow("keys in lower case") << "[a]\nServer = x\n" << "a" << "server" << "x";
    QTest::newRow("line comment") << "[a]\nport = 5038 ; the default\n" << "a" << "port" << "5038";
    QTest::newRow("escaped semicolon") << "[a]\nsecret = ab\\;cd;comment\n" << "a" << "secret" << "ab;cd";
    QTest::newRow("first equals splits") << "[a]\npermit=127.0.0.1/255.255.255.0\nx=a=b\n" << "a" << "x" << "a=b";
    QTest::newRow("block comment over lines")
        << "[a]\nkeep = 1\n;-- gone = 1\nstill = gone\n--; after = 2\n" << "a" << "still" << QString();
    QTest::newRow("text after block comment kept")
        << "[a]\n;-- gone --; after = 2\n" << "a" << "after" << "2";
    QTest::newRow("nested block comment")
        << "[a]\n;-- outer ;-- inner --; still = out --;\nx = 1\n" << "a" << "still" << QString();
    QTest::newRow("include skipped") << "[a]\n#include other.conf\nx = 1\n" << "a" << "#include other.conf"
                                     << QString();
    QTest::newRow("key before any section ignored") << "x = 1\n[a]\ny = 2\n" << "a" << "x" << QString();
    QTest::newRow("template inherited") << "[t](!)\nread = call\n[u](t)\nsecret = s\n" << "u" << "read" << "call";
    QTest::newRow("own value wins over template")
        << "[t](!)\nread = call\n[u](t)\nread = system\n" << "u" << "read" << "system";
    QTest::newRow("two templates, later wins")
        << "[t1](!)\nx = 1\ny = 1\n[t2](!)\ny = 2\n[u](t1,t2)\n" << "u" << "y" << "2";
    QTest::newRow("template itself left out") << "[t](!)\nread = call\n" << "t" << "read" << QString();
    QTest::newRow("repeated section merged") << "[a]\nx = 1\n[b]\n[a]\ny = 2\n" << "a" << "x" << "1";
    QTest::newRow("repeated key replaced") << "[a]\nx = 1\n[a](+)\nx = 2\n" << "a" << "x" << "2";
    QTest::newRow("broken header drops its lines") << "[a\nx = 1\n" << "a" << "x" << QString();
    QTest::newRow("windows line ends") << "[a]\r\nx = 1\r\n" << "a" << "x" << "1";
}

void tst_AsteriskConfigReader::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const AsteriskConfigReader::Sections sections = AsteriskConfigReader::parse(text);
    if (expected.isNull())
        QVERIFY2(!sections.value(section).contains(key), qPrintable(sections.value(section).value(key)));
    else
        QCOMPARE(sections.value(section).value(key), expected);
}

void tst_AsteriskConfigReader::filesMergeAndManagerUsers()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir(root.path()).mkpath(QStringLiteral("etc/asterisk")));
    const auto write = [&root](const QString &path, const QByteArray &bytes) {
        QFile file(root.path() + path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    };
    QVERIFY(write("/etc/asterisk/one.conf", "[shared]\na = 1\nb = 1\n"));
    QVERIFY(write("/etc/asterisk/two.conf", "[shared]\nb = 2\n[other]\nc = 3\n"));
    QVERIFY(write("/etc/asterisk/manager.conf",
                  "[general]\nport = 5038\n[tpl](!)\nread = call\n[calv](tpl)\nsecret = s1\n[admin]\nsecret = s2\n"));

    AsteriskConfigReader reader(root.path());
    QVERIFY(reader.readFile("/etc/asterisk/one.conf"));
    QVERIFY(reader.readFile("/etc/asterisk/two.conf"));
    QVERIFY(!reader.readFile("/etc/asterisk/missing.conf"));

    const AsteriskConfigReader::Sections sections = reader.sections();
    QCOMPARE(sections.value("shared").value("a"), QStringLiteral("1"));
    QCOMPARE(sections.value("shared").value("b"), QStringLiteral("2"));
    QCOMPARE(sections.value("other").value("c"), QStringLiteral("3"));

    QVERIFY(reader.parseManagerFile("/etc/asterisk/manager.conf"));
    const AsteriskConfigReader::Sections users = reader.managerSections();
    QCOMPARE(users.keys(), (QStringList{"admin", "calv"}));
    QCOMPARE(users.value("calv").value("read"), QStringLiteral("call"));
    QCOMPARE(users.value("calv").value("secret"), QStringLiteral("s1"));
    // The manager map is its own: the merged map is not changed by it.
    QVERIFY(!reader.sections().contains("calv"));
}

QTEST_GUILESS_MAIN(tst_AsteriskConfigReader)
#include "tst_asteriskconfigreader.moc"
