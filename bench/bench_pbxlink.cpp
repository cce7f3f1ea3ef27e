// Drives the PBX link against a MariaDB server of its own (started and removed by the benchmark) and
// the fake AMI server, and prints: the poll on a 1,000,000-row CEL table after a clean start (before:
// the query from id 0, scanning the table on every poll; now: the start position found once), against
// the same query on a small table; and the rows a second the link drains from a 20,010-row backlog
// (1,334 recorded calls made new), against the 1,000 rows a second of a fixed 100 ms cadence.

#include "pbx/asterisk/api.h"
#include "pbx/asterisk/api_sql.h"
#include "pbx/asterisk/tst_api_support.h"
#include "support/fakeamiserver.h"
#include "support/mariadbserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTextStream>

#include <algorithm>
#include <vector>

using Orvix::PBX::Asterisk::API;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::MariaDbServer;
using Orvix::Tests::MariaDbSettings;

namespace {

QElapsedTimer g_clock;
qint64 g_firstQueryAt = -1;

// Drops the link's lines, but notes when its first CEL query goes out.
void messages(QtMsgType, const QMessageLogContext &context, const QString &text)
{
    if (g_firstQueryAt < 0 && qstrcmp(context.category, "pbx.poll") == 0 && text.startsWith(QLatin1String("CEL query")))
        g_firstQueryAt = g_clock.elapsed();
}

bool run(QSqlDatabase &db, const QString &sql)
{
    QSqlQuery query(db);
    if (query.exec(sql))
        return true;
    qFatal("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
    return false;
}

// Milliseconds of one run of the CEL poll query, median of `runs`.
double pollMs(QSqlDatabase &db, qint64 lastId, const QString &historyStart, int runs)
{
    QMap<QString, QString> tables{{QStringLiteral("cel"), QStringLiteral("cel")}};
    QMap<QString, QString> columns;
    for (const char *column : {"id", "eventtype", "eventtime", "cid_num", "exten", "uniqueid", "linkedid", "channame"})
        columns.insert(QStringLiteral("cel_") + QLatin1String(column), QLatin1String(column));
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QSqlQuery query(db);
        query.prepare(Orvix::PBX::Asterisk::ApiSql::celEventsQuery(tables, columns));
        query.bindValue(QStringLiteral(":history_start_date"), historyStart);
        query.bindValue(QStringLiteral(":last_id"), lastId);
        QElapsedTimer timer;
        timer.start();
        if (!query.exec())
            qFatal("poll: %s", qPrintable(query.lastError().text()));
        while (query.next()) {
        }
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

// `count` rows of a call type the tracker ignores, all at one old time.
void fillOldRows(QSqlDatabase &db, int count)
{
    run(db, QStringLiteral("insert into cel (id, eventtype, eventtime, cid_name, cid_num, cid_ani, cid_rdnis, cid_dnid, "
                           "exten, context, channame, appname, appdata, amaflags, accountcode, peeraccount, uniqueid, "
                           "linkedid, userfield, peer, extra) "
                           "select seq, 'USER_DEFINED', '2024-06-01 12:00:00', '', '101', '', '', '', '101', "
                           "'from-internal', 'SIP/101-00000001', '', '', 3, '', '', '1700000000.1', '1700000000.1', "
                           "'', '', '' from seq_1_to_%1")
                .arg(count));
}

// Waits in the event loop until `done` or `timeoutMs`.
template<typename Done>
bool waitFor(Done done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    g_clock.start();

    MariaDbServer server;
    if (!server.start()) {
        out << "cannot start MariaDB: " << server.errorString() << '\n';
        return 1;
    }
    const MariaDbSettings settings = server.settings();
    QTemporaryDir configDir;
    ApiTest::initConfig(configDir);
    FakeAmiServer ami;
    if (!ami.listen())
        return 1;

    QSqlDatabase db = settings.addConnection(QStringLiteral("bench"));
    if (!db.open())
        qFatal("open: %s", qPrintable(db.lastError().text()));
    const auto freshTables = [&db, &settings] {
        ApiTest::Database schema(settings);
        run(db, QStringLiteral("drop table if exists cel"));
        run(db, QStringLiteral("drop table if exists cdr"));
        if (!schema.createSchema())
            qFatal("schema: %s", qPrintable(schema.error()));
    };

    // ---- a clean start on a large table -----------------------------------------------------------
    {
        const QString historyStart = QStringLiteral("2025-01-01 00:00:00");
        freshTables();
        fillOldRows(db, 1000);
        const double small = pollMs(db, 0, historyStart, 21);
        freshTables();
        fillOldRows(db, 1000000);
        const double before = pollMs(db, 0, historyStart, 5);

        ApiTest::configure(ami, settings, QJsonObject{{QStringLiteral("history_start_date"), historyStart}});
        QTemporaryDir generated;
        qInstallMessageHandler(messages);
        QLoggingCategory::setFilterRules(QStringLiteral("pbx.poll.debug=true"));
        API api(nullptr, Orvix::Config::Manager());
        api.setGeneratedDirectory(generated.filePath(QStringLiteral("generated")));
        g_firstQueryAt = -1;
        // From the AMI login on: the search, then the wait for the poll timer's next tick (100 ms at most).
        qint64 startedAt = -1;
        QObject::connect(&api, &API::started, &app, [&startedAt] { startedAt = g_clock.elapsed(); });
        api.start();
        if (!waitFor([] { return g_firstQueryAt >= 0; }, 60000))
            qFatal("no poll");
        const qint64 search = g_firstQueryAt - startedAt;
        const qint64 position = api.lastEventId();
        api.stop();
        qInstallMessageHandler(nullptr);
        const double now = pollMs(db, position, historyStart, 21);
        out << QStringLiteral("clean start, 1,000,000-row table: before %1 ms a poll (every poll until a new row); "
                              "now %2 ms once from the login to the first poll (start id %3), then %4 ms a poll; "
                              "same query on a 1,000-row table %5 ms; x%6 less a poll, now x%7 of the small table\n")
                   .arg(before, 0, 'f', 1)
                   .arg(search)
                   .arg(position)
                   .arg(now, 0, 'f', 2)
                   .arg(small, 0, 'f', 2)
                   .arg(before / now, 0, 'f', 0)
                   .arg(now / small, 0, 'f', 2);
    }

    // ---- backlog catch-up ---------------------------------------------------------------------------
    {
        freshTables();
        const QList<QJsonObject> call = ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")));
        constexpr int kCalls = 1334;
        {
            ApiTest::Database rows(settings);
            QList<QJsonObject> all;
            for (int c = 0; c < kCalls; ++c) {
                for (QJsonObject row : call) {
                    row.insert(QStringLiteral("id"), c * call.size() + row.value(QStringLiteral("id")).toInt());
                    for (const char *key : {"uniqueid", "linkedid"}) {
                        const QString id = row.value(QLatin1String(key)).toString();
                        row.insert(QLatin1String(key), QStringLiteral("17%1").arg(c, 4, 10, QLatin1Char('0')) + id.mid(6));
                    }
                    all.append(row);
                }
            }
            run(db, QStringLiteral("start transaction"));
            if (!rows.insert(QStringLiteral("cel"), all))
                qFatal("insert: %s", qPrintable(rows.error()));
            run(db, QStringLiteral("commit"));
        }
        const qint64 total = kCalls * call.size();
        ApiTest::configure(ami, settings);
        QTemporaryDir generated;
        qInstallMessageHandler(messages);
        API api(nullptr, Orvix::Config::Manager());
        api.setGeneratedDirectory(generated.filePath(QStringLiteral("generated")));
        int ended = 0;
        QObject::connect(&api, &API::callEnded, &app, [&ended] { ++ended; });
        g_firstQueryAt = -1;
        api.start();
        if (!waitFor([&api, total] { return api.lastEventId() >= total; }, 120000))
            qFatal("backlog not drained");
        const qint64 drained = g_clock.elapsed() - g_firstQueryAt;
        api.stop();
        qInstallMessageHandler(nullptr);
        const double rate = total * 1000.0 / qMax<qint64>(1, drained);
        out << QStringLiteral("backlog of %1 rows (%2 calls ended): drained in %3 ms, %4 rows/s; fixed cadence "
                              "1,000 rows/s; x%5\n")
                   .arg(total)
                   .arg(ended)
                   .arg(drained)
                   .arg(rate, 0, 'f', 0)
                   .arg(rate / 1000.0, 0, 'f', 1);
    }
    db.close();
    return 0;
}
