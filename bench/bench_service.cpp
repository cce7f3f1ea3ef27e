// The whole service under load, as an administrator runs it: the executable given, with a configuration of its
// own, against a private MariaDB server holding the CEL and CDR tables, the tests' stand-in AMI and their stand-in
// portal. The portal takes the calls as the real one does: a register answered with a CALL_ID, a finish with the
// activity it made, the cards shown and hidden, a recording attached; every --slow-every'th of these writes is
// answered --slow-msec late, so that requests wait for their answer's head past 100 ms as on a busy portal. A front
// end of --clients idle connections to the service's web server holds their descriptors meanwhile. The CRM requests
// go every 5 ms (Bitrix.execution_loop_interval_msec), so that the CRM work keeps up with the calls. It
//  - loads the calls that are up (their CEL rows written before the start and read at it),
//  - writes CEL rows of new calls at a steady rate and prints the service's share of a core and the megabytes it
//    wrote a second (from /proc/<pid>/stat and io), how many rows it was behind at the end and how long it took
//    to catch up after it,
//  - writes a burst of new calls as fast as a client can while the service runs (a PBX's backlog after an
//    outage: recorded calls of four kinds, some with a transfer, each with its CDR row and recording): how long
//    it took from the first row written until the service's saved position reached the last, and until the CRM
//    work of its calls was done.
// Lines starting "figure" are for bench/serviceload.sh.
//
//   bench_service --binary <calvena> [--calls 10000] [--rate 1000] [--seconds 20] [--burst 20000] [--interval 5]
//                 [--slow-every 10] [--slow-msec 450] [--clients 2000]

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
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

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

// One recorded call: its CEL rows and its CDR rows.
struct RecordedCall
{
    QList<QJsonObject> cel;
    QList<QJsonObject> cdr;
};

RecordedCall readCall(const QString &name)
{
    RecordedCall call{ApiTest::readRows(QStringLiteral("cel-%1.jsonl").arg(name)),
                      ApiTest::readRows(QStringLiteral("cdr-%1.jsonl").arg(name))};
    if (call.cel.isEmpty() || call.cdr.isEmpty())
        fail(QStringLiteral("the recorded call %1 is missing").arg(name));
    return call;
}

// Each match of `pattern` in `text` replaced by what `by` makes of it.
QString replaced(const QString &text, const QRegularExpression &pattern,
                 const std::function<QString(const QString &)> &by)
{
    QString result;
    int last = 0;
    for (QRegularExpressionMatchIterator it = pattern.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        result += text.midRef(last, match.capturedStart() - last) + by(match.captured());
        last = match.capturedEnd();
    }
    return result + text.midRef(last);
}

// The recorded call as call `n` of a series: its unique ids ("<epoch>.<sequence>"), channels ("SIP/101-0000001a")
// and bridges named anew (its linkedid becomes callId(series, n)), its CEL rows numbered from `firstId`, its times
// moved so that its last row is at `end`, and its CDR rows pointing at the recording file given.
RecordedCall renamed(const RecordedCall &recorded, const QString &series, int n, qint64 firstId, const QDateTime &end,
                     const QString &recording)
{
    static const QRegularExpression uniqueId(QStringLiteral("(?<![0-9])1[0-9]{9}\\.[0-9]+"));
    static const QRegularExpression channel(QStringLiteral("(?<=/)[0-9A-Za-z_]+-[0-9a-f]{8}(?![0-9a-f])"));
    static const QRegularExpression bridge(QStringLiteral("(?<![0-9a-f-])[0-9a-f]{8}(?=-[0-9a-f]{4}-[0-9a-f]{4}-)"));
    QHash<QString, QString> ids{{recorded.cel.first().value(QStringLiteral("linkedid")).toString(), callId(series, n)}};
    QHash<QString, QString> names;
    // Eight hex digits of this call's own: the series, then the call and the name's place in it.
    const auto hex = [&series, n](int place) {
        return QStringLiteral("%1").arg((series.toUInt() << 24) | ((quint32(n) * 16 + quint32(place)) & 0xFFFFFF), 8,
                                        16, QLatin1Char('0'));
    };
    const auto rename = [&](const QJsonObject &row) {
        QString text = QString::fromUtf8(QJsonDocument(row).toJson(QJsonDocument::Compact));
        text = replaced(text, uniqueId, [&](const QString &id) {
            if (!ids.contains(id))
                ids.insert(id, series + QStringLiteral("%1.%2").arg(n, 8, 10, QLatin1Char('0')).arg(ids.size()));
            return ids.value(id);
        });
        text = replaced(text, channel, [&](const QString &name) {
            if (!names.contains(name))
                names.insert(name, name.chopped(8) + hex(names.size()));
            return names.value(name);
        });
        text = replaced(text, bridge, [&](const QString &part) {
            if (!names.contains(part))
                names.insert(part, hex(names.size()));
            return names.value(part);
        });
        return QJsonDocument::fromJson(text.toUtf8()).object();
    };
    const auto timeOf = [](const QJsonObject &row, const char *key) {
        return QDateTime::fromString(row.value(QLatin1String(key)).toString(), kTimeFormat);
    };
    const qint64 shift = timeOf(recorded.cel.last(), "eventtime").secsTo(end);
    RecordedCall call;
    for (const QJsonObject &row : recorded.cel) {
        QJsonObject moved = rename(row);
        moved.insert(QStringLiteral("id"), double(firstId + call.cel.size()));
        moved.insert(QStringLiteral("eventtime"), timeOf(row, "eventtime").addSecs(shift).toString(kTimeFormat));
        call.cel.append(moved);
    }
    for (const QJsonObject &row : recorded.cdr) {
        QJsonObject moved = rename(row);
        moved.insert(QStringLiteral("calldate"), timeOf(row, "calldate").addSecs(shift).toString(kTimeFormat));
        moved.insert(QStringLiteral("recordingfile"), recording);
        call.cdr.append(moved);
    }
    return call;
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
            if (match.captured(4) != QLatin1String("Start")) {
                m_done.insert(match.captured(2), at);
                if (task == QLatin1String("Call ended"))
                    m_endDone.insert(match.captured(2), at);
            }
            else if (task != QLatin1String("Conversation accepted"))
                (task == QLatin1String("Call started") ? m_started : m_ended).insert(match.captured(2), at);
        }
    }
    // The CRM work of the call's answer is done (its task has ended, one way or the other).
    bool answerDone(const QString &call) const { return m_done.contains(call); }
    QDateTime startedAt(const QString &call) const { return m_started.value(call); }
    QDateTime endedAt(const QString &call) const { return m_ended.value(call); }
    bool hasEnded(const QString &call) const { return m_ended.contains(call); }
    // The CRM work of the call's end is done, and when.
    QDateTime endDoneAt(const QString &call) const { return m_endDone.value(call); }

private:
    QString m_path;
    qint64 m_offset = 0;
    QHash<QString, QDateTime> m_started;
    QHash<QString, QDateTime> m_ended;
    QHash<QString, QDateTime> m_done;
    QHash<QString, QDateTime> m_endDone;
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

// Rows into the CEL (or CDR) table, many a statement, as a busy PBX's ODBC writes them.
void insertRows(QSqlDatabase &db, const QList<QJsonObject> &rows, const QString &table = QStringLiteral("cel"))
{
    constexpr int kPerStatement = 500;
    for (int first = 0; first < rows.size(); first += kPerStatement) {
        const QList<QJsonObject> part = rows.mid(first, kPerStatement);
        const QStringList columns = part.first().keys();
        const QString marks = QStringLiteral("(?") + QStringLiteral(",?").repeated(columns.size() - 1) + ')';
        QSqlQuery query(db);
        query.prepare(QStringLiteral("insert into %1 (`%2`) values %3%4")
                          .arg(table, columns.join(QStringLiteral("`, `")), marks,
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

// The CEL position the service saved (state.json's "previous_event_id"); -1 before it saved one.
qint64 savedPosition(const QString &generated)
{
    QFile file(generated + QStringLiteral("/state.json"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return qint64(QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("previous_event_id")).toDouble(-1));
}

int openDescriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}

// Idle connections to the service's web server, as a front end full of clients holds them open: each loopback
// address of its own holds fewer than the 32 the server lets one client address hold.
class FrontEnd
{
public:
    // Opens `count` connections afresh (the server closes the ones idle for a minute), a few at a time as clients
    // come, each taken by the service before the next; the descriptors the service holds then.
    int open(quint16 port, int count, qint64 pid)
    {
        // The earlier ones closed first, and the new ones from addresses of their own: the server's count of them
        // is not theirs.
        if (!m_sockets.empty()) {
            m_sockets.clear();
            waitFor([] { return false; }, 1000);
        }
        const int base = openDescriptors(pid);
        for (int i = 0; i < count; ++i, ++m_opened) {
            auto socket = std::make_unique<QTcpSocket>();
            socket->bind(QHostAddress(quint32(0x7F010001) + quint32(m_opened / kPerAddress)));
            socket->connectToHost(QHostAddress::LocalHost, port);
            m_sockets.push_back(std::move(socket));
            if ((i + 1) % kPerAddress == 0 || i + 1 == count)
                waitFor([&] { return openDescriptors(pid) >= base + i + 1; }, 3000);
        }
        return openDescriptors(pid);
    }

private:
    static constexpr int kPerAddress = 30;
    std::vector<std::unique_ptr<QTcpSocket>> m_sockets;
    int m_opened = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{"binary", "The service's executable.", "path"},
                       {"calls", "Calls up when the stream begins.", "count", "10000"},
                       {"rate", "CEL rows a second of the stream.", "rows", "1000"},
                       {"seconds", "Length of the stream.", "seconds", "20"},
                       {"burst", "CEL rows of new calls written at once while the service runs.", "rows", "20000"},
                       {"interval", "Bitrix.execution_loop_interval_msec.", "msec", "5"},
                       {"slow-every", "Every so many CRM writes one answered late (0: none).", "count", "10"},
                       {"slow-msec", "How late.", "msec", "450"},
                       {"clients", "Idle connections to the service's web server.", "count", "2000"}});
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
    // The calls' writes, answered as the portal documents them; every slowEvery'th late. By their routes: the
    // fake's own bookkeeping of registers walks every call not finished at each finish, and the calls up never are.
    // Those calls up are refused, as no method of the kind were known: the CRM work of 10,000 calls at the start,
    // in a request each 5 ms, would take minutes.
    const int slowEvery = parser.value("slow-every").toInt();
    const int slowMsec = parser.value("slow-msec").toInt();
    int crmWrites = 0;
    int slowWrites = 0;
    int crmCalls = 0;
    int activities = 0;
    int files = 0;
    const auto write = [&](const char *method, const std::function<QJsonValue(const QJsonObject &)> &result) {
        portal.setRouteHandler(QStringLiteral("/rest/%1/").arg(QLatin1String(method)),
                               [&, result](const Orvix::Tests::FakeCrmRequest &request) {
                                   const QJsonValue value = result(request.params());
                                   if (value.isUndefined())
                                       return FakeCrmReply::error(404, "ERROR_METHOD_NOT_FOUND", "Method not found!");
                                   const FakeCrmReply reply = FakeCrmReply::result(value);
                                   if (slowEvery <= 0 || ++crmWrites % slowEvery != 0)
                                       return reply;
                                   ++slowWrites;
                                   return reply.delayed(slowMsec);
                               });
    };
    write("telephony.externalcall.register", [&crmCalls](const QJsonObject &params) {
        if (params.value("EXTERNAL_CALL_ID").toString().startsWith(QLatin1String("18")))
            return QJsonValue(QJsonValue::Undefined);
        return QJsonValue(QJsonObject{{"CALL_ID", QStringLiteral("externalCall.%1").arg(++crmCalls)},
                                      {"CRM_CREATED_LEAD", QJsonValue()},
                                      {"CRM_CREATED_ENTITIES", QJsonArray()}});
    });
    write("telephony.externalcall.finish", [&activities](const QJsonObject &params) {
        return QJsonObject{{"CALL_ID", params.value("CALL_ID")}, {"CRM_ACTIVITY_ID", QString::number(++activities)}};
    });
    write("telephony.externalcall.attachRecord",
          [&files](const QJsonObject &) { return QJsonObject{{"FILE_ID", QString::number(++files)}}; });
    for (const char *method : {"telephony.externalcall.show", "telephony.externalcall.hide"})
        write(method, [](const QJsonObject &) { return true; });
    portal.setRestHandler("crm.activity.list", [](const QJsonObject &) { return FakeCrmReply::result(QJsonArray()); });
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
    // Every call's recording: a second of 8 kHz 16-bit sound, as the PBX's monitor writes it.
    const QString recording = QStringLiteral("bench-recording.wav");
    QFile sound(dir.filePath(QStringLiteral("recordings/") + recording));
    if (!sound.open(QIODevice::WriteOnly) || sound.write(QByteArray("RIFF....WAVEfmt ") + QByteArray(16000, '\x11')) <= 0)
        fail(QStringLiteral("cannot write ") + sound.fileName());
    sound.close();
    const quint16 webPort = freePort();
    const QJsonObject config{
        {"App", QJsonObject{{"log_file", logPath},
                            {"generated_postfix", postfix},
                            {"history_start_date", "2000-01-01 00:00:00"},
                            {"trunk_to_source", QJsonObject{{"74950000000", "CALL"}}}}},
        {"Bitrix", QJsonObject{{"host", portal.baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                               {"user_id", 1}, {"execution_loop_interval_msec", parser.value("interval").toInt()}}},
        {"WebServer", QJsonObject{{"listen_host", "127.0.0.1"}, {"listen_port", int(webPort)},
                                  {"use_http", true}, {"user", "operator"}, {"password", "Pa55-word"}}},
        {"Asterisk", QJsonObject{{"host", ami.host()}, {"port", int(ami.port())}, {"user", "crm"},
                                 {"password", "crmsecret"}, {"recordings_dir", dir.filePath("recordings")},
                                 {"recordings_dir_subdirs_by_date", false}}},
        {"Database", QJsonObject{{"host", database.host}, {"port", database.port}, {"user", database.user},
                                 {"password", database.password}, {"database", database.database}}},
    };
    const QString configPath = dir.filePath(QStringLiteral("config.json"));
    QFile configFile(configPath);
    if (!configFile.open(QIODevice::WriteOnly) || configFile.write(QJsonDocument(config).toJson()) <= 0)
        fail(QStringLiteral("cannot write ") + configPath);
    configFile.close();

    const RecordedCall answered = readCall(QStringLiteral("a-inbound-answered"));
    const QList<QJsonObject> recorded = answered.cel;
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
    FrontEnd frontEnd;
    const int clients = parser.value("clients").toInt();
    out() << QStringLiteral("a front end of %1 idle connections: the service holds %2 descriptors\n")
                 .arg(clients)
                 .arg(frontEnd.open(webPort, clients, service.pid()))
          << Qt::flush;
    // Whole calls, a tick's rows at a time, each call's rows stamped when they are written, its CDR row before.
    const int perTick = qMax(1, rate / 10);
    const qint64 streamFirstId = nextId;
    QList<QJsonObject> pending;
    QList<QJsonObject> cdr;
    int streamed = 0;
    const int slowBefore = slowWrites;
    const Usage before = usageOf(service.pid());
    QElapsedTimer wall;
    wall.start();
    for (int tick = 1; tick <= seconds * 10; ++tick) {
        while (pending.size() < perTick) {
            const RecordedCall call = renamed(answered, QStringLiteral("19"), streamed++, nextId + pending.size(),
                                              QDateTime::currentDateTime(), recording);
            pending += call.cel;
            cdr += call.cdr;
        }
        insertRows(db, cdr, QStringLiteral("cdr"));
        cdr.clear();
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
                            "%6 rows behind 0.5 s after its end, caught up %7 s after it; %8 CRM answers late\n")
                 .arg(rate)
                 .arg(elapsed, 0, 'f', 1)
                 .arg(complete)
                 .arg(cpu, 0, 'f', 1)
                 .arg(written, 0, 'f', 2)
                 .arg(behind)
                 .arg(caughtUp, 0, 'f', 1)
                 .arg(slowWrites - slowBefore)
          << Qt::flush;

    // ---- a burst of new calls written while the service runs ------------------------------------------------
    // Once the stream's CRM work is done, so that the burst's is all its own.
    waitFor([&] { log.read(); return log.endDoneAt(lastStreamed).isValid(); }, 120000);
    const QList<RecordedCall> kinds{answered, readCall(QStringLiteral("m-ring-group")),
                                    readCall(QStringLiteral("n-queue-rrmemory")),
                                    readCall(QStringLiteral("k-blind-transfer-to-queue"))};
    rows.clear();
    cdr.clear();
    QStringList burstCalls;
    const QDateTime now = QDateTime::currentDateTime();
    while (rows.size() < burst) {
        const RecordedCall call =
            renamed(kinds.at(burstCalls.size() % kinds.size()), QStringLiteral("17"), burstCalls.size(),
                    nextId + rows.size(), now, recording);
        burstCalls.append(callId(QStringLiteral("17"), burstCalls.size()));
        rows += call.cel;
        cdr += call.cdr;
    }
    nextId += rows.size();
    const qint64 burstLast = nextId - 1;
    // The PBX wrote the CDR rows as each call ended, before the service could come back.
    insertRows(db, cdr, QStringLiteral("cdr"));
    const int descriptors = frontEnd.open(webPort, clients, service.pid());
    const int slowBeforeBurst = slowWrites;
    // Written from a thread of its own, as fast as a client can, while this one serves the portal.
    std::atomic<qint64> writtenMs{-1};
    const Usage burstBefore = usageOf(service.pid());
    QElapsedTimer burstWall;
    burstWall.start();
    std::thread writer([&] {
        {
            QSqlDatabase own = database.addConnection(QStringLiteral("bench_service_burst"));
            if (!own.open())
                fail(QStringLiteral("cannot open the database: ") + own.lastError().text());
            insertRows(own, rows);
        }
        QSqlDatabase::removeDatabase(QStringLiteral("bench_service_burst"));
        writtenMs = burstWall.elapsed();
    });
    const bool drainedAll = waitFor([&] { return savedPosition(generated) >= burstLast; }, 600000);
    const double drained = burstWall.elapsed() / 1000.0;
    const Usage burstAfter = usageOf(service.pid());
    writer.join();
    if (!drainedAll)
        fail(QStringLiteral("the burst was not all read"));
    // Its CRM work: each call's end done, or no more done for 20 s.
    const auto endsDone = [&] {
        log.read();
        return int(std::count_if(burstCalls.cbegin(), burstCalls.cend(),
                                 [&log](const QString &call) { return log.endDoneAt(call).isValid(); }));
    };
    int done = 0;
    QElapsedTimer stalled;
    stalled.start();
    waitFor([&] {
        const int now = endsDone();
        if (now != done)
            stalled.restart();
        done = now;
        return done == burstCalls.size() || stalled.elapsed() > 20000;
    }, 600000);
    QDateTime lastDone;
    for (const QString &call : qAsConst(burstCalls))
        lastDone = qMax(lastDone, log.endDoneAt(call));
    const double crm = qMax<qint64>(0, (burstWall.elapsed() - QDateTime::currentDateTime().msecsTo(lastDone)))
        / 1000.0;
    const int burstRows = int(rows.size());
    const double burstCpu = (burstAfter.cpuMs - burstBefore.cpuMs) / 1000.0;
    out() << QStringLiteral("burst of %1 rows of %2 new calls written in %3 s while the service ran (%4 descriptors "
                            "open): its saved position at the last row %5 s after the first was written, %6 rows a "
                            "second, CPU %7 s; the CRM work of %8 of the calls done %9 s after it, %10 CRM answers "
                            "late\n")
                 .arg(burstRows)
                 .arg(burstCalls.size())
                 .arg(writtenMs / 1000.0, 0, 'f', 2)
                 .arg(descriptors)
                 .arg(drained, 0, 'f', 2)
                 .arg(burstRows / qMax(0.001, drained), 0, 'f', 0)
                 .arg(burstCpu, 0, 'f', 2)
                 .arg(done)
                 .arg(crm, 0, 'f', 2)
                 .arg(slowWrites - slowBeforeBurst);
    out() << QStringLiteral("the portal took %1 registrations, %2 finishes and %3 recordings in all\n")
                 .arg(crmCalls)
                 .arg(activities)
                 .arg(files);
    out() << QStringLiteral("figure cpu %1\nfigure written %2\nfigure behind %3\nfigure drain %4\nfigure burstcpu %5\n"
                            "figure crm %6\n")
                 .arg(cpu, 0, 'f', 1)
                 .arg(written, 0, 'f', 2)
                 .arg(behind)
                 .arg(drained, 0, 'f', 2)
                 .arg(burstCpu, 0, 'f', 2)
                 .arg(crm, 0, 'f', 2);
    service.stop();
    QDir(generated).removeRecursively();
    return 0;
}
