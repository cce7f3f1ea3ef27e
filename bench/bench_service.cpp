// The whole service under load, as an administrator runs it: the executable given, with a configuration of its
// own, against a private MariaDB server holding the CEL and CDR tables, the tests' stand-in AMI and their stand-in
// portal. By default the portal refuses every telephony method, so that, as with no portal at all, nothing of the
// calls reaches the CRM while the links stay up (without any portal they stop at their first request); with
// --answering it takes the calls, at once. The CRM requests go every 5 ms (Bitrix.execution_loop_interval_msec),
// so that the CRM work keeps up with the calls. It
//  - loads the calls that are up (their CEL rows written before the start and read at it),
//  - writes CEL rows of new calls at a steady rate and prints the service's share of a core and the megabytes it
//    wrote a second (from /proc/<pid>/stat and io), how many rows it was behind at the end and how long it took
//    to catch up after it,
//  - stops it, writes a burst of old CEL rows (calls of ten minutes before) and starts it again: how long it took
//    from the first to the last of them, against the fixed cadence of 1,000 rows a second.
// Lines starting "figure" are for bench/serviceload.sh.
//
//   bench_service --binary <calvena> [--calls 10000] [--rate 1000] [--seconds 20] [--burst 20000] [--interval 5]
//                 [--answering]

#include "crm/bitrix/constants.h"
#include "pbx/asterisk/tst_api_support.h"
#include "support/fakeamiserver.h"
#include "support/fakecrmserver.h"
#include "support/mariadbserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <unistd.h>

using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::MariaDbServer;
using Orvix::Tests::MariaDbSettings;

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
// The recorded call whose rows every generated call repeats, and the rows of it up to its answer.
const QString kRecordedCall = QStringLiteral("1796630253");
constexpr int kRowsUpToAnswer = 7;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

// The service's state directory beside its executable, removed however the run ends.
QString g_generated;

[[noreturn]] void fail(const QString &why)
{
    out() << "bench_service: " << why << Qt::endl;
    if (!g_generated.isEmpty())
        QDir(g_generated).removeRecursively();
    std::exit(1);
}

// The CPU time (ms) the process has used and the bytes it has had written to storage.
struct Usage
{
    qint64 cpuMs = 0;
    qint64 writtenBytes = 0;
};

Usage usageOf(qint64 pid)
{
    Usage usage;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        // After the command name in parentheses: state, then utime and stime as the 12th and 13th fields.
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        const qint64 ticks = fields.value(11).toLongLong() + fields.value(12).toLongLong();
        usage.cpuMs = ticks * 1000 / sysconf(_SC_CLK_TCK);
    }
    QFile io(QStringLiteral("/proc/%1/io").arg(pid));
    if (io.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : io.readAll().split('\n')) {
            if (line.startsWith("write_bytes:"))
                usage.writtenBytes = line.mid(12).trimmed().toLongLong();
        }
    }
    return usage;
}

// Waits in the event loop, which serves the stand-in AMI and portal meanwhile, until `done` or `timeoutMs`.
template<typename Done>
bool waitFor(Done done, qint64 timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return true;
}

// Call `n` of a series ("18": the calls up, "19": the stream, "17": the burst), as the PBX writes it: the
// recorded rows from `firstId` on, with unique ids of its own, all stamped `at`.
QList<QJsonObject> callRows(const QList<QJsonObject> &recorded, const QString &series, int n, qint64 firstId,
                            const QDateTime &at)
{
    const QString id = series + QStringLiteral("%1").arg(n, 8, 10, QLatin1Char('0'));
    QList<QJsonObject> rows;
    for (QJsonObject row : recorded) {
        row.insert(QStringLiteral("id"), double(firstId + rows.size()));
        row.insert(QStringLiteral("eventtime"), at.toString(kTimeFormat));
        for (const char *key : {"uniqueid", "linkedid"})
            row.insert(QLatin1String(key), row.value(QLatin1String(key)).toString().replace(kRecordedCall, id));
        rows.append(row);
    }
    return rows;
}

QString callId(const QString &series, int n)
{
    return series + QStringLiteral("%1.0").arg(n, 8, 10, QLatin1Char('0'));
}

// Follows the service's log as it grows: the time of each call's end, by call id.
class LogWatch
{
public:
    explicit LogWatch(QString path)
        : m_path(std::move(path))
    {
    }

    void read()
    {
        QFile file(m_path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(m_offset))
            return;
        const QByteArray bytes = file.readAll();
        const int end = bytes.lastIndexOf('\n') + 1;
        m_offset += end;
        static const QRegularExpression trace(QStringLiteral("^\\[(\\S+ \\S+) \\S+\\]\\tinfo\\t\\[([0-9.]+)\\]\\t"
                                                             "(Call started|Call ended|Conversation accepted)\\t\\t"
                                                             "(Start|Completed|Not completed)\\t"));
        for (const QByteArray &line : bytes.left(end).split('\n')) {
            const QRegularExpressionMatch match = trace.match(QString::fromUtf8(line));
            if (!match.hasMatch())
                continue;
            const QDateTime at = QDateTime::fromString(match.captured(1), QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"));
            const QString task = match.captured(3);
            if (match.captured(4) != QLatin1String("Start"))
                m_done.insert(match.captured(2), at);
            else if (task != QLatin1String("Conversation accepted"))
                (task == QLatin1String("Call started") ? m_started : m_ended).insert(match.captured(2), at);
        }
    }
    // The CRM work of the call's answer is done (its task has ended, one way or the other).
    bool answerDone(const QString &call) const { return m_done.contains(call); }
    QDateTime startedAt(const QString &call) const { return m_started.value(call); }
    QDateTime endedAt(const QString &call) const { return m_ended.value(call); }
    bool hasEnded(const QString &call) const { return m_ended.contains(call); }

private:
    QString m_path;
    qint64 m_offset = 0;
    QHash<QString, QDateTime> m_started;
    QHash<QString, QDateTime> m_ended;
    QHash<QString, QDateTime> m_done;
};

class Service
{
public:
    Service(const QString &binary, const QString &configPath, const QString &portalTokenUrl)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QString::fromLatin1(Orvix::CRM::Bitrix::kTokenUrlVariable), portalTokenUrl);
        environment.insert(QStringLiteral("CALVENA_ASTERISK_CONFIG_ROOT"), QFileInfo(configPath).absolutePath());
        m_process.setProcessEnvironment(environment);
        m_process.setProgram(binary);
        m_process.setArguments({QStringLiteral("--configname"), configPath});
        m_process.setWorkingDirectory(QFileInfo(configPath).absolutePath());
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
    }
    ~Service() { stop(); }

    void start()
    {
        m_process.start();
        if (!m_process.waitForStarted())
            fail(QStringLiteral("cannot start %1").arg(m_process.program()));
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!waitFor([this] { return m_process.state() == QProcess::NotRunning; }, 30000))
            m_process.kill();
        m_process.waitForFinished();
    }
    qint64 pid() const { return m_process.processId(); }

private:
    QProcess m_process;
};

// Rows into the CEL table, many a statement, as a busy PBX's ODBC writes them.
void insertRows(QSqlDatabase &db, const QList<QJsonObject> &rows)
{
    constexpr int kPerStatement = 500;
    for (int first = 0; first < rows.size(); first += kPerStatement) {
        const QList<QJsonObject> part = rows.mid(first, kPerStatement);
        const QStringList columns = part.first().keys();
        const QString marks = QStringLiteral("(?") + QStringLiteral(",?").repeated(columns.size() - 1) + ')';
        QSqlQuery query(db);
        query.prepare(QStringLiteral("insert into cel (`%1`) values %2%3")
                          .arg(columns.join(QStringLiteral("`, `")), marks,
                               (QLatin1Char(',') + marks).repeated(part.size() - 1)));
        for (const QJsonObject &row : part) {
            for (const QString &column : columns)
                query.addBindValue(row.value(column).toVariant());
        }
        if (!query.exec())
            fail(QStringLiteral("insert: ") + query.lastError().text());
    }
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"binary", "The service's executable.", "path"},
                       {"calls", "Calls up when the stream begins.", "count", "10000"},
                       {"rate", "CEL rows a second of the stream.", "rows", "1000"},
                       {"seconds", "Length of the stream.", "seconds", "20"},
                       {"burst", "Old CEL rows read at a start.", "rows", "20000"},
                       {"interval", "Bitrix.execution_loop_interval_msec.", "msec", "5"},
                       {"answering", "A portal that takes the calls, instead of one that refuses every "
                                     "telephony method."}});
    parser.process(app);
    const QString binary = QFileInfo(parser.value("binary")).absoluteFilePath();
    if (!QFileInfo(binary).isExecutable())
        fail(QStringLiteral("--binary names no executable"));
    const int calls = parser.value("calls").toInt();
    const int rate = parser.value("rate").toInt();
    const int seconds = parser.value("seconds").toInt();
    const int burst = parser.value("burst").toInt();

    MariaDbServer server;
    if (!server.start())
        fail(QStringLiteral("cannot start MariaDB: ") + server.errorString());
    const MariaDbSettings database = server.settings();
    ApiTest::Database schema(database);
    if (!schema.createSchema())
        fail(QStringLiteral("schema: ") + schema.error());
    QSqlDatabase db = database.addConnection(QStringLiteral("bench_service"));
    if (!db.open())
        fail(QStringLiteral("cannot open the database: ") + db.lastError().text());
    FakeAmiServer ami;
    if (!ami.listen())
        fail(QStringLiteral("the stand-in AMI does not listen"));

    // The state goes beside the executable: a postfix of this run's own keeps it apart, and it goes with the run.
    const QString postfix = QStringLiteral("_bench_service_%1").arg(QCoreApplication::applicationPid());
    const QString generated = QFileInfo(binary).absolutePath() + QStringLiteral("/generated") + postfix;
    g_generated = generated;
    QDir(generated).removeRecursively();
    QDir().mkpath(generated);
    FakeCrmServer portal;
    portal.addAccessToken(QStringLiteral("seeded-access"));
    portal.setPrompt(true);
    int crmCalls = 0;
    if (parser.isSet("answering")) {
        portal.setRestHandler("telephony.externalcall.register", [&crmCalls](const QJsonObject &) {
            return FakeCrmReply::result(QJsonObject{{"CALL_ID", QStringLiteral("externalCall.%1").arg(++crmCalls)}});
        });
        for (const char *method : {"telephony.externalcall.show", "telephony.externalcall.hide",
                                   "telephony.externalcall.finish"})
            portal.setRestHandler(method, [](const QJsonObject &) { return FakeCrmReply::result(true); });
    }
    for (const char *method : {"telephony.externalLine.get", "event.get", "user.get", "crm.duplicate.findbycomm"})
        portal.setRestHandler(method, [](const QJsonObject &) { return FakeCrmReply::result(QJsonArray()); });
    portal.setRestHandler("event.bind", [](const QJsonObject &) { return FakeCrmReply::result(true); });
    // The portal keeps nothing of what it was sent.
    QObject::connect(&portal, &FakeCrmServer::requestReceived, &portal, [&portal] { portal.clearRequests(); });
    QFile token(generated + QStringLiteral("/token.json"));
    if (!token.open(QIODevice::WriteOnly))
        fail(QStringLiteral("cannot write ") + token.fileName());
    token.write(R"({"access_token": "seeded-access", "refresh_token": "seeded-refresh"})");
    token.close();

    QTemporaryDir dir;
    const QString logPath = dir.filePath(QStringLiteral("calvena.log"));
    QDir().mkpath(dir.filePath(QStringLiteral("recordings")));
    const QJsonObject config{
        {"App", QJsonObject{{"log_file", logPath},
                            {"generated_postfix", postfix},
                            {"history_start_date", "2000-01-01 00:00:00"},
                            {"trunk_to_source", QJsonObject{{"74950000000", "CALL"}}}}},
        {"Bitrix", QJsonObject{{"host", portal.baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                               {"user_id", 1}, {"execution_loop_interval_msec", parser.value("interval").toInt()}}},
        {"WebServer", QJsonObject{{"listen_host", "127.0.0.1"}, {"listen_port", int(freePort())},
                                  {"use_http", true}, {"user", "operator"}, {"password", "Pa55-word"}}},
        {"Asterisk", QJsonObject{{"host", ami.host()}, {"port", int(ami.port())}, {"user", "crm"},
                                 {"password", "crmsecret"}, {"recordings_dir", dir.filePath("recordings")}}},
        {"Database", QJsonObject{{"host", database.host}, {"port", database.port}, {"user", database.user},
                                 {"password", database.password}, {"database", database.database}}},
    };
    const QString configPath = dir.filePath(QStringLiteral("config.json"));
    QFile configFile(configPath);
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(QJsonDocument(config).toJson()) <= 0)
        fail(QStringLiteral("cannot write ") + configPath);
    configFile.close();

    const QList<QJsonObject> recorded = ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl"));
    const QList<QJsonObject> upToAnswer = recorded.mid(0, kRowsUpToAnswer);
    if (recorded.size() <= kRowsUpToAnswer)
        fail(QStringLiteral("the recorded call is missing"));
    LogWatch log(logPath);
    qint64 nextId = 1;
    const auto insert = [&db](const QList<QJsonObject> &rows) { insertRows(db, rows); };

    // ---- the calls up, read at the start -------------------------------------------------------------------
    QList<FakeAmiServer::LiveChannel> channels;
    QList<QJsonObject> rows;
    const QDateTime upSince = QDateTime::currentDateTime().addSecs(-60);
    for (int n = 0; n < calls; ++n) {
        rows += callRows(upToAnswer, QStringLiteral("18"), n, nextId, upSince);
        nextId += upToAnswer.size();
        const QString id = callId(QStringLiteral("18"), n);
        channels.append({QStringLiteral("SIP/trunk-%1").arg(n, 8, 16, QLatin1Char('0')), id, id, "79161234567"});
        channels.append({QStringLiteral("SIP/101-%1").arg(n, 8, 16, QLatin1Char('0')), id.chopped(1) + '1', id, "101"});
        if (rows.size() >= 5000) {
            insert(rows);
            rows.clear();
        }
    }
    insert(rows);
    ami.setChannels(channels);
    Service service(binary, configPath, portal.tokenUrl().toString());
    service.start();
    const QString lastUp = callId(QStringLiteral("18"), calls - 1);
    if (!waitFor([&] { log.read(); return log.startedAt(lastUp).isValid(); }, 600000))
        fail(QStringLiteral("the calls up were not all read"));
    const double loaded = log.startedAt(callId(QStringLiteral("18"), 0)).msecsTo(log.startedAt(lastUp)) / 1000.0;
    // Their CRM work done as well: what the CRM side keeps of each call is there before the stream.
    QElapsedTimer crmWork;
    crmWork.start();
    if (!waitFor([&] { log.read(); return log.answerDone(lastUp); }, 3600000))
        fail(QStringLiteral("the CRM work of the calls up was not done"));
    out() << QStringLiteral("%1 calls up (%2 rows) read in %3 s, their CRM work done %4 s later\n")
                 .arg(calls)
                 .arg(calls * kRowsUpToAnswer)
                 .arg(loaded)
                 .arg(crmWork.elapsed() / 1000.0, 0, 'f', 1)
          << Qt::flush;

    // ---- the steady stream ----------------------------------------------------------------------------------
    // Whole calls, a tick's rows at a time, each call's rows stamped when they are written.
    const int perTick = qMax(1, rate / 10);
    const qint64 streamFirstId = nextId;
    QList<QJsonObject> pending;
    int streamed = 0;
    const Usage before = usageOf(service.pid());
    QElapsedTimer wall;
    wall.start();
    for (int tick = 1; tick <= seconds * 10; ++tick) {
        while (pending.size() < perTick)
            pending += callRows(recorded, QStringLiteral("19"), streamed++, nextId + pending.size(),
                                QDateTime::currentDateTime());
        insert(pending.mid(0, perTick));
        nextId += perTick;
        pending = pending.mid(perTick);
        waitFor([&wall, tick] { return wall.elapsed() >= tick * 100; }, 1000);
    }
    const Usage after = usageOf(service.pid());
    const double elapsed = wall.elapsed() / 1000.0;
    const QDateTime streamEnd = QDateTime::currentDateTime();
    // Whole calls only: the one whose rows were cut at the end was not written whole.
    const int complete = int((nextId - streamFirstId) / recorded.size());
    const auto endedUpTo = [&] {
        log.read();
        int last = -1;
        while (last + 1 < complete && log.hasEnded(callId(QStringLiteral("19"), last + 1)))
            ++last;
        return last;
    };
    // Read at the poll's pace: the rows of the last few polls are not behind yet.
    waitFor([&streamEnd] { return streamEnd.msecsTo(QDateTime::currentDateTime()) >= 500; }, 1000);
    const qint64 lastRow = streamFirstId + qint64(complete) * recorded.size() - 1;
    const qint64 behind = lastRow - (streamFirstId + qint64(endedUpTo() + 1) * recorded.size() - 1);
    const QString lastStreamed = callId(QStringLiteral("19"), complete - 1);
    if (!waitFor([&] { return endedUpTo() == complete - 1; }, 600000))
        fail(QStringLiteral("the stream was not all read"));
    const double caughtUp = qMax<qint64>(0, streamEnd.msecsTo(log.endedAt(lastStreamed))) / 1000.0;
    const double cpu = (after.cpuMs - before.cpuMs) / 10.0 / elapsed;
    const double written = (after.writtenBytes - before.writtenBytes) / 1e6 / elapsed;
    out() << QStringLiteral("stream of %1 rows a second for %2 s (%3 calls): CPU %4 % of a core, written %5 MB/s, "
                            "%6 rows behind 0.5 s after its end, caught up %7 s after it\n")
                 .arg(rate)
                 .arg(elapsed, 0, 'f', 1)
                 .arg(complete)
                 .arg(cpu, 0, 'f', 1)
                 .arg(written, 0, 'f', 2)
                 .arg(behind)
                 .arg(caughtUp, 0, 'f', 1)
          << Qt::flush;

    // ---- a burst of old rows read at a start ----------------------------------------------------------------
    service.stop();
    rows.clear();
    const int burstCalls = qMax(1, burst / int(recorded.size()));
    const QDateTime old = QDateTime::currentDateTime().addSecs(-600);
    for (int n = 0; n < burstCalls; ++n) {
        rows += callRows(recorded, QStringLiteral("17"), n, nextId, old);
        nextId += recorded.size();
        if (rows.size() >= 5000) {
            insert(rows);
            rows.clear();
        }
    }
    insert(rows);
    service.start();
    const QString firstOld = callId(QStringLiteral("17"), 0);
    const QString lastOld = callId(QStringLiteral("17"), burstCalls - 1);
    if (!waitFor([&] { log.read(); return log.hasEnded(lastOld); }, 600000))
        fail(QStringLiteral("the burst was not all read"));
    const double drained = log.startedAt(firstOld).msecsTo(log.endedAt(lastOld)) / 1000.0;
    const int burstRows = burstCalls * int(recorded.size());
    out() << QStringLiteral("burst of %1 old rows read at a start: drained in %2 s, x%3 the fixed cadence of 1,000 "
                            "rows a second\n")
                 .arg(burstRows)
                 .arg(drained, 0, 'f', 2)
                 .arg(burstRows / 1000.0 / qMax(0.001, drained), 0, 'f', 1);
    out() << QStringLiteral("figure cpu %1\nfigure written %2\nfigure behind %3\nfigure drain %4\n")
                 .arg(cpu, 0, 'f', 1)
                 .arg(written, 0, 'f', 2)
                 .arg(behind)
                 .arg(drained, 0, 'f', 2);
    service.stop();
    QDir(generated).removeRecursively();
    return 0;
}
