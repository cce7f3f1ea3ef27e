// The executable's informational options: they answer and exit before any configuration is read,
// so neither the log file nor the generated directory is touched.

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void informationOnly_data();
    void informationOnly();
};

void tst_Startup::informationOnly_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output"); // on standard output or standard error

    QTest::newRow("legal") << QStringList{"--legal"} << QStringLiteral("Orvix");
    QTest::newRow("legal before a clean run") << QStringList{"--legal", "-c"} << QStringLiteral("Orvix");
    QTest::newRow("help") << QStringList{"--help"} << QStringLiteral("Custom config file name.");
    QTest::newRow("short help") << QStringList{"-h"} << QStringLiteral("Override PBX events SQL request.");
    QTest::newRow("version") << QStringList{"--version"} << QStringLiteral("calvena v2.14.11");
}

void tst_Startup::informationOnly()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString postfix = QStringLiteral("_tst_startup_%1").arg(QCoreApplication::applicationPid());
    const QString generated =
        QFileInfo(QStringLiteral(CALVENA_BINARY)).absolutePath() + QStringLiteral("/generated") + postfix;
    QDir(generated).removeRecursively();
    const QJsonObject config{{"App", QJsonObject{{"log_file", dir.filePath("calvena.log")},
                                                 {"log_level", "debug"},
                                                 {"generated_postfix", postfix}}}};
    QFile file(dir.filePath("config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
    file.close();

    QProcess service;
    service.setWorkingDirectory(dir.path());
    service.start(QStringLiteral(CALVENA_BINARY), QStringList{"--configname", dir.filePath("config.json")} + arguments);
    QVERIFY(service.waitForStarted());
    // Bounded only so that a service that wrongly keeps running fails the row instead of hanging it.
    QVERIFY(service.waitForFinished(60000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    const QString printed = QString::fromUtf8(service.readAllStandardOutput() + service.readAllStandardError());
    QVERIFY2(printed.contains(output), qPrintable(printed));
    QVERIFY(!QFileInfo::exists(dir.filePath("calvena.log")));
    QVERIFY(!QFileInfo::exists(generated));
    QVERIFY(!QFileInfo::exists(dir.filePath("generated")));
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
