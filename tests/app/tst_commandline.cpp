#include "app/commandline.h"

#include <QtTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void options_data();
    void options();
};

void tst_CommandLine::options_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("clean");
    QTest::addColumn<bool>("legal");
    QTest::addColumn<QString>("eventsSql");
    QTest::addColumn<QString>("configName");

    QTest::newRow("nothing") << QStringList{} << false << false << QString() << QString();
    QTest::newRow("short clean") << QStringList{"-c"} << true << false << QString() << QString();
    QTest::newRow("long clean") << QStringList{"--clean"} << true << false << QString() << QString();
    QTest::newRow("events query") << QStringList{"--pbxeventssql", "select 1"} << false << false
                                  << QStringLiteral("select 1") << QString();
    QTest::newRow("test call") << QStringList{"-T", "abc"} << false << false
                               << QStringLiteral("select * from cel where linkedid='abc' order by id asc") << QString();
    QTest::newRow("test call wins over the query")
        << QStringList{"--testcall", "1796630253.0", "--pbxeventssql", "select 1"} << false << false
        << QStringLiteral("select * from cel where linkedid='1796630253.0' order by id asc") << QString();
    QTest::newRow("config name") << QStringList{"--configname", "/tmp/x.json"} << false << false << QString()
                                 << QStringLiteral("/tmp/x.json");
    QTest::newRow("legal with others") << QStringList{"--legal", "-c", "--configname", "a"} << true << true
                                       << QString() << QStringLiteral("a");
}

void tst_CommandLine::options()
{
    QFETCH(QStringList, arguments);
    arguments.prepend(QStringLiteral("calvena"));

    const Orvix::CommandLine line = Orvix::parseCommandLine(arguments);
    QTEST(line.clean, "clean");
    QTEST(line.legal, "legal");
    QTEST(line.eventsSql, "eventsSql");
    QTEST(line.configName, "configName");
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
