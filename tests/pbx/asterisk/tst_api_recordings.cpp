#include "tst_api_support.h"

#include "pbx/asterisk/api.h"
#include "sqlquerypoll/request.h"
#include "support/promisewatch.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::PBX::Asterisk::API;
using Orvix::Tests::watch;

// The PBX link's statements against a real MariaDB with the PBX's own tables: the recording of a call from
// its CDR row, and the administrator's own SQL.
class tst_ApiRecordings : public QObject, private ApiTest::Fixture
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(initFixture()); }
    void cleanupTestCase() { Orvix::Config::Manager::resetForTesting(); }

    void recordingIsFoundInTheCdrTable_data()
    {
        QTest::addColumn<QString>("callId");
        QTest::addColumn<QString>("number1");
        QTest::addColumn<QString>("number2");
        QTest::addColumn<bool>("byDate");
        // Empty: not found; "@" stands for a recordings directory on disk, "%" for the monitor folder of the
        // spool that asterisk.conf names (recordings_dir left empty).
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("cdrFile"); // empty: as recorded
        QTest::addColumn<QStringList>("prefixes"); // App.prefixes
        QTest::addColumn<bool>("client"); // asked by a client of the public route, not by the CRM flow

        const QString in = QStringLiteral("in-101-79161234567-20261207-075733-1796630253.0.wav");
        const QString out = QStringLiteral("out-79161234567-101-20261207-075803-1796630283.4.wav");
        const QStringList none;
        // The CRM flow asks with the call's own numbers: a small office's extension has one or two digits.
        QTest::newRow("outgoing from extension 21") << "1796630300.21" << "21" << "79161234567" << true
                                                    << "@/2026/12/07/" + out << "" << none << false;
        QTest::newRow("outgoing from extension 7") << "1796630300.7" << "7" << "79161234567" << true
                                                   << "@/2026/12/07/" + out << "" << none << false;
        // The link the service wrote carries the same numbers, signed: it plays.
        QTest::newRow("outgoing from extension 21, a client") << "1796630300.21" << "21" << "79161234567" << true
                                                              << "@/2026/12/07/" + out << "" << none << true;
        QTest::newRow("incoming, flat") << "1796630253.0" << "79161234567" << "101" << false << "@/" + in << "" << none
                                        << false;
        QTest::newRow("incoming, by date") << "1796630253.0" << "79161234567" << "101" << true
                                           << "@/2026/12/07/" + in << "" << none << true;
        // An anonymous caller: the CDR row has neither a source nor a caller number.
        QTest::newRow("incoming from an anonymous caller") << "1796630300.0" << "" << "101" << true
                                                           << "@/2026/12/07/" + in << "" << none << true;
        QTest::newRow("outgoing, second number") << "1796630283.4" << "555" << "101" << true
                                                 << "@/2026/12/07/" + out << "" << none << true;
        QTest::newRow("other numbers") << "1796630253.0" << "555" << "666" << false << "" << "" << none << true;
        QTest::newRow("other call") << "1796630283.9" << "101" << "101" << false << "" << "" << none << true;
        QTest::newRow("quote in a number") << "1796630253.0" << "1' or '1'='1" << "x') or ('1'='1" << false << ""
                                           << "" << none << true;
        QTest::newRow("quote in the call id") << "1796630253.0' or '1'='1" << "101" << "101" << false << "" << ""
                                              << none << true;
        // An empty number is no wildcard: it matches only an empty column.
        QTest::newRow("empty numbers") << "1796630253.0" << "" << "" << false << "" << "" << none << true;
        // The link holds whole numbers: a guess of a few digits, or the end of a number, finds nothing.
        QTest::newRow("one-digit numbers") << "1796630253.0" << "7" << "1" << false << "" << "" << none << true;
        QTest::newRow("two-digit numbers") << "1796630253.0" << "67" << "01" << false << "" << "" << none << true;
        QTest::newRow("the end of a number") << "1796630253.0" << "9161234567" << "" << false << "" << "" << none
                                             << true;
        QTest::newRow("the end of a number behind no prefix") << "1796630253.0" << "161234567" << "" << false << ""
                                                              << "" << QStringList{"7"} << true;
        // The CRM writes the number without the configured prefix it began with.
        QTest::newRow("the number behind a configured prefix")
            << "1796630253.0" << "9161234567" << "" << false << "@/" + in << "" << QStringList{"8", "7"} << true;
        QTest::newRow("the number with a plus") << "1796630253.0" << "+79161234567" << "" << false << "@/" + in << ""
                                                << none << true;
        // The file name comes from the dial plan: it must not lead out of the recordings directory.
        QTest::newRow("CDR file out by ..") << "1796630253.0" << "79161234567" << "" << false << ""
                                            << "../../../../etc/passwd" << none << true;
        QTest::newRow("CDR file by a link out") << "1796630253.0" << "79161234567" << "" << false << "" << "link.wav"
                                                << none << true;
        QTest::newRow("CDR file by a link, a missing folder and ..")
            << "1796630253.0" << "79161234567" << "" << false << "" << "dir/missing/../outside.wav" << none << true;
        QTest::newRow("absolute CDR file outside") << "1796630253.0" << "79161234567" << "" << false << ""
                                                   << "/etc/passwd" << none << true;
        QTest::newRow("absolute CDR file inside") << "1796630253.0" << "79161234567" << "" << false << "@/in.wav"
                                                  << "@/in.wav" << none << true;
        QTest::newRow("CDR file not on disk") << "1796630253.0" << "79161234567" << "" << false << "" << "gone.wav"
                                              << none << true;
        QTest::newRow("CDR file inside") << "1796630253.0" << "79161234567" << "" << false << "@/in.wav" << "in.wav"
                                         << none << true;
        QTest::newRow("no recordings_dir: the spool's monitor folder")
            << "1796630253.0" << "79161234567" << "" << false << "%/in.wav" << "in.wav" << none << true;
    }

    void recordingIsFoundInTheCdrTable()
    {
        QFETCH(QString, callId);
        QFETCH(QString, number1);
        QFETCH(QString, number2);
        QFETCH(bool, byDate);
        QFETCH(QString, path);
        QFETCH(QString, cdrFile);
        QFETCH(QStringList, prefixes);
        QFETCH(bool, client);

        QTemporaryDir recordings;
        QTemporaryDir outside;
        const QString canonical = QFileInfo(recordings.path()).canonicalFilePath();
        const QString spool = canonical + QStringLiteral("/spool");
        const bool fromSpool = path.startsWith(QLatin1Char('%'));
        const QString folder = fromSpool ? spool + QStringLiteral("/monitor") : recordings.path();
        QVERIFY(QDir().mkpath(folder) && QDir().mkpath(recordings.filePath(QStringLiteral("etc/asterisk"))));
        QVERIFY(QFile::link(QStringLiteral("/etc/passwd"), recordings.filePath(QStringLiteral("link.wav"))));
        QVERIFY(QFile::link(outside.path(), recordings.filePath(QStringLiteral("dir"))));
        for (const QString &name : {outside.filePath(QStringLiteral("outside.wav")), folder + QStringLiteral("/in.wav")}) {
            QFile file(name);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QFile asteriskConf(recordings.filePath(QStringLiteral("etc/asterisk/asterisk.conf")));
        QVERIFY(asteriskConf.open(QIODevice::WriteOnly));
        asteriskConf.write("[directories](!)\nastetcdir => /etc/asterisk\nastspooldir => " + spool.toUtf8() + " ; moved\n");
        asteriskConf.close();
        qputenv("CALVENA_ASTERISK_CONFIG_ROOT", recordings.path().toUtf8());
        path.replace(QLatin1Char('@'), canonical).replace(QLatin1Char('%'), folder);
        if (!path.isEmpty()) { // only a file that is there is found
            QVERIFY(QDir().mkpath(QFileInfo(path).path()));
            QFile expected(path);
            QVERIFY(expected.open(QIODevice::WriteOnly));
        }
        cdrFile.replace(QLatin1Char('@'), canonical);
        const QJsonObject asterisk{{QStringLiteral("recordings_dir_subdirs_by_date"), byDate},
                                   {QStringLiteral("recordings_dir"), fromSpool ? QString() : recordings.path()}};
        QVERIFY(prepare(QStringLiteral("tst_api_recording"),
                        QJsonObject{{QStringLiteral("prefixes"), QJsonArray::fromStringList(prefixes)}}, asterisk));
        {
            ApiTest::Database db(m_db);
            QList<QJsonObject> rows = ApiTest::readRows(QStringLiteral("cdr-a-inbound-answered.jsonl"));
            QJsonObject anonymous = rows.first();
            for (const QString &key : {QStringLiteral("src"), QStringLiteral("cnum"), QStringLiteral("clid")})
                anonymous.insert(key, QString());
            anonymous.insert(QStringLiteral("uniqueid"), QStringLiteral("1796630300.0"));
            rows.append(anonymous);
            for (QJsonObject &row : rows) {
                if (!cdrFile.isEmpty())
                    row.insert(QStringLiteral("recordingfile"), cdrFile);
            }
            QVERIFY(db.insert(QStringLiteral("cdr"), rows));
            QList<QJsonObject> outbound = ApiTest::readRows(QStringLiteral("cdr-c-outbound-answered.jsonl"));
            for (const QString &extension : {QStringLiteral("21"), QStringLiteral("7")}) {
                QJsonObject row = outbound.first();
                for (const QString &key : {QStringLiteral("src"), QStringLiteral("cnum")})
                    row.insert(key, extension);
                row.insert(QStringLiteral("uniqueid"), QStringLiteral("1796630300.") + extension);
                outbound.append(row);
            }
            QVERIFY(db.insert(QStringLiteral("cdr"), outbound));
            QVERIFY(db.insert(QStringLiteral("cdr"), ApiTest::readRows(QStringLiteral("cdr-g-internal.jsonl"))));
        }
        ApiTest::MessageLog log;
        auto api = makeApi();
        QVERIFY(startAndWait(*api));
        qunsetenv("CALVENA_ASTERISK_CONFIG_ROOT");
        auto outcome = watch(api->getRecordingFileName(
            callId, number1, number2, client ? Orvix::PBX::Asterisk::ApiSql::RecordingLookup::Public
                                             : Orvix::PBX::Asterisk::ApiSql::RecordingLookup::Own));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        // A client's look-ups come by the thousand: their lines are a developer's only.
        int ownLines = 0;
        for (const ApiTest::MessageLog::Line &line : ApiTest::MessageLog::all()) {
            if (line.category == QLatin1String("default") && line.text.contains(QLatin1String("Record request")))
                ++ownLines;
        }
        QCOMPARE(ownLines, client ? 0 : 1);
        QCOMPARE(outcome->resolved, !path.isEmpty());
        QCOMPARE(outcome->value, path);
        if (!outcome->resolved)
            QCOMPARE(outcome->error.kind, Orvix::Entities::RecordingFailure::Missing);
        // Said once, from the first reading of the settings on.
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("Asterisk.recordings_dir is empty: recordings are taken "
                                                           "from Asterisk's monitor folder ") + folder),
                 fromSpool ? 1 : 0);
        // A value that looks like SQL is only a value: the query runs and finds nothing.
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("SQL-query failed")), 0);
        // Refused files are told apart: one that is not there from one that leads out of the folder.
        const bool onDisk = QFileInfo::exists(QDir(recordings.path()).filePath(cdrFile));
        if (path.isEmpty())
            QCOMPARE(ApiTest::MessageLog::count(cdrFile.isEmpty() ? QStringLiteral("Could not find record by sql-query")
                                                : onDisk          ? QStringLiteral("outside the recordings directory")
                                                                  : QStringLiteral("does not exist")),
                     1);
    }

    void recordingLookUpSaysWhetherToAskAgain_data()
    {
        QTest::addColumn<int>("celRows"); // rows of the inbound call read first; -1: the link is not started
        QTest::addColumn<bool>("atStart"); // asked of a new link, from the saved state, as it reports started
        QTest::addColumn<bool>("askAgain"); // failed rather than missing
        QTest::newRow("the link has not started") << -1 << false << true;
        QTest::newRow("the call is still up, its CDR not written yet") << 7 << false << true;
        QTest::newRow("the call ended without a CDR row") << 15 << false << false;
        QTest::newRow("at the start after a restart, the call still up") << 7 << true << true;
        QTest::newRow("at the start after a restart, the call ended without a CDR row") << 15 << true << false;
    }

    void recordingLookUpSaysWhetherToAskAgain()
    {
        QFETCH(int, celRows);
        QFETCH(bool, atStart);
        QFETCH(bool, askAgain);
        QVERIFY(prepare(QStringLiteral("tst_api_recording_kind")));
        auto api = makeApi();
        if (celRows >= 0) {
            QVERIFY(startAndWait(*api));
            QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), celRows));
            QTRY_COMPARE(api->lastEventId(), celRows);
        }
        const auto ask = [&api] {
            return watch(api->getRecordingFileName(QStringLiteral("1796630253.0"), QStringLiteral("79161234567"),
                                                   QStringLiteral("101")));
        };
        decltype(ask()) outcome;
        if (atStart) { // as the recordings a previous run owes are asked for
            api.reset();
            api = makeApi();
            connect(api.get(), &API::started, this, [&] { outcome = ask(); });
            QVERIFY(startAndWait(*api));
        } else {
            outcome = ask();
        }
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QVERIFY(outcome->rejected);
        QCOMPARE(outcome->error.kind, askAgain ? Orvix::Entities::RecordingFailure::Failed
                                               : Orvix::Entities::RecordingFailure::Missing);
    }

    void callFromAShortExtensionFindsItsRecording_data()
    {
        QTest::addColumn<QString>("extension");
        QTest::newRow("extension 21") << "21";
        QTest::newRow("extension 7") << "7";
    }

    // An outgoing call from a small office's extension, its rows written as it goes and its CDR row at its
    // end: asked with the numbers of the call the link reported, as the CRM flow asks, the recording is found.
    void callFromAShortExtensionFindsItsRecording()
    {
        QFETCH(QString, extension);
        QTemporaryDir recordings;
        const QString file = QStringLiteral("out-%1.wav").arg(extension);
        QVERIFY(QDir().mkpath(recordings.filePath(QStringLiteral("2026/12/07"))));
        QFile recorded(recordings.filePath(QStringLiteral("2026/12/07/") + file));
        QVERIFY(recorded.open(QIODevice::WriteOnly));
        QVERIFY(prepare(QStringLiteral("tst_api_short"), {},
                        QJsonObject{{QStringLiteral("recordings_dir"), recordings.path()},
                                    {QStringLiteral("recordings_dir_subdirs_by_date"), true}}));
        const auto fromExtension = [&extension](QList<QJsonObject> rows) {
            for (QJsonObject &row : rows) {
                for (const QString &key : {QStringLiteral("cid_num"), QStringLiteral("channame"), QStringLiteral("src"),
                                           QStringLiteral("cnum")}) {
                    if (row.contains(key))
                        row.insert(key, row.value(key).toString().replace(QStringLiteral("101"), extension));
                }
            }
            return rows;
        };
        auto api = makeApi();
        QList<Orvix::Entities::Call> ended;
        connect(api.get(), &API::callEnded, this, [&ended](const Orvix::Entities::Call &call) { ended.append(call); });
        QVERIFY(startAndWait(*api));
        const QList<QJsonObject> cel =
            fromExtension(ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-c-outbound-answered.jsonl"))));
        QVERIFY(insertCelRows(cel.mid(0, 7))); // answered
        QTRY_COMPARE(api->lastEventId(), 31);
        QVERIFY(insertCelRows(cel.mid(7)));
        QTRY_COMPARE(ended.size(), 1);
        QList<QJsonObject> cdr = fromExtension(ApiTest::readRows(QStringLiteral("cdr-c-outbound-answered.jsonl")));
        cdr.first().insert(QStringLiteral("recordingfile"), file);
        ApiTest::Database db(m_db);
        QVERIFY(db.insert(QStringLiteral("cdr"), cdr));

        const Orvix::Entities::Conversation leg = ended.first().mainConversation();
        QCOMPARE(leg.from(), extension);
        auto outcome = watch(api->getRecordingFileName(ended.first().id(), leg.from(), leg.to()));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QVERIFY2(outcome->resolved, qPrintable(outcome->error.reason));
        QCOMPARE(outcome->value, QFileInfo(recorded).canonicalFilePath());
    }

    void executeSqlQueryReturnsFieldsAndRows_data()
    {
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<QJsonArray>("fields");
        QTest::addColumn<int>("rows");
        QTest::newRow("rows") << "select id, eventtype from cel where id <= 3 order by id" << true
                              << QJsonArray{QStringLiteral("id"), QStringLiteral("eventtype")} << 3;
        QTest::newRow("no rows") << "select id, eventtype from cel where id < 0" << true
                                 << QJsonArray{QStringLiteral("id"), QStringLiteral("eventtype")} << 0;
        QTest::newRow("no result columns") << "update cel set userfield = '' where id < 0" << true << QJsonArray{} << 0;
        QTest::newRow("broken statement") << "select from nowhere" << false << QJsonArray{} << 0;
    }

    void executeSqlQueryReturnsFieldsAndRows()
    {
        QFETCH(QString, sql);
        QFETCH(bool, resolved);
        QFETCH(QJsonArray, fields);
        QFETCH(int, rows);

        QVERIFY(prepare(QStringLiteral("tst_api_sql")));
        // Rows older than the history start, so that the poll leaves them alone.
        {
            ApiTest::Database db(m_db);
            QVERIFY(db.insert(QStringLiteral("cel"),
                              ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl"))));
        }
        Orvix::Config::Manager::update(QJsonObject{
            {QStringLiteral("App"), QJsonObject{{QStringLiteral("history_start_date"), QStringLiteral("2030-01-01 00:00:00")}}}});
        auto api = makeApi();
        QVERIFY(startAndWait(*api));

        Orvix::Utils::Promise<QJsonObject, QString> promise;
        auto outcome = watch(promise);
        api->executeSqlQuery(sql, promise);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 10000);
        QCOMPARE(outcome->resolved, resolved);
        if (!resolved) {
            QVERIFY(!outcome->error.isEmpty());
            return;
        }
        QCOMPARE(outcome->value.value(QStringLiteral("fields")).toArray(), fields);
        const QJsonArray data = outcome->value.value(QStringLiteral("data")).toArray();
        QCOMPARE(data.size(), rows);
        if (rows > 0)
            QCOMPARE(data.first().toArray().at(1).toString(), QStringLiteral("CHAN_START"));
    }

    // An administrator's statement is done once, leaves nothing on the session the recording look-ups share,
    // and is read only as far as an answer holds.
    void administratorStatementLeavesTheLinkAsItWas_data()
    {
        QTest::addColumn<QStringList>("setup");
        QTest::addColumn<QString>("sql");
        QTest::addColumn<bool>("resolved");
        QTest::addColumn<bool>("cut");
        QTest::addColumn<QString>("count"); // a query of one number, after the statement; empty: none
        QTest::addColumn<int>("counted");
        QTest::addColumn<int>("rows"); // answered; -1: as many as the byte cap lets through
        QTest::addColumn<bool>("givenUp"); // the PBX writes a CEL row while it runs, then its caller gives up

        // An empty text read as NULL: the look-up's "recordingfile <> ''" would find no recording.
        QTest::newRow("a SET of the session's SQL mode stays with its statement")
            << QStringList() << "SET SESSION sql_mode = 'EMPTY_STRING_IS_NULL'" << true << false << "" << 0 << 0 << false;
        QTest::newRow("a temporary table in place of the CDR table stays with its statement")
            << QStringList() << "CREATE TEMPORARY TABLE cdr (uniqueid VARCHAR(32))" << true << false << "" << 0 << 0 << false;
        QTest::newRow("a failing INSERT on a MyISAM table writes once")
            << QStringList{"CREATE TABLE audit (id INT AUTO_INCREMENT PRIMARY KEY, tag VARCHAR(16), code VARCHAR(16) "
                           "UNIQUE) ENGINE=MyISAM",
                           "INSERT INTO audit (tag, code) VALUES ('first', 'taken')"}
            << "INSERT INTO audit (tag, code) VALUES ('once', NULL), ('again', 'taken')" << false << false
            << "SELECT COUNT(*) FROM audit WHERE tag = 'once'" << 1 << 0 << false;
        QTest::newRow("a text of two statements is refused, neither run")
            << QStringList{"CREATE TABLE audit (tag VARCHAR(16))"}
            << "SELECT 1; INSERT INTO audit (tag) VALUES ('unseen')" << false << false
            << "SELECT COUNT(*) FROM audit" << 0 << 0 << false;
        QTest::newRow("a result of tens of megabytes is answered cut")
            << QStringList() << "SELECT seq, REPEAT('x', 10000) AS filler FROM seq_1_to_4000" << true << true << ""
            << 0 << -1 << false;
        QTest::newRow("a result of control bytes is answered cut within the cap, counted as escaped")
            << QStringList() << "SELECT seq, REPEAT(CHAR(1), 10000) AS filler FROM seq_1_to_4000" << true << true << ""
            << 0 << -1 << false;
        QTest::newRow("ten thousand and one rows are answered cut at ten thousand")
            << QStringList() << "SELECT seq FROM seq_1_to_10001" << true << true << "" << 0 << 10000 << false;
        // A locking read takes no gap lock that would hold the PBX's inserts, and ends on the server when given up.
        QTest::newRow("a locking read of the CEL table given up while the PBX writes")
            << QStringList() << "SELECT COUNT(*), SLEEP(30) AS held_by_the_administrator FROM cel FOR UPDATE" << false
            << false << "SELECT COUNT(*) FROM cel" << 1 << 0 << true;
    }

    void administratorStatementLeavesTheLinkAsItWas()
    {
        QFETCH(QStringList, setup);
        QFETCH(QString, sql);
        QFETCH(bool, resolved);
        QFETCH(bool, cut);
        QFETCH(QString, count);
        QFETCH(int, counted);
        QFETCH(int, rows);
        QFETCH(bool, givenUp);

        QTemporaryDir recordings;
        const QString file = recordings.filePath(QStringLiteral("in-101-79161234567-20261207-075733-1796630253.0.wav"));
        QFile recorded(file);
        QVERIFY(recorded.open(QIODevice::WriteOnly));
        QVERIFY(prepare(QStringLiteral("tst_api_statement"), {},
                        QJsonObject{{QStringLiteral("recordings_dir"), recordings.path()}}));
        {
            ApiTest::Database db(m_db);
            QVERIFY(db.insert(QStringLiteral("cdr"), ApiTest::readRows(QStringLiteral("cdr-a-inbound-answered.jsonl"))));
            for (const QString &statement : setup)
                QVERIFY2(db.exec(statement), qPrintable(db.error()));
        }
        auto api = makeApi();
        api->setAdminStatementTimeLimit(std::chrono::seconds(60));
        QVERIFY(startAndWait(*api));

        Orvix::Utils::Promise<QJsonObject, QString> promise;
        auto outcome = watch(promise);
        api->executeSqlQuery(sql, promise);
        const auto running = [this] {
            QString error;
            return Orvix::Tests::MariaDbFixture::queryValue(
                       m_db, "SELECT COUNT(*) FROM information_schema.processlist WHERE info LIKE '%held_by_the_%' "
                             "AND id <> CONNECTION_ID()", &error).toInt();
        };
        if (givenUp) {
            QTRY_COMPARE(running(), 1);
            ApiTest::Database db(m_db);
            QVERIFY2(db.exec("SET SESSION innodb_lock_wait_timeout = 1")
                         && db.insert("cel", ApiTest::readRows("cel-a-inbound-answered.jsonl").mid(0, 1)),
                     qPrintable(db.error()));
            api->cancelSqlQuery();
            QTRY_COMPARE(running(), 0);
        }
        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 30000);
        QVERIFY2(outcome->resolved == resolved, qPrintable(outcome->error));
        if (resolved) {
            QCOMPARE(outcome->value.value(QStringLiteral("cut")).toBool(), cut);
            const QJsonArray data = outcome->value.value(QStringLiteral("data")).toArray();
            const qint64 size = QJsonDocument(data).toJson(QJsonDocument::Compact).size();
            QVERIFY2(data.size() <= Orvix::SqlQueryPoll::kStatementMaxRows
                         && size <= Orvix::SqlQueryPoll::kStatementMaxBytes,
                     qPrintable(QStringLiteral("%1 rows, %2 bytes").arg(data.size()).arg(size)));
            if (rows >= 0)
                QCOMPARE(data.size(), rows);
            else
                QVERIFY(size > Orvix::SqlQueryPoll::kStatementMaxBytes / 2);
        }
        if (!count.isEmpty()) {
            QString error;
            QCOMPARE(Orvix::Tests::MariaDbFixture::queryValue(m_db, count, &error).toInt(), counted);
        }

        auto lookUp = watch(api->getRecordingFileName(QStringLiteral("1796630253.0"), QStringLiteral("79161234567"),
                                                      QStringLiteral("101")));
        QTRY_VERIFY_WITH_TIMEOUT(lookUp->settled, 10000);
        QVERIFY2(lookUp->resolved, qPrintable(lookUp->error.reason));
        QCOMPARE(lookUp->value, QFileInfo(file).canonicalFilePath());
    }
};

QTEST_GUILESS_MAIN(tst_ApiRecordings)
#include "tst_api_recordings.moc"
