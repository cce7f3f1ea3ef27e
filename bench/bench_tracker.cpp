// Replays synthetic CEL traffic (concurrent incoming and outgoing calls) through the call tracker and
// prints per-operation figures: events per second on one core, and the cost of one 100-row poll batch
// (process, stale cleanup) and of the saved state, before and now, with 100, 1,000 and 10,000 calls in
// the tables.

#include "entities/clock.h"
#include "pbx/asterisk/event.h"
#include "pbx/asterisk/eventhandler.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QTextStream>

#include <time.h>

#include <algorithm>
#include <deque>
#include <vector>

using Orvix::PBX::Asterisk::Event;
using Orvix::PBX::Asterisk::EventHandler;

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
    timespec spec{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &spec);
    return spec.tv_sec + spec.tv_nsec / 1e9;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(formatAndDrop);
    QTextStream out(stdout);

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
