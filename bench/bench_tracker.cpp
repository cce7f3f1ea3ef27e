// Replays synthetic CEL traffic (concurrent incoming and outgoing calls) through the call tracker and
// prints per-operation figures: events per second on one core, and the cost of one 100-row poll batch
// (process, stale cleanup) and of the saved state, before and now, with 100, 1,000 and 10,000 calls in
// the tables.
//
// With --load it prints one figure instead: the CPU the service spends per second of CEL traffic on the
// tracker, on the CRM task queue's scheduling and on the CRM flow's kept events (each event's record, and the
// file written once per batch), at a size (by default 10,000 calls up and 1,000 rows a second), replaying the
// real PBX's recorded calls. The kept events' share is printed beside it: the main thread's time on them (their
// file is synced to the disk) and the writes' CPU. bench/trackerload.sh runs it against an older build.
//
//   bench_tracker --load --fixtures tests/fixtures/asterisk20 [--calls 10000] [--rows 1000] [--seconds 30]
//                 [--task-ms 500] [--portal-rate 100]

#include "crm/bitrix/taskqueue.h"
#include "entities/clock.h"
#include "pbx/asterisk/event.h"
#include "pbx/asterisk/eventhandler.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTextStream>

#if __has_include("crm/bitrix/eventjournal.h")
#include "crm/bitrix/eventjournal.h"

#include <QTemporaryDir>
#elif __has_include("crm/bitrix/keptevents.h")
#include "crm/bitrix/keptevents.h"

#include <QTemporaryDir>
#endif

#include <time.h>

#include <algorithm>
#include <deque>
#include <type_traits>
#include <vector>

using Orvix::CRM::Bitrix::TaskQueue;
using Orvix::PBX::Asterisk::Event;
using Orvix::PBX::Asterisk::EventHandler;
using Orvix::Utils::MsgBuilder;
using Orvix::Utils::Promise;

namespace {

// The tracker logs a line for every short number it checks; format it as the service's handler
// does, but drop it, so the figures are the tracker's own work and not the disk's.
void formatAndDrop(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    volatile int size = qFormatLogMessage(type, context, message).size();
    (void)size;
}

// Keeps a fixed number of calls talking: each step ends the oldest call and starts and answers a new
// one, alternating incoming and outgoing calls, 11 CEL rows per step (BRIDGE_EXIT rows included, which
// the tracker skips, as the real table holds them).
class Traffic
{
public:
    explicit Traffic(const QDateTime &start)
        : m_time(start)
    {
    }

    std::vector<Event> startCalls(int count)
    {
        std::vector<Event> events;
        for (int i = 0; i < count; ++i)
            startAndAnswer(events);
        return events;
    }

    // At least `count` rows: whole steps, so the number of live calls stays the same.
    std::vector<Event> step(int count)
    {
        std::vector<Event> events;
        while (static_cast<int>(events.size()) < count) {
            endOldest(events);
            startAndAnswer(events);
        }
        return events;
    }

private:
    struct Live
    {
        QString primary;
        QString leg;
        QString caller;
        QString extension;
        bool incoming;
    };

    void add(std::vector<Event> &events, const char *type, const QString &caller, const QString &exten,
             const QString &channel, const QString &linked, const QString &name)
    {
        events.emplace_back(QString::number(++m_id), QLatin1String(type),
                            m_time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), caller, exten,
                            channel, linked, name);
    }

    void startAndAnswer(std::vector<Event> &events)
    {
        const qint64 n = m_next++;
        const QString base = QStringLiteral("1700000000.");
        Live call;
        call.primary = base + QString::number(2 * n);
        call.leg = base + QString::number(2 * n + 1);
        call.incoming = n % 2 == 0;
        const QString extension = QString::number(100 + n % 800);
        const QString customer = QStringLiteral("7916%1").arg(n % 10000000, 7, 10, QLatin1Char('0'));
        const QString trunkName = QStringLiteral("SIP/trunk-%1").arg(n, 8, 16, QLatin1Char('0'));
        const QString phoneName = QStringLiteral("SIP/%1-%2").arg(extension).arg(n, 8, 16, QLatin1Char('0'));
        if (call.incoming) {
            call.caller = customer;
            call.extension = extension;
            add(events, "CHAN_START", customer, QStringLiteral("74950000000"), call.primary, call.primary, trunkName);
            add(events, "CHAN_START", extension, QStringLiteral("s"), call.leg, call.primary, phoneName);
            add(events, "ANSWER", extension, extension, call.leg, call.primary, phoneName);
            add(events, "ANSWER", customer, extension, call.primary, call.primary, trunkName);
            add(events, "BRIDGE_ENTER", extension, QString(), call.leg, call.primary, phoneName);
            add(events, "BRIDGE_ENTER", customer, extension, call.primary, call.primary, trunkName);
        } else {
            call.caller = extension;
            call.extension = customer;
            add(events, "CHAN_START", extension, customer, call.primary, call.primary, phoneName);
            add(events, "CHAN_START", QString(), QStringLiteral("s"), call.leg, call.primary, trunkName);
            add(events, "ANSWER", customer, customer, call.leg, call.primary, trunkName);
            add(events, "ANSWER", QStringLiteral("74950000000"), customer, call.primary, call.primary, phoneName);
            add(events, "BRIDGE_ENTER", customer, QString(), call.leg, call.primary, trunkName);
            add(events, "BRIDGE_ENTER", extension, customer, call.primary, call.primary, phoneName);
        }
        m_live.push_back(call);
        m_time = m_time.addSecs(1);
    }

    void endOldest(std::vector<Event> &events)
    {
        const Live call = m_live.front();
        m_live.pop_front();
        const QString name = QStringLiteral("SIP/x-0");
        add(events, "BRIDGE_EXIT", call.caller, call.extension, call.primary, call.primary, name);
        add(events, "BRIDGE_EXIT", QString(), QString(), call.leg, call.primary, name);
        add(events, "CHAN_END", QString(), QString(), call.leg, call.primary, name);
        add(events, "CHAN_END", call.caller, call.extension, call.primary, call.primary, name);
        add(events, "LINKEDID_END", call.caller, call.extension, call.primary, call.primary, name);
    }

    QDateTime m_time;
    qint64 m_id = 0;
    qint64 m_next = 0;
    std::deque<Live> m_live;
};

void configure(EventHandler &handler)
{
    handler.setTrunks({QStringLiteral("74950000000")});
    QStringList peers{QStringLiteral("trunk")};
    for (int i = 100; i < 900; ++i)
        peers << QString::number(i);
    handler.setPeers(peers);
}

double cpuSeconds()
{
    timespec cpuTime{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpuTime);
    return cpuTime.tv_sec + cpuTime.tv_nsec / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}


// ---- the service's load --------------------------------------------------------------------------------

// One call recorded on the real PBX, to be played again and again under new ids, numbers and times: its
// rows up to the moment both sides talk, and the rest.
struct Recording
{
    struct Row
    {
        QString type;
        qint64 offsetSecs;
        QString caller;
        QString extension;
        QString channelId;
        QString linkedId;
        QString name;
    };
    std::vector<Row> rows;
    std::size_t talking = 0; // rows before it start the call
    int weight = 1;
};

bool readRecording(const QString &path, int weight, Recording &recording)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QDateTime first;
    int bridged = 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QJsonObject row = QJsonDocument::fromJson(line).object();
        if (row.isEmpty())
            continue;
        const QDateTime at = QDateTime::fromString(row.value("eventtime").toString(), "yyyy-MM-dd HH:mm:ss");
        if (!first.isValid())
            first = at;
        const QString type = row.value("eventtype").toString();
        recording.rows.push_back({type, first.secsTo(at), row.value("cid_num").toString(),
                                  row.value("exten").toString(), row.value("uniqueid").toString(),
                                  row.value("linkedid").toString(), row.value("channame").toString()});
        if (type == QLatin1String("BRIDGE_ENTER") && ++bridged == 2)
            recording.talking = recording.rows.size();
    }
    recording.weight = weight;
    return recording.talking > 0;
}

// Keeps a number of calls up: each step ends the oldest one and starts a new one, the recordings taken by
// their weights. Every call has ids, channel names, employees (four-digit extensions, as the PBX's peers)
// and a customer of its own; its times are a day back, so an ended call leaves the tables at the next
// cleanup and the tables hold the calls up.
class RecordedTraffic
{
public:
    RecordedTraffic(std::vector<Recording> recordings, const QDateTime &start)
        : m_recordings(std::move(recordings))
        , m_start(start)
    {
        for (std::size_t i = 0; i < m_recordings.size(); ++i) {
            for (int w = 0; w < m_recordings[i].weight; ++w)
                m_mix.push_back(i);
        }
    }

    std::vector<Event> startCalls(int count)
    {
        std::vector<Event> events;
        for (int i = 0; i < count; ++i)
            startOne(events);
        return events;
    }

    std::vector<Event> step(int count)
    {
        std::vector<Event> events;
        while (static_cast<int>(events.size()) < count) {
            endOldest(events);
            startOne(events);
        }
        return events;
    }

private:
    struct Live
    {
        std::size_t recording;
        qint64 call;
    };

    void play(std::vector<Event> &events, const Live &live, std::size_t from, std::size_t to)
    {
        const Recording &recording = m_recordings[live.recording];
        const qint64 n = live.call;
        QString employees[3];
        for (int i = 0; i < 3; ++i)
            employees[i] = QString::number(1000 + (3 * n + i) % 8000);
        const QString customer = QStringLiteral("7916%1").arg(n % 10000000, 7, 10, QLatin1Char('0'));
        const auto number = [&](const QString &recorded) {
            if (recorded == QLatin1String("79161234567"))
                return customer;
            for (int i = 0; i < 3; ++i) {
                if (recorded == QString::number(101 + i))
                    return employees[i];
            }
            return recorded;
        };
        static const QRegularExpression suffix(QStringLiteral("-([0-9a-f]{8})"));
        for (std::size_t i = from; i < to; ++i) {
            const Recording::Row &row = recording.rows[i];
            QString name = row.name;
            for (int e = 0; e < 3; ++e)
                name.replace(QStringLiteral("/%1").arg(101 + e), QLatin1Char('/') + employees[e]);
            // Ids and name suffixes of its own: sixteen for each call, more than any recording has.
            const QRegularExpressionMatch match = suffix.match(name);
            if (match.hasMatch()) {
                const qint64 channel = n * 16 + match.captured(1).toInt(nullptr, 16) % 16;
                name.replace(match.capturedStart(1), 8, QStringLiteral("%1").arg(channel, 8, 16, QLatin1Char('0')));
            }
            const auto id = [n](const QString &recorded) {
                const qint64 sequence = n * 16 + recorded.section(QLatin1Char('.'), 1).toLongLong() % 16;
                return QStringLiteral("1700000000.%1").arg(sequence);
            };
            events.emplace_back(QString::number(++m_rowId), row.type, m_start.addSecs(n + row.offsetSecs),
                                number(row.caller), number(row.extension), id(row.channelId), id(row.linkedId), name);
        }
    }

    void startOne(std::vector<Event> &events)
    {
        const Live live{m_mix[m_next % m_mix.size()], m_next};
        ++m_next;
        play(events, live, 0, m_recordings[live.recording].talking);
        m_live.push_back(live);
    }

    void endOldest(std::vector<Event> &events)
    {
        const Live live = m_live.front();
        m_live.pop_front();
        play(events, live, m_recordings[live.recording].talking, m_recordings[live.recording].rows.size());
    }

    std::vector<Recording> m_recordings;
    std::vector<std::size_t> m_mix;
    QDateTime m_start;
    qint64 m_rowId = 0;
    qint64 m_next = 0;
    std::deque<Live> m_live;
};

// The portal behind the CRM flow's tasks: each task is answered `taskMs` after it started, at most
// `perSecond` a second (the portal's rate limit), in the order they started.
class Portal
{
public:
    Portal(qint64 taskMs, int perSecond)
        : m_taskMs(taskMs)
        , m_perSecond(perSecond)
    {
    }

    Promise<void> start(qint64 now)
    {
        Promise<void> answer;
        m_waiting.push_back({now, answer});
        return answer;
    }

    // Answers what is due by `now`, `elapsedMs` after the last call.
    int answer(qint64 now, qint64 elapsedMs)
    {
        m_allowance = std::min<double>(m_allowance + m_perSecond * elapsedMs / 1000.0, m_perSecond);
        int answered = 0;
        while (!m_waiting.empty() && m_allowance >= 1 && m_waiting.front().first + m_taskMs <= now) {
            const Promise<void> answer = m_waiting.front().second;
            m_waiting.pop_front();
            m_allowance -= 1;
            answer.resolve();
            ++answered;
        }
        return answered;
    }

    std::size_t waiting() const { return m_waiting.size(); }

private:
    qint64 m_taskMs;
    int m_perSecond;
    double m_allowance = 0;
    std::deque<std::pair<qint64, Promise<void>>> m_waiting;
};

#if __has_include("crm/bitrix/eventjournal.h")
// The CRM flow's kept events, kept by the bookkeeping its API keeps them with: each event handed over is
// kept until its task is done; the file (in a temporary directory) is written at every batch, before the state.
class KeptWork
{
public:
    using Kind = Orvix::CRM::Bitrix::KeptEvents::Kind;

    KeptWork()
    {
        m_journal.useFilePath(m_dir.filePath(QStringLiteral("crm_events.json")));
        m_journal.load();
    }

    quint64 keep(MsgBuilder::TaskName task, const QString &callId, qint64 row, const QJsonObject &data)
    {
        static const QHash<MsgBuilder::TaskName, Kind> kinds{
            {MsgBuilder::CallStarted, Kind::CallStarted},
            {MsgBuilder::ConversationRequested, Kind::ConversationRequested},
            {MsgBuilder::ConversationAccepted, Kind::ConversationAccepted},
            {MsgBuilder::ConversationEnded, Kind::ConversationEnded},
            {MsgBuilder::CallEnded, Kind::CallEnded}};
        return m_journal.add(kinds.value(task, Kind::CallTransferred), callId, row, data,
                             QDateTime::currentDateTimeUtc());
    }
    void done(quint64 sequence) { m_journal.drop(sequence); }
    void write(qint64 position) { m_journal.coverUpTo(position); }
    int size() const { return m_journal.events().size(); }

private:
    QTemporaryDir m_dir;
    Orvix::CRM::Bitrix::EventJournal m_journal;
};
#elif __has_include("crm/bitrix/keptevents.h")
// The journal of the kept events; the build before it wrote the whole file at every write.
template <typename File, typename = void>
struct IsJournal : std::false_type
{
};
template <typename File>
struct IsJournal<File, std::void_t<decltype(std::declval<File &>().clear(std::declval<QString *>()))>>
    : std::true_type
{
};

// The CRM flow's kept events as its API keeps them: each event handed over becomes its record and is kept
// until its task is done; the file (in a temporary directory) is written at every batch, before the state.
class KeptWork
{
public:
    using KeptEvents = Orvix::CRM::Bitrix::KeptEvents;

    KeptWork() { m_file.setFilePath(m_dir.filePath(QStringLiteral("crm_events.json"))); }

    quint64 keep(MsgBuilder::TaskName task, const QString &callId, qint64 row, const QJsonObject &data)
    {
        static const QHash<MsgBuilder::TaskName, KeptEvents::Kind> kinds{
            {MsgBuilder::CallStarted, KeptEvents::Kind::CallStarted},
            {MsgBuilder::ConversationRequested, KeptEvents::Kind::ConversationRequested},
            {MsgBuilder::ConversationAccepted, KeptEvents::Kind::ConversationAccepted},
            {MsgBuilder::ConversationEnded, KeptEvents::Kind::ConversationEnded},
            {MsgBuilder::CallEnded, KeptEvents::Kind::CallEnded}};
        const quint64 sequence = ++m_last;
        m_kept.insert(sequence, KeptEvents::make(sequence, kinds.value(task, KeptEvents::Kind::CallTransferred),
                                                 callId, row, data));
        return sequence;
    }
    void done(quint64 sequence)
    {
        m_kept.remove(sequence);
        if (sequence <= m_writtenUpTo)
            m_done.append(sequence);
    }
    void write(qint64 position) { writeTo(m_file, position); }
    int size() const { return m_kept.size(); }

private:
    template <typename File>
    void writeTo(File &file, qint64 position)
    {
        if constexpr (IsJournal<File>::value) {
            QString error;
            if (file.write(m_kept, m_writtenUpTo, {}, m_done, position, &error)) {
                m_writtenUpTo = m_last;
                m_done.clear();
            }
        } else {
            file.save(position, m_kept.values());
        }
    }

    QTemporaryDir m_dir;
    KeptEvents m_file;
    QMap<quint64, KeptEvents::Event> m_kept;
    QList<quint64> m_done;
    quint64 m_last = 0;
    quint64 m_writtenUpTo = 0;
};
#else
// The build before the kept events.
class KeptWork
{
public:
    quint64 keep(MsgBuilder::TaskName, const QString &, qint64, const QJsonObject &) { return 0; }
    void done(quint64) {}
    void write(qint64) {}
    int size() const { return 0; }
};
#endif

struct LoadOptions
{
    QString fixtures;
    int calls = 10000;
    int rowsPerSecond = 1000;
    int seconds = 30;
    int taskMs = 500;
    int portalRate = 100;
};

// What the PBX link and the CRM flow do with the rows, the clock simulated: a 100 ms poll hands a batch to
// the tracker, the stale cleanup follows, the state text is built as often as the state file's pace lets
// it be written (8 MB/s; its write runs on a thread of its own and is left out), every call event becomes
// a task of the CRM task queue, which the 50 ms timer drives, and the portal answers the tasks.
class ServiceLoad
{
public:
    ServiceLoad(const LoadOptions &options, RecordedTraffic &traffic)
        : m_options(options)
        , m_traffic(traffic)
        , m_portal(options.taskMs, options.portalRate)
    {
        configure(m_handler);
        QStringList peers{QStringLiteral("trunk")};
        for (int i = 1000; i < 9000; ++i)
            peers << QString::number(i);
        m_handler.setPeers(peers);
        const auto task = [this](const QString &callId, MsgBuilder::TaskName name, auto event) {
            QElapsedTimer spent;
            spent.start();
            quint64 kept = 0;
            if constexpr (std::is_same_v<decltype(event), QString>)
                kept = m_keptWork.keep(name, callId, m_row, QJsonObject());
            else
                kept = m_keptWork.keep(name, callId, m_row, event.toJson());
            m_keptTime += spent.nsecsElapsed() / 1e9;
            m_queue.enqueue(MsgBuilder(callId, name, MsgBuilder::NoChildTask), [this, event, kept]() {
                Q_UNUSED(event)
                const Promise<void> answer = m_portal.start(m_now);
                answer.onResolve([this, kept]() { m_keptWork.done(kept); });
                return answer;
            });
            ++m_tasks;
        };
        using Orvix::Entities::Call;
        using Orvix::Entities::Conversation;
        QObject::connect(&m_handler, &EventHandler::callStarted, &m_handler,
                         [task](const Call &call) { task(call.id(), MsgBuilder::CallStarted, call); });
        QObject::connect(&m_handler, &EventHandler::conversationRequested, &m_handler, [task](const Conversation &leg) {
            task(leg.callId(), MsgBuilder::ConversationRequested, leg);
        });
        QObject::connect(&m_handler, &EventHandler::conversationAccepted, &m_handler, [task](const Conversation &leg) {
            task(leg.callId(), MsgBuilder::ConversationAccepted, leg);
        });
        QObject::connect(&m_handler, &EventHandler::conversationEnded, &m_handler, [task](const Conversation &leg) {
            task(leg.callId(), MsgBuilder::ConversationEnded, leg);
        });
        QObject::connect(&m_handler, &EventHandler::callEnded, &m_handler,
                         [task](const Call &call) { task(call.id(), MsgBuilder::CallEnded, call); });
        QObject::connect(&m_handler, &EventHandler::callTransferred, &m_handler,
                         [task](const QString &callId) { task(callId, MsgBuilder::CallTransferred, callId); });
    }

    // The rows of `seconds` of traffic, batch by batch.
    std::vector<std::vector<Event>> traffic(int seconds)
    {
        std::vector<std::vector<Event>> batches;
        const int perBatch = std::max(1, m_options.rowsPerSecond / 10);
        for (int i = 0; i < seconds * 10; ++i)
            batches.push_back(m_traffic.step(perBatch));
        return batches;
    }

    void run(const std::vector<std::vector<Event>> &batches)
    {
        for (const std::vector<Event> &batch : batches)
            poll(batch);
    }

    void poll(const std::vector<Event> &batch)
    {
        for (const Event &event : batch) {
            m_row = event.id();
            m_handler.process(event);
        }
        if (!batch.empty()) {
            m_handler.removeStale();
            const double cpu = cpuSeconds();
            QElapsedTimer spent;
            spent.start();
            m_keptWork.write(batch.back().id());
            m_keptTime += spent.nsecsElapsed() / 1e9;
            m_keptWriteCpu += cpuSeconds() - cpu;
            if (m_now >= m_nextWriteAt) {
                const QByteArray text =
                    m_handler.stateText("\"previous_event_id\":" + QByteArray::number(batch.back().id()));
                m_nextWriteAt = m_now + text.size() * 1000 / 8000000;
                m_stateBytes = text.size();
            }
        }
        m_rows += batch.size();
        for (int tick = 0; tick < 2; ++tick) {
            m_answered += m_portal.answer(m_now, 50);
            m_queue.executeNextTask();
            m_now += 50;
        }
        // The promises' holders go by deleteLater, as in the event loop.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    // What the kept events cost since the last call: seconds of the main thread (records and writes, the
    // writes' sync included), and of CPU in the writes.
    std::pair<double, double> takeKeptCost()
    {
        return {std::exchange(m_keptTime, 0), std::exchange(m_keptWriteCpu, 0)};
    }

    QString summary() const
    {
        return QStringLiteral("%1 rows, %2 calls and %3 channels tracked, state %4 KiB; tasks: %5 queued, %6 answered, "
                              "%7 waiting in the queue, %8 at the portal; %9 events kept")
            .arg(m_rows)
            .arg(m_handler.calls().size())
            .arg(m_handler.channels().size())
            .arg(m_stateBytes / 1024)
            .arg(m_tasks)
            .arg(m_answered)
            .arg(m_queue.size())
            .arg(m_portal.waiting())
            .arg(m_keptWork.size());
    }

private:
    LoadOptions m_options;
    RecordedTraffic &m_traffic;
    EventHandler m_handler;
    TaskQueue m_queue;
    Portal m_portal;
    KeptWork m_keptWork;
    qint64 m_row = 0;
    double m_keptTime = 0;
    double m_keptWriteCpu = 0;
    qint64 m_now = 0;
    qint64 m_nextWriteAt = 0;
    qint64 m_rows = 0;
    qint64 m_tasks = 0;
    qint64 m_answered = 0;
    int m_stateBytes = 0;
};

// Kept out of line, for callgrind --toggle-collect=runTrackerLoad.
Q_NEVER_INLINE void runTrackerLoad(ServiceLoad &load, const std::vector<std::vector<Event>> &batches)
{
    load.run(batches);
}

int runLoad(const LoadOptions &options)
{
    QTextStream out(stdout);
    std::vector<Recording> recordings;
    // Mostly plain calls in and out, some internal ones and some attended transfers, completed or not.
    const std::pair<const char *, int> files[] = {{"cel-a-inbound-answered.jsonl", 4},
                                                  {"cel-c-outbound-answered.jsonl", 3},
                                                  {"cel-g-internal.jsonl", 1},
                                                  {"cel-e-attended-transfer.jsonl", 1},
                                                  {"cel-e2-attended-transfer-abandoned.jsonl", 1}};
    for (const auto &file : files) {
        Recording recording;
        if (!readRecording(QDir(options.fixtures).filePath(QLatin1String(file.first)), file.second, recording)) {
            out << "cannot read " << file.first << " in " << options.fixtures << Qt::endl;
            return 1;
        }
        recordings.push_back(std::move(recording));
    }
    RecordedTraffic traffic(std::move(recordings), QDateTime::currentDateTime().addDays(-1));
    ServiceLoad load(options, traffic);
    // The calls come up batch by batch, and a minute of traffic settles the queue and the tables.
    const std::vector<Event> up = traffic.startCalls(options.calls);
    const std::size_t perBatch = std::max(1, options.rowsPerSecond / 10);
    for (std::size_t i = 0; i < up.size(); i += perBatch)
        load.poll(std::vector<Event>(up.begin() + i, up.begin() + std::min(up.size(), i + perBatch)));
    load.run(load.traffic(60));

    const std::vector<std::vector<Event>> batches = load.traffic(options.seconds);
    load.takeKeptCost();
    const double cpuStart = cpuSeconds();
    runTrackerLoad(load, batches);
    const double cpu = cpuSeconds() - cpuStart;
    const auto [keptTime, keptWriteCpu] = load.takeKeptCost();
    out << QStringLiteral("load: %1 calls up, %2 CEL rows a second, %3 s of traffic: %4\n")
               .arg(options.calls)
               .arg(options.rowsPerSecond)
               .arg(options.seconds)
               .arg(load.summary());
    out << QStringLiteral("cpu_ms_per_traffic_second %1\n").arg(cpu * 1e3 / options.seconds, 0, 'f', 2);
    out << QStringLiteral("kept events: main thread %1 ms per traffic second (the writes' CPU %2 ms)\n")
               .arg(keptTime * 1e3 / options.seconds, 0, 'f', 2)
               .arg(keptWriteCpu * 1e3 / options.seconds, 0, 'f', 2);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(formatAndDrop);
    QTextStream out(stdout);

    QCommandLineParser parser;
    parser.addHelpOption();
    const QCommandLineOption loadOption(QStringLiteral("load"),
                                        QStringLiteral("The service's CPU per second of traffic."));
    const QCommandLineOption fixturesOption(QStringLiteral("fixtures"), QStringLiteral("The recorded CEL rows."),
                                            QStringLiteral("dir"));
    const QCommandLineOption callsOption(QStringLiteral("calls"), QStringLiteral("Calls up."), QStringLiteral("n"),
                                         QStringLiteral("10000"));
    const QCommandLineOption rowsOption(QStringLiteral("rows"), QStringLiteral("CEL rows a second."),
                                        QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"), QStringLiteral("Seconds of traffic measured."),
                                           QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption taskOption(QStringLiteral("task-ms"), QStringLiteral("The portal's time per task."),
                                        QStringLiteral("ms"), QStringLiteral("500"));
    const QCommandLineOption rateOption(QStringLiteral("portal-rate"),
                                        QStringLiteral("Tasks the portal answers a second."), QStringLiteral("n"),
                                        QStringLiteral("100"));
    parser.addOptions({loadOption, fixturesOption, callsOption, rowsOption, secondsOption, taskOption, rateOption});
    parser.process(app);
    if (parser.isSet(loadOption)) {
        // As the service does first thing.
        Orvix::Entities::Clock::readTimeZoneOnce();
        LoadOptions options;
        options.fixtures = parser.value(fixturesOption);
        options.calls = parser.value(callsOption).toInt();
        options.rowsPerSecond = parser.value(rowsOption).toInt();
        options.seconds = std::max(1, parser.value(secondsOption).toInt());
        options.taskMs = parser.value(taskOption).toInt();
        options.portalRate = parser.value(rateOption).toInt();
        return runLoad(options);
    }

    // Event times a day back: a call ended in the replay is stale at once, so the tables hold exactly
    // the live calls (in service, ended calls stay 30 minutes and count like live ones here).
    const QDateTime start = QDateTime::currentDateTime().addDays(-1);

    {
        EventHandler handler;
        configure(handler);
        Traffic traffic(start);
        const std::vector<Event> warmUp = traffic.startCalls(1000);
        for (const Event &event : warmUp)
            handler.process(event);
        const std::vector<Event> events = traffic.step(200000);
        int calls = 0;
        QObject::connect(&handler, &EventHandler::callEnded, &app, [&calls] { ++calls; });
        QElapsedTimer timer;
        timer.start();
        for (std::size_t i = 0; i < events.size(); ++i) {
            handler.process(events[i]);
            if (i % 100 == 99)
                handler.removeStale();
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        out << QStringLiteral("process: %1 CEL rows (%2 calls ended, 1,000 live) in %3 s: %4 rows/s on one core, %5 us/row\n")
                   .arg(events.size())
                   .arg(calls)
                   .arg(seconds, 0, 'f', 3)
                   .arg(events.size() / seconds, 0, 'f', 0)
                   .arg(seconds * 1e6 / events.size(), 0, 'f', 2);
    }

    // The saved state. Before: after every batch the whole state was built into one JSON object and
    // written as indented text on the main thread. Now: the changed entries are converted, the saved
    // texts joined, and the file written on a thread of its own at a pace of at most 8 MB/s (a
    // small state after every batch).
    constexpr double kPollsPerSecond = 10;
    constexpr double kWriteBytesPerSecond = 8e6;
    for (const int live : {100, 1000, 10000}) {
        EventHandler handler;
        configure(handler);
        Traffic traffic(start);
        for (const Event &event : traffic.startCalls(live))
            handler.process(event);
        handler.stateText();

        std::vector<double> processTimes, oldTimes, newTimes;
        qint64 oldBytes = 0;
        qint64 newBytes = 0;
        const int batches = live >= 10000 ? 30 : 200;
        for (int b = 0; b < batches; ++b) {
            const std::vector<Event> batch = traffic.step(100);
            QElapsedTimer timer;
            timer.start();
            for (std::size_t i = 0; i < 100 && i < batch.size(); ++i)
                handler.process(batch[i]);
            handler.removeStale();
            const qint64 processed = timer.nsecsElapsed();
            const QByteArray text = handler.stateText(QByteArrayLiteral("\"previous_event_id\":1"));
            const qint64 joined = timer.nsecsElapsed();
            processTimes.push_back(processed / 1e6);
            newTimes.push_back((joined - processed) / 1e6);
            newBytes = text.size();
            if (b % 10 == 0) {
                // The former way, from the same tables: one object of the entries' saved forms (kept
                // from batch to batch then, so not timed here), then the whole indented text.
                std::vector<std::pair<QString, QJsonObject>> callForms, channelForms;
                for (const auto &call : handler.calls())
                    callForms.emplace_back(call.id(), call.toJson());
                for (const auto &channel : handler.channels())
                    channelForms.emplace_back(channel.id(), channel.toJson());
                QElapsedTimer old;
                old.start();
                const auto sorted = [](std::vector<std::pair<QString, QJsonObject>> &forms) {
                    std::sort(forms.begin(), forms.end(),
                              [](const auto &a, const auto &b) { return a.first < b.first; });
                    QJsonObject object;
                    for (const auto &form : forms)
                        object.insert(form.first, form.second);
                    return object;
                };
                const QJsonObject calls = sorted(callForms);
                const QJsonObject channels = sorted(channelForms);
                const QByteArray oldText = QJsonDocument(QJsonObject{{QStringLiteral("calls"), calls},
                                                                     {QStringLiteral("channels"), channels}})
                                               .toJson(QJsonDocument::Indented);
                oldTimes.push_back(old.nsecsElapsed() / 1e6);
                oldBytes = oldText.size();
            }
            // The step may have left a few rows over; the next batch starts from fresh rows.
            for (std::size_t i = 100; i < batch.size(); ++i)
                handler.process(batch[i]);
        }
        // Writes a second under steady load: one per poll, or fewer once a state outgrows the pace.
        const double writesPerSecond = std::min(kPollsPerSecond, kWriteBytesPerSecond / newBytes);
        const double newMainPerBatch = median(newTimes) * writesPerSecond / kPollsPerSecond;
        const double oldMb = oldBytes * kPollsPerSecond / 1e6;
        const double newMb = newBytes * writesPerSecond / 1e6;
        out << QStringLiteral("state, %1 live calls (%2 tracked): process+cleanup %3 ms/batch; "
                              "before: %4 ms main thread per batch, %5 MB/s written (%6 KiB a save); "
                              "now: %7 ms per save, %8 saves/s, %9 ms main thread per batch, %10 MB/s written "
                              "(%11 KiB a save); main thread x%12 less, bytes x%13 less\n")
                   .arg(live)
                   .arg(handler.calls().size())
                   .arg(median(processTimes), 0, 'f', 3)
                   .arg(median(oldTimes), 0, 'f', 2)
                   .arg(oldMb, 0, 'f', 1)
                   .arg(oldBytes / 1024)
                   .arg(median(newTimes), 0, 'f', 2)
                   .arg(writesPerSecond, 0, 'f', 1)
                   .arg(newMainPerBatch, 0, 'f', 2)
                   .arg(newMb, 0, 'f', 1)
                   .arg(newBytes / 1024)
                   .arg(median(oldTimes) / newMainPerBatch, 0, 'f', 1)
                   .arg(oldMb / newMb, 0, 'f', 1);
    }

    // Local-time conversions with TZ unset (the C library then looks at /etc/localtime at each one):
    // 1,000 live calls and 5,000 ended ones kept for their 30 minutes, 100-row batches each followed
    // by the stale cleanup. CPU time per 1,000 rows, before (a cleanup converting two or three local
    // times per entry), with the cleanup now, and with the time zone read once as the service does.
    {
        const QByteArray tz = qgetenv("TZ");
        qunsetenv("TZ");
        tzset();
        const auto run = [&](bool oldCleanup) {
            EventHandler handler;
            configure(handler);
            Traffic traffic(QDateTime::currentDateTime().addSecs(-25 * 60));
            for (const Event &event : traffic.startCalls(1000))
                handler.process(event);
            for (const Event &event : traffic.step(5000 * 11))
                handler.process(event);
            const std::vector<Event> events = traffic.step(20000);
            volatile float sink = 0;
            const double cpuStart = cpuSeconds();
            for (std::size_t i = 0; i < events.size(); ++i) {
                handler.process(events[i]);
                if (i % 100 == 99) {
                    if (oldCleanup) {
                        const QDateTime now = Orvix::Entities::Clock::now();
                        for (const auto &channel : handler.channels())
                            sink = sink + channel.minutesSinceEnded(now);
                        for (const auto &call : handler.calls())
                            sink = sink + call.minutesSinceEnded();
                    }
                    handler.removeStale();
                }
            }
            return std::make_pair((cpuSeconds() - cpuStart) * 1e3 * 1000 / events.size(),
                                  static_cast<int>(handler.calls().size()));
        };
        const auto before = run(true);
        const auto now = run(false);
        Orvix::Entities::Clock::readTimeZoneOnce();
        const auto once = run(false);
        out << QStringLiteral("local times, TZ unset, %1 calls tracked: before %2 ms CPU per 1,000 rows; cleanup "
                              "now %3 ms (x%4 less); with the zone read once %5 ms (x%6 less than before)\n")
                   .arg(before.second)
                   .arg(before.first, 0, 'f', 2)
                   .arg(now.first, 0, 'f', 2)
                   .arg(before.first / now.first, 0, 'f', 1)
                   .arg(once.first, 0, 'f', 2)
                   .arg(before.first / once.first, 0, 'f', 1);
        if (tz.isNull())
            qunsetenv("TZ");
        else
            qputenv("TZ", tz);
        tzset();
    }
    return 0;
}
