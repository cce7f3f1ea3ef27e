// The messages of loading the configuration, written before the logger knows its file, must reach
// the log file too. Installs the logger: one executable for this scenario.

#include "app/startuplog.h"
#include "config/manager.h"
#include "utils/logger.h"
#include "utils/settingsmanager.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_StartupLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void configurationErrorsReachTheLogFile();
};

void tst_StartupLog::configurationErrorsReachTheLogFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString configPath = dir.filePath("config.json");
    QFile config(configPath);
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(R"({"App": {"log_level": "warn", "locale": "../x"}})");
    config.close();
    Orvix::Utils::Settings::Manager::configName = configPath;

    Orvix::StartupLog::begin();
    Orvix::Config::Manager::init();
    qDebug("kept below the level of the log");
    const QString logPath = dir.filePath("calvena.log");
    Orvix::Utils::Logger::setLogFileName(logPath);
    Orvix::Utils::Logger::setShowFrom(QStringLiteral("warning"));
    Orvix::Utils::Logger::init(QString());
    Orvix::StartupLog::replay();
    qWarning("written after start-up");
    qInstallMessageHandler(nullptr);

    QFile log(logPath);
    QVERIFY(log.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList lines = QString::fromUtf8(log.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).endsWith("\twarning\tConfiguration file " + configPath
                                  + ": App.log_level: \"warn\" is read as \"warning\""),
             qPrintable(lines.at(0)));
    // What the default replaces is named: the file keeps it only until its next save.
    QVERIFY2(lines.at(1).endsWith(": App.locale: \"../x\": Not a dictionary name; the default \"_en\" is used"),
             qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).endsWith("\twarning\twritten after start-up"), qPrintable(lines.at(2)));
}

QTEST_GUILESS_MAIN(tst_StartupLog)
#include "tst_startuplog.moc"
