#include "utils/logger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using Orvix::Utils::Logger;

// The logger is process-wide and installs Qt's message handler, so every scenario that configures
// it runs in a child process: this executable started again with TST_LOGGER_SCENARIO set.
namespace {

constexpr char kScenarioVariable[] = "TST_LOGGER_SCENARIO";
constexpr int kThreads = 4;
constexpr int kLinesPerThread = 2000;

const QRegularExpression kLinePrefix(
    QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} \\S+\\]\\t(debug|info|warning|critical|fatal)\\t"));

void logOneOfEach()
{
    qDebug("debug line");
    qInfo("info line");
    qWarning("warning line");
    qCritical("critical line");
    // Through the handler itself: qFatal would end the process before it could exit cleanly.
    Logger::loggerMessageOutput(QtFatalMsg, QMessageLogContext(), QStringLiteral("fatal line"));
}

int runScenario(const QString &scenario, const QString &file, const QString &level)
{
    Logger::setLogFileName(file);
    Logger::setShowFrom(level);
    Logger::init(QString());

    if (scenario == QLatin1String("levels")) {
        logOneOfEach();
    } else if (scenario == QLatin1String("content")) {
        qWarning("QSslSocket: cannot resolve SSLv2_client_method");
        qCritical("QSslSocket: cannot resolve SSLv2_server_method");
        qWarning("Note: QSslSocket: cannot resolve SSLv2_client_method");
        qInfo("%s", "Нужно выполнить запрос");
        // A text from outside (a caller number from CEL, an SQL error) that would forge an entry of its own.
        qInfo("caller 12\r\n[2026-01-02 03:04:05.678 MSK]\tcritical\tforged\x01\u2028");
        // The key of the event routes, in a handler address, percent-encoded in a URL and twice in a batch.
        const QString key = QStringLiteral("0123456789abcdef").repeated(4);
        qDebug("%s", qPrintable("{\"handler\":\"http://pbx:8077/events/external_call_start?key=" + key + "\"}"));
        qWarning("%s", qPrintable("handler=http%3A%2F%2Fpbx%2Fevents%3Fkey%3D" + key.toUpper() + "&x=1"));
        qInfo("%s", qPrintable("cmd=event.unbind%3Fhandler%3Dhttp%253A%252F%252Fpbx%253Fkey%253D" + key));
    } else if (scenario == QLatin1String("threads")) {
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back(QThread::create([t] {
                for (int i = 0; i < kLinesPerThread; ++i)
                    qInfo("thread %d line %d %s", t, i, "payload payload payload payload payload payload");
            }));
            threads.back()->start();
        }
        for (auto &thread : threads)
            thread->wait();
    } else if (scenario == QLatin1String("moved")) {
        qInfo("before move");
        if (!QFile::rename(file, file + QStringLiteral(".old")))
            return 2;
        qInfo("still in the moved file");
        Logger::reopen();
        qInfo("after reopen");
    } else if (scenario == QLatin1String("directoryGone")) {
        qInfo("before removal");
        const QString dir = QFileInfo(file).absolutePath();
        if (!QDir(dir).removeRecursively())
            return 2;
        Logger::reopen();
        qInfo("while the directory is gone");
        if (!QDir().mkpath(dir))
            return 2;
        Logger::reopen();
        qInfo("after the directory is back");
    }
    return 0;
}

} // namespace

class tst_Logger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void levelFromName_data();
    void levelFromName();
    void emptySettersSelectDefaults();
    void levelFiltering_data();
    void levelFiltering();
    void lineContent();
    void fileMode_data();
    void fileMode();
    void concurrentLinesStayWhole();
    void reopenAfterMove();
    void reopenWithDirectoryGone();

private:
    // Runs a scenario in a child process and returns the lines of the log file it wrote.
    QStringList runChild(const QString &scenario, const QString &level, const QString &file);

    QTemporaryDir m_dir;
};

QStringList tst_Logger::runChild(const QString &scenario, const QString &level, const QString &file)
{
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QString::fromLatin1(kScenarioVariable), scenario);
    env.insert(QStringLiteral("TST_LOGGER_FILE"), file);
    env.insert(QStringLiteral("TST_LOGGER_LEVEL"), level);
    env.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), QStringList());
    // A generous guard against a hanging child, not a speed requirement.
    if (!child.waitForFinished(120000)) {
        child.kill();
        child.waitForFinished();
        qWarning("child scenario %s did not finish", qPrintable(scenario));
        return {QStringLiteral("<hung>")};
    }
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        return {QStringLiteral("<exit %1>").arg(child.exitCode())};
    QFile log(file);
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

void tst_Logger::levelFromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("expected");
    QTest::newRow("debug") << "debug" << int(QtDebugMsg);
    QTest::newRow("info") << "info" << int(QtInfoMsg);
    QTest::newRow("Warning") << "Warning" << int(QtWarningMsg);
    QTest::newRow("CRITICAL") << "CRITICAL" << int(QtCriticalMsg);
    QTest::newRow("fatal") << "fatal" << int(QtFatalMsg);
    QTest::newRow("unknown") << "verbose" << int(QtWarningMsg);
    QTest::newRow("padded") << " debug" << int(QtWarningMsg);
}

void tst_Logger::levelFromName()
{
    QFETCH(QString, name);
    QFETCH(int, expected);
    QCOMPARE(int(Logger::levelFromName(name)), expected);
}

void tst_Logger::emptySettersSelectDefaults()
{
    // Only the stored name is touched; the handler is never installed in this process.
    Logger::setLogFileName(QString());
    QCOMPARE(Logger::getLogFileName(), QStringLiteral("/var/log/calvena.log"));
    Logger::setLogFileName(QStringLiteral("relative.log"));
    QCOMPARE(Logger::getLogFileName(), QStringLiteral("relative.log"));
}

void tst_Logger::levelFiltering_data()
{
    QTest::addColumn<QString>("level");
    QTest::addColumn<QStringList>("expected");
    const QStringList fromWarning{"warning", "critical", "fatal"};
    QTest::newRow("Warning") << "Warning" << fromWarning;
    QTest::newRow("unknown name") << "verbose" << fromWarning;
    QTest::newRow("empty name") << QString() << QStringList{"fatal"};
    QTest::newRow("debug") << "debug" << QStringList{"debug", "info", "warning", "critical", "fatal"};
    QTest::newRow("info") << "info" << QStringList{"info", "warning", "critical", "fatal"};
}

void tst_Logger::levelFiltering()
{
    QFETCH(QString, level);
    QFETCH(QStringList, expected);
    const QString file = m_dir.filePath(QStringLiteral("levels-%1.log").arg(QTest::currentDataTag()));
    const QStringList lines = runChild(QStringLiteral("levels"), level, file);
    QStringList types;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = kLinePrefix.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        QCOMPARE(line.mid(match.capturedEnd()), match.captured(1) + QStringLiteral(" line"));
        types << match.captured(1);
    }
    QCOMPARE(types, expected);
}

void tst_Logger::lineContent()
{
    const QString file = m_dir.filePath(QStringLiteral("content.log"));
    const QStringList lines = runChild(QStringLiteral("content"), QStringLiteral("debug"), file);
    QCOMPARE(lines.size(), 6); // one line per message
    QVERIFY(kLinePrefix.match(lines.at(0)).hasMatch());
    QVERIFY(lines.at(0).endsWith(QStringLiteral("\twarning\tNote: QSslSocket: cannot resolve SSLv2_client_method")));
    QVERIFY2(lines.at(1).endsWith(QStringLiteral("\tinfo\tНужно выполнить запрос")), qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).endsWith(
                 QStringLiteral("\tinfo\tcaller 12\\r\\n[2026-01-02 03:04:05.678 MSK]\tcritical\tforged\\x01\\x2028")),
             qPrintable(lines.at(2)));
    // No line holds the event key: its first four characters at most.
    QVERIFY2(lines.at(3).endsWith(QStringLiteral("external_call_start?key=0123\u2026\"}")), qPrintable(lines.at(3)));
    QVERIFY2(lines.at(4).endsWith(QStringLiteral("%3Fkey%3D0123\u2026&x=1")), qPrintable(lines.at(4)));
    QVERIFY2(lines.at(5).endsWith(QStringLiteral("%253Fkey%253D0123\u2026")), qPrintable(lines.at(5)));
}

void tst_Logger::fileMode_data()
{
    QTest::addColumn<int>("before"); // mode of the file before the start; 0: no file
    QTest::addColumn<bool>("empty"); // else the file holds a line of an older log
    QTest::addColumn<int>("after");  // with the usual umask 022
    QTest::addColumn<int>("link");   // 1: the path is a link to the file, 2: a second name, 3: its folder a link
    // The log holds call data and, from older versions, the key of the event routes.
    QTest::newRow("new file: owner and group") << 0 << false << 0640 << 0;
    QTest::newRow("older file readable by all: the others lose it") << 0644 << false << 0640 << 0;
    QTest::newRow("a narrower mode is kept") << 0600 << false << 0600 << 0;
    // Made anew by a rotation as the administrator set it up; it may as well be another program's file.
    QTest::newRow("an empty file keeps its mode") << 0644 << true << 0644 << 0;
    // Not taken: the log goes to the standard error output, the file is left as it was.
    QTest::newRow("a link is not followed") << 0600 << false << 0600 << 1;
    QTest::newRow("an empty file with a second name is not taken") << 0644 << true << 0644 << 2;
    // Saved resolved: a folder that is a link now was re-pointed since, perhaps to where a root shell reads.
    QTest::newRow("a folder reached through a link is not opened") << 0 << false << 0 << 3;
}

void tst_Logger::fileMode()
{
    QFETCH(int, before);
    QFETCH(bool, empty);
    QFETCH(int, after);
    QFETCH(int, link);
    const QString file = m_dir.filePath(QStringLiteral("%4mode-%1-%2-%3.log").arg(before).arg(empty).arg(link)
                                            .arg(link == 3 ? "folder-link/" : ""));
    QVERIFY(link != 3
            || (QDir().mkpath(m_dir.filePath("elsewhere"))
                && QFile::link(m_dir.filePath("elsewhere"), m_dir.filePath("folder-link"))));
    const QByteArray older = empty ? QByteArray() : QByteArray("[2024-05-31 09:00:00.000 UTC]\tinfo\tolder\n");
    QFile existing(link == 1 ? file + QStringLiteral(".target") : file);
    QVERIFY(before == 0
            || (existing.open(QIODevice::WriteOnly) && existing.write(older) == older.size() && existing.flush()
                && ::chmod(qPrintable(existing.fileName()), mode_t(before)) == 0));
    existing.close();
    QVERIFY(link == 0 || link == 3
            || (link == 1 ? existing.link(file) : ::link(qPrintable(file), qPrintable(file + ".2")) == 0));
    const mode_t mask = ::umask(022);
    QCOMPARE(runChild(QStringLiteral("levels"), QStringLiteral("fatal"), file).size(),
             (before == 0 || empty ? 1 : 2) - (link != 0 ? 1 : 0));
    ::umask(mask);
    struct stat status;
    QCOMPARE(::stat(qPrintable(file), &status) == 0, link != 3);
    if (link == 3)
        return;
    QCOMPARE(int(status.st_mode & 0777), after);
}

void tst_Logger::concurrentLinesStayWhole()
{
    const QString file = m_dir.filePath(QStringLiteral("threads.log"));
    const QStringList lines = runChild(QStringLiteral("threads"), QStringLiteral("debug"), file);
    QCOMPARE(lines.size(), kThreads * kLinesPerThread);
    const QRegularExpression whole(kLinePrefix.pattern()
                                   + QStringLiteral("thread (\\d) line (\\d+) payload payload payload payload "
                                                    "payload payload$"));
    QVector<int> nextLine(kThreads, 0);
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = whole.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int thread = match.captured(2).toInt();
        // Each thread's lines arrive whole and in its own order.
        QCOMPARE(match.captured(3).toInt(), nextLine[thread]);
        ++nextLine[thread];
    }
}

void tst_Logger::reopenAfterMove()
{
    const QString file = m_dir.filePath(QStringLiteral("moved.log"));
    const QStringList lines = runChild(QStringLiteral("moved"), QStringLiteral("info"), file);
    QCOMPARE(lines.size(), 1);
    QVERIFY(lines.at(0).endsWith(QStringLiteral("\tinfo\tafter reopen")));

    QFile old(file + QStringLiteral(".old"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    const QString oldText = QString::fromUtf8(old.readAll());
    QVERIFY(oldText.contains(QStringLiteral("\tinfo\tbefore move\n")));
    QVERIFY(oldText.contains(QStringLiteral("\tinfo\tstill in the moved file\n")));
    QVERIFY(!oldText.contains(QStringLiteral("after reopen")));
}

void tst_Logger::reopenWithDirectoryGone()
{
    const QString file = m_dir.filePath(QStringLiteral("gone/service.log"));
    QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("gone"))));
    // The child fails the case if reopen blocks for ever or writing to the closed level crashes.
    const QStringList lines = runChild(QStringLiteral("directoryGone"), QStringLiteral("info"), file);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines.at(0).endsWith(QStringLiteral("\tinfo\tafter the directory is back")), qPrintable(lines.at(0)));
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString scenario = qEnvironmentVariable(kScenarioVariable);
    if (!scenario.isEmpty()) {
        return runScenario(scenario, qEnvironmentVariable("TST_LOGGER_FILE"),
                           qEnvironmentVariable("TST_LOGGER_LEVEL"));
    }
    tst_Logger test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_logger.moc"
