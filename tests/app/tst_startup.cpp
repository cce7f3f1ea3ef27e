// The executable's start: the informational options answer and exit before any configuration is read,
// so neither the log file nor the generated directory is touched; a configuration file the service
// cannot take, or a generated directory another service holds, stops the start with the reason.

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/stat.h>

namespace {
const QByteArray kOtherFile = QByteArrayLiteral("root:x:0:0:root:/root:/bin/bash\n");
}

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void exitsAtOnce_data();
    void exitsAtOnce();
    void oneServicePerGeneratedDirectory();

private:
    // Writes the file ("LOG" in content becomes the log's path) and starts the service on it. existing: what
    // is at the log's path before: nothing, "file" (another file, 0644), "empty" (0644) or "fifo".
    void start(QProcess &service, const QByteArray &content, const QStringList &arguments = {},
               const QString &existing = {});

    QTemporaryDir m_dir;
    QString m_postfix;
    QString m_generated;
};

void tst_Startup::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_postfix = QStringLiteral("_tst_startup_%1").arg(QCoreApplication::applicationPid());
    m_generated = QFileInfo(QStringLiteral(CALVENA_BINARY)).absolutePath() + QStringLiteral("/generated") + m_postfix;
}

void tst_Startup::start(QProcess &service, const QByteArray &content, const QStringList &arguments,
                        const QString &existing)
{
    QFile file(m_dir.filePath("config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(content).replace("LOG", m_dir.filePath("calvena.log").toUtf8())
                   .replace("POSTFIX", m_postfix.toUtf8()));
    file.close();
    QFile::remove(m_dir.filePath("calvena.log"));
    const QByteArray log = QFile::encodeName(m_dir.filePath("calvena.log"));
    if (existing == QLatin1String("file")) {
        QFile other(m_dir.filePath("calvena.log"));
        QVERIFY(other.open(QIODevice::WriteOnly) && other.write(kOtherFile) > 0);
        other.close();
        QVERIFY(::chmod(log.constData(), 0644) == 0);
    } else if (existing == QLatin1String("fifo")) {
        QVERIFY(::mkfifo(log.constData(), 0600) == 0);
    } else if (existing == QLatin1String("empty")) {
        QFile rotated(m_dir.filePath("calvena.log"));
        QVERIFY(rotated.open(QIODevice::WriteOnly));
        rotated.close();
        QVERIFY(::chmod(log.constData(), 0644) == 0);
    }
    QDir(m_generated).removeRecursively();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // Asterisk's own files are not this machine's business here.
    environment.insert(QStringLiteral("CALVENA_ASTERISK_CONFIG_ROOT"), m_dir.path());
    service.setProcessEnvironment(environment);
    service.setWorkingDirectory(m_dir.path());
    service.start(QStringLiteral(CALVENA_BINARY), QStringList{"--configname", file.fileName()} + arguments);
    QVERIFY(service.waitForStarted());
}

void tst_Startup::exitsAtOnce_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // on standard output or standard error
    QTest::addColumn<bool>("logged");    // also in the log file the configuration names
    QTest::addColumn<QString>("existing"); // at the log's path before the start (start())

    const QByteArray good = R"({"App": {"log_file": "LOG", "log_level": "debug", "generated_postfix": "POSTFIX"}})";
    QTest::newRow("legal") << QStringList{"--legal"} << good << 0 << QStringLiteral("Orvix") << false << QString();
    QTest::newRow("legal before a clean run") << QStringList{"--legal", "-c"} << good << 0 << QStringLiteral("Orvix")
                                              << false << QString();
    QTest::newRow("help") << QStringList{"--help"} << good << 0 << QStringLiteral("Custom config file name.") << false << QString();
    QTest::newRow("short help") << QStringList{"-h"} << good << 0 << QStringLiteral("Override PBX events SQL request.")
                                << false << QString();
    QTest::newRow("version") << QStringList{"--version"} << good << 0 << QStringLiteral("calvena v2.14.11") << false << QString();

    QTest::newRow("syntax error: line and column")
        << QStringList() << QByteArray("{\n  \"App\": {\"log_level\": \"debug\",}\n}\n") << 1
        << QStringLiteral("config.json:2:33: object is missing after a comma") << false << QString();
    QTest::newRow("empty file") << QStringList() << QByteArray() << 1 << QStringLiteral("config.json: the file is empty")
                                << false << QString();
    QTest::newRow("value of a wrong type: the key")
        << QStringList() << QByteArray(R"({"App": {"log_file": "LOG"}, "Asterisk": {"port": "abc"}})") << 1
        << QStringLiteral("Asterisk.port: Expected a whole number") << true << QString();
    // One line naming the file, the key and the reason; a cosmetic slip beside it is no reason.
    QTest::newRow("impossible value and unknown key")
        << QStringList()
        << QByteArray(R"({"App": {"log_file": "LOG", "log_level": "loud"},
                         "WebServer": {"prot": 1, "listen_port": 0}})")
        << 1
        << QStringLiteral("Not started: Configuration file %1 holds refused values: WebServer.listen_port: A port is a "
                          "number from 1 to 65535; WebServer.prot: Unknown key\n")
               .arg(m_dir.filePath("config.json"))
        << true << QString();
    QTest::newRow("log file that cannot be opened")
        << QStringList() << QByteArray(R"({"App": {"log_file": "LOG/missing"}, "Asterisk": {"port": 0}})") << 1
        << QStringLiteral("Cannot open the log file %1/missing: ").arg(m_dir.filePath("calvena.log")) << false << QString();
    // Not another file's, whatever the configuration says, and the start neither hangs nor changes it.
    const QByteArray refusedPort = R"({"App": {"log_file": "LOG"}, "Asterisk": {"port": 0}})";
    QTest::newRow("log path of another file: the terminal, the file untouched")
        << QStringList() << refusedPort << 1
        << QStringLiteral("Cannot open the log file %1: it is another file, not this service's log; logging to the "
                          "standard error output")
               .arg(m_dir.filePath("calvena.log"))
        << false << "file";
    QTest::newRow("log path of a FIFO: the terminal at once")
        << QStringList() << refusedPort << 1
        << QStringLiteral("Cannot open the log file %1: it is not a regular file; logging to the standard error output")
               .arg(m_dir.filePath("calvena.log"))
        << false << "fifo";
    // As a rotation that makes the file anew leaves it: logged into, its mode the administrator's.
    QTest::newRow("log path of an empty file: logged into, its mode kept")
        << QStringList() << refusedPort << 1 << QStringLiteral("Asterisk.port: A port is a number from 1 to 65535")
        << true << "empty";
}

void tst_Startup::exitsAtOnce()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, content);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    QFETCH(bool, logged);
    QFETCH(QString, existing);

    QProcess service;
    start(service, content, arguments, existing);
    // Bounded only so that a service that wrongly keeps running fails the row instead of hanging it.
    QVERIFY(service.waitForFinished(60000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), exitCode);
    const QString printed = QString::fromUtf8(service.readAllStandardOutput() + service.readAllStandardError());
    QVERIFY2(printed.contains(output), qPrintable(printed));
    if (logged) // said once; where the log itself is the standard error output, it is read there too
        QVERIFY2(printed.count(QStringLiteral("refused values")) == 1, qPrintable(printed));
    QFile log(m_dir.filePath("calvena.log"));
    QCOMPARE(log.exists(), logged || !existing.isEmpty());
    struct stat status;
    QVERIFY(existing.isEmpty() || ::stat(QFile::encodeName(log.fileName()).constData(), &status) == 0);
    if (existing == QLatin1String("file")) {
        QCOMPARE(int(status.st_mode & 0777), 0644);
        QVERIFY(log.open(QIODevice::ReadOnly));
        QCOMPARE(log.readAll(), kOtherFile);
    } else if (existing == QLatin1String("fifo")) {
        QVERIFY(S_ISFIFO(status.st_mode));
    } else if (existing == QLatin1String("empty")) {
        QCOMPARE(int(status.st_mode & 0777), 0644);
    }
    if (logged) {
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(QString::fromUtf8(log.readAll()).contains(output));
    }
    QVERIFY(!QFileInfo::exists(m_generated));
    QVERIFY(!QFileInfo::exists(m_dir.filePath("generated")));
}

// Two services on one saved state would register every call twice: the second does not start, and
// names the first.
void tst_Startup::oneServicePerGeneratedDirectory()
{
    // Written by hand, with a password: the start has no save of its own to make.
    const QByteArray content = R"({"App": {"log_file": "LOG", "log_level": "info", "generated_postfix": "POSTFIX"},
                                   "WebServer": {"use_http": false, "password": "a-Pa55-word-by-hand"}})";
    // Starts in the log: by then the service is past its lock and handles SIGTERM.
    const auto starts = [this]() {
        QFile file(m_dir.filePath("calvena.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll().count("\tinfo\tStart application\n") : 0;
    };
    // A file without a history start gets the first start's: a later start must not pass over the calls
    // the PBX took while the service was stopped.
    const auto historyStart = [this]() {
        QFile file(m_dir.filePath("config.json"));
        return file.open(QIODevice::ReadOnly)
            ? QJsonDocument::fromJson(file.readAll())["App"]["history_start_date"].toString()
            : QString();
    };
    QProcess first;
    start(first, content);
    QTRY_COMPARE_WITH_TIMEOUT(starts(), 1, 30000);
    const QString firstStart = historyStart();
    QVERIFY(!firstStart.isEmpty());

    QProcess second;
    second.setWorkingDirectory(m_dir.path());
    second.start(QStringLiteral(CALVENA_BINARY), {"--configname", m_dir.filePath("config.json")});
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(second.exitCode(), 1);
    const QString printed = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(printed.contains(QStringLiteral("the generated directory %1 is used by another service (pid %2")
                                  .arg(m_generated)
                                  .arg(first.processId())),
             qPrintable(printed));

    // The first one stops on SIGTERM and says so.
    QCOMPARE(first.state(), QProcess::Running);
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(60000));
    QCOMPARE(first.exitCode(), 0);
    QFile log(m_dir.filePath("calvena.log"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    const QString lines = QString::fromUtf8(log.readAll());
    QVERIFY2(lines.contains(QStringLiteral("\tinfo\tStopping on SIGTERM\n")), qPrintable(lines.right(300)));

    // A lock left by a killed service whose pid this one now has (pid 1 of a container, restarted): the
    // shell writes it with its own pid, then becomes the service.
    QProcess restarted;
    restarted.setProcessEnvironment(first.processEnvironment());
    restarted.start(QStringLiteral("/bin/sh"),
                    {"-c", R"(printf '%s\ncalvena\n%s\n' $$ "$1" > "$2"; exec "$3" --configname "$4")", "sh",
                     QSysInfo::machineHostName(), m_generated + QStringLiteral("/calvena.lock"),
                     QStringLiteral(CALVENA_BINARY), m_dir.filePath("config.json")});
    QVERIFY(restarted.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(restarted.state() != QProcess::Running || starts() == 2, 30000);
    QVERIFY2(restarted.state() == QProcess::Running, restarted.readAllStandardError().constData());
    QCOMPARE(historyStart(), firstStart);
    // Closing the terminal that runs it stops it, and the log says so.
    ::kill(static_cast<pid_t>(restarted.processId()), SIGHUP);
    QVERIFY(restarted.waitForFinished(60000));
    QCOMPARE(restarted.exitStatus(), QProcess::NormalExit);
    QVERIFY(log.seek(0));
    QVERIFY(log.readAll().contains("\tinfo\tStopping on SIGHUP\n"));

    // An older file with cosmetic slips, or values of the right type a save now refuses, starts: read as meant;
    // only the log says what was read, once for each.
    QProcess older;
    start(older, R"({"App": {"log_file": "LOG", "log_level": "WARN", "locale": "_en.json",
                             "generated_postfix": "POSTFIX", "history_start_date": "2026-01-01",
                             "trunk_to_source": {"74950000000": "call"}},
                    "WebServer": {"use_http": false}})");
    const auto olderLog = [this]() {
        QFile file(m_dir.filePath("calvena.log"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QTRY_VERIFY_WITH_TIMEOUT(olderLog().contains(": App.log_level: \"WARN\" is read as \"warning\"\n"), 30000);
    QCOMPARE(older.state(), QProcess::Running);
    QCOMPARE(olderLog().count(": App.history_start_date: \"2026-01-01\" is read as \"2026-01-01 00:00:00\"\n"), 1);
    QCOMPARE(olderLog().count(": App.trunk_to_source: {\"74950000000\":\"call\"} is read as "
                              "{\"74950000000\":\"CALL\"}\n"),
             1);
    older.terminate();
    QVERIFY(older.waitForFinished(60000));
    QDir(m_generated).removeRecursively();
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
