#include "tst_api_support.h"

#include "entities/clock.h"
#include "pbx/asterisk/api.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"
#include "support/promisewatch.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::PBX::Asterisk::API;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::watch;

// The PBX link against a real MariaDB with the PBX's own tables and the fake AMI server: the poll, the saved
// state, call control and the calls the PBX lost.
class tst_Api : public QObject, private ApiTest::Fixture
{
    Q_OBJECT

private:
    // A plain file where the generated folder's parent should be: no folder can be made, so saving the state fails.
    bool blockStateDirectory(API &api)
    {
        QFile blocker(m_generated->filePath(QStringLiteral("file")));
        if (!blocker.open(QIODevice::WriteOnly))
            return false;
        blocker.close();
        api.setGeneratedDirectory(m_generated->filePath(QStringLiteral("file/generated")));
        return true;
    }

    // Statements of the test database's connections that contain `marker`, other than this probe.
    int runningStatements(const QString &marker) const
    {
        QString error;
        const QVariant count = MariaDbFixture::queryValue(
            m_db,
            QStringLiteral("select count(*) from information_schema.processlist where info like '%%1%' "
                           "and id <> connection_id()")
                .arg(marker),
            &error);
        return count.isValid() ? count.toInt() : -1;
    }

    // CEL polls waiting for a table lock.
    int waitingPolls() const
    {
        QString error;
        const QVariant count = MariaDbFixture::queryValue(
            m_db,
            QStringLiteral("select count(*) from information_schema.processlist where info like 'select%from `cel`%' "
                           "and state like 'Waiting for table%'"),
            &error);
        return count.isValid() ? count.toInt() : -1;
    }

    QString statePath() const { return m_generated->filePath(QStringLiteral("generated/state.json")); }

private Q_SLOTS:
    void initTestCase() { QVERIFY(initFixture()); }

    void cleanupTestCase() { Orvix::Config::Manager::resetForTesting(); }
    void cleanup() { Orvix::Entities::Clock::setSource({}); }

    void startLogsInAndReportsStarted()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_start")));
        auto api = makeApi();
        QSignalSpy started(api.get(), &API::started);
        api->start();
        QVERIFY(started.wait(10000));
        const auto logins = m_ami->frames(QStringLiteral("Login"));
        QCOMPARE(logins.size(), 1);
        QCOMPARE(logins.first().value(QStringLiteral("Username")), QStringLiteral("crm"));
        QCOMPARE(logins.first().value(QStringLiteral("Secret")), QStringLiteral("crmsecret"));
        QCOMPARE(logins.first().value(QStringLiteral("Events")), QStringLiteral("off"));
        // The peers the AMI reported make their numbers internal for the tracker.
        QTRY_VERIFY(api->eventHandler().peers().contains(QStringLiteral("103")));
        QCOMPARE(api->eventHandler().trunks(), QStringList{QStringLiteral("74950000000")});
    }

    void incomingCallGivesFiveEventsAndSavesState_data()
    {
        QTest::addColumn<bool>("aliased");
        QTest::addColumn<int>("setBack"); // seconds the PBX's clock was set back just before the call
        QTest::newRow("default names") << false << 0;
        QTest::newRow("table and columns renamed") << true << 0;
        QTest::newRow("the PBX's clock set back an hour before the call") << false << 3600;
        QTest::newRow("the PBX's clock set back a minute before the call") << false << 60;
    }

    void incomingCallGivesFiveEventsAndSavesState()
    {
        QFETCH(bool, aliased);
        QFETCH(int, setBack);
        QVERIFY(prepare(QStringLiteral("tst_api_incoming")));
        if (aliased) {
            ApiTest::Database db(m_db);
            QVERIFY2(db.exec(QStringLiteral("rename table cel to `pbx events`")), qPrintable(db.error()));
            QVERIFY2(db.exec(QStringLiteral("alter table `pbx events` change eventtime `event time` datetime not null")),
                     qPrintable(db.error()));
            QJsonObject columns = Orvix::Config::Manager::value(Orvix::Config::Manager::Database,
                                                                QStringLiteral("column_name_aliases"))
                                      .toObject();
            columns.insert(QStringLiteral("cel_eventtime"), QStringLiteral("event time"));
            QVERIFY(Orvix::Config::Manager::update(
                        QJsonObject{{QStringLiteral("Database"),
                                     QJsonObject{{QStringLiteral("table_name_aliases"),
                                                  QJsonObject{{QStringLiteral("cel"), QStringLiteral("pbx events")},
                                                              {QStringLiteral("cdr"), QStringLiteral("cdr")}}},
                                                 {QStringLiteral("column_name_aliases"), columns}}}})
                        .isEmpty());
        }
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        // The PBX's time its first event is handed over at: that of the newest row of its batch already, which
        // the work the event makes is stamped with.
        QDateTime firstEventAt;
        connect(api.get(), &Orvix::PBX::Asterisk::API::callStarted, this,
                [&firstEventAt, &api](const Orvix::Entities::Call &) { firstEventAt = api->pbxTime(); });
        // The leg's card is judged on the PBX's time.
        bool cardDue = false;
        connect(api.get(), &Orvix::PBX::Asterisk::API::conversationRequested, this,
                [&cardDue, &api](const Orvix::Entities::Conversation &leg) { cardDue = leg.isRecent(api->pbxTime()); });
        QVERIFY(startAndWait(*api));

        QList<QJsonObject> inserted =
            ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")));
        if (setBack > 0) {
            // A row stamped before the clock was set back, read first.
            QJsonObject before = inserted.at(1);
            before.insert(QStringLiteral("eventtime"), QDateTime::currentDateTime().addSecs(setBack).toString(
                                                           QStringLiteral("yyyy-MM-dd HH:mm:ss")));
            QVERIFY(insertCelRows({before}));
            QTRY_COMPARE(api->lastEventId(), 2);
            for (QJsonObject &row : inserted)
                row.insert(QStringLiteral("id"), row.value(QStringLiteral("id")).toInt() + 100);
        }
        {
            QList<QJsonObject> rows = inserted;
            if (aliased) {
                for (QJsonObject &row : rows)
                    row.insert(QStringLiteral("event time"), row.take(QStringLiteral("eventtime")));
            }
            ApiTest::Database db(m_db);
            QVERIFY2(db.insert(aliased ? QStringLiteral("pbx events") : QStringLiteral("cel"), rows),
                     qPrintable(db.error()));
        }
        QTRY_COMPARE(recorder.events().size(), 5);
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents());
        const int lastId = inserted.last().value(QStringLiteral("id")).toInt();
        QCOMPARE(api->lastEventId(), lastId);

        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), lastId);
        const QJsonObject state = ApiTest::readJsonFile(statePath());
        QVERIFY(state.value(QStringLiteral("calls")).toObject().contains(QStringLiteral("1796630253.0")));
        const QJsonObject channels = state.value(QStringLiteral("channels")).toObject();
        QVERIFY(channels.contains(QStringLiteral("1796630253.0")));
        QVERIFY(channels.contains(QStringLiteral("1796630253.1")));

        // The times come through the database driver as date-times: the call keeps those of its rows
        // (CHAN_START, the leg's ANSWER and LINKEDID_END), which its duration and the stale cleanup use.
        const auto rowTime = [&inserted](int id) {
            return inserted.at(id - 1).value(QStringLiteral("eventtime")).toString();
        };
        const QJsonObject call =
            state.value(QStringLiteral("calls")).toObject().value(QStringLiteral("1796630253.0")).toObject();
        QCOMPARE(call.value(QStringLiteral("started_at")).toString(), rowTime(1));
        QCOMPARE(call.value(QStringLiteral("answered_at")).toString(), rowTime(4));
        QCOMPARE(call.value(QStringLiteral("ended_at")).toString(), rowTime(15));
        const QString firstEventText = firstEventAt.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        QVERIFY2(firstEventAt.isValid() && firstEventText >= rowTime(15)
                     && firstEventAt.addSecs(-10).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) < rowTime(15),
                 qPrintable(firstEventAt.toString(Qt::ISODate)));
        QVERIFY(cardDue);
        QCOMPARE(channels.value(QStringLiteral("1796630253.1")).toObject().value(QStringLiteral("ended_at")).toString(),
                 rowTime(11));
    }

    void restartNeverRepeatsAnEvent()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_restart")));
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl")));
        QTRY_COMPARE(recorder.events().size(), 5);

        // Stop and start of the same link: polling goes on after the saved id.
        api->stop();
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-c-outbound-answered.jsonl")));
        QTRY_COMPARE(recorder.events().size(), 10);
        QCOMPARE(recorder.events().mid(5), ApiTest::outboundCallEvents());
        QCOMPARE(api->lastEventId(), 39);
        api.reset();

        // A new link (a restarted service) reads the position from state.json.
        auto restarted = makeApi();
        ApiTest::EventRecorder again(*restarted);
        QVERIFY(startAndWait(*restarted));
        QCOMPARE(restarted->lastEventId(), 39);
        QVERIFY(insertCel(QStringLiteral("cel-g-internal.jsonl")));
        QTRY_COMPARE(restarted->lastEventId(), 147);
        for (const QString &event : again.events())
            QVERIFY2(event.contains(QLatin1String("1796630380.")), qPrintable(event));
    }

    // A poll batch the database answers only after stop() is dropped: its rows are read again after
    // the next start, and announced once.
    void batchInFlightAtStopIsReadAgainAfterStart()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_stop_in_flight")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QTRY_VERIFY(!ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL query")).isEmpty());

        // The lock holds the next poll inside the database until the link has stopped.
        ApiTest::Database locker(m_db);
        QVERIFY2(locker.exec(QStringLiteral("lock tables cel write")), qPrintable(locker.error()));
        QVERIFY2(locker.insert(QStringLiteral("cel"),
                               ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")))),
                 qPrintable(locker.error()));
        QTRY_VERIFY(waitingPolls() == 1);
        api->stop();
        QVERIFY2(locker.exec(QStringLiteral("unlock tables")), qPrintable(locker.error()));
        QTRY_COMPARE(ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL batch after a stop dropped"))
                         .size(),
                     1);
        QVERIFY(recorder.events().isEmpty());
        QCOMPARE(api->lastEventId(), 0);
        QVERIFY(!QFile::exists(statePath()));

        QVERIFY(startAndWait(*api));
        QTRY_COMPARE(api->lastEventId(), 15);
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents());
        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 15);
    }

    // An ad-hoc statement slower than its read time-out runs on a connection of its own: the call
    // events go on meanwhile, and the statement is rejected once, not run again.
    void slowStatementNeverHoldsUpThePoll()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_slow_statement")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        api->setStatementReadTimeout(std::chrono::seconds(2));
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));

        Orvix::Utils::Promise<QJsonObject, QString> promise;
        auto outcome = watch(promise);
        api->executeSqlQuery(QStringLiteral("select sleep(4) as slow_statement"), promise);
        QTRY_VERIFY(runningStatements(QStringLiteral("slow_statement")) == 1);
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl")));
        QTRY_COMPARE(recorder.events().size(), 5);
        QVERIFY(!outcome->settled);

        QTRY_VERIFY_WITH_TIMEOUT(outcome->settled, 15000);
        QVERIFY(!outcome->resolved);
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("Query outran the read time-out of 2 s, not run again")), 1);
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("Lost connection to database, reconnecting")), 0);
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents());
    }

    void ignoredRowsAreReadAHundredAtATime()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_batches")));
        ApiTest::MessageLog log;
        {
            ApiTest::Database db(m_db);
            QVERIFY2(db.insertIgnored(1, 250), qPrintable(db.error()));
        }
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QTRY_COMPARE(api->lastEventId(), 250);

        QStringList batches = ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL batch"));
        batches.removeAll(QStringLiteral("CEL batch: 0 records, last id 250"));
        QCOMPARE(batches,
                 (QStringList{QStringLiteral("CEL batch: 100 records, last id 100"),
                              QStringLiteral("CEL batch: 100 records, last id 200"),
                              QStringLiteral("CEL batch: 50 records, last id 250")}));
        QVERIFY(recorder.events().isEmpty());
        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 250);
    }

    // Without a saved position the poll starts right before the first record of the history, found
    // once, instead of reading the table from id 0 on every poll.
    void cleanStartBeginsAtTheHistoryStart_data()
    {
        QTest::addColumn<int>("oldRows");
        QTest::addColumn<bool>("callBeforeStart");
        QTest::addColumn<int>("position");
        // An old record stamped at the history start itself, the records after it a second earlier (the
        // PBX writes its rows a moment after stamping them): 0 for none.
        QTest::addColumn<int>("lateRow");
        QTest::newRow("empty table") << 0 << false << 0 << 0;
        QTest::newRow("only rows before the history start") << 250 << false << 250 << 0;
        QTest::newRow("history starts inside the table") << 250 << true << 250 << 0;
        QTest::newRow("a row of the start before rows of the second before") << 250 << true << 247 << 248;
    }

    void cleanStartBeginsAtTheHistoryStart()
    {
        QFETCH(int, oldRows);
        QFETCH(bool, callBeforeStart);
        QFETCH(int, position);
        QFETCH(int, lateRow);
        QVERIFY(prepare(QStringLiteral("tst_api_clean_start")));
        Orvix::Config::Manager::update(QJsonObject{
            {QStringLiteral("App"), QJsonObject{{QStringLiteral("history_start_date"), QStringLiteral("2025-01-01 00:00:00")}}}});
        QList<QJsonObject> call = ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")));
        for (QJsonObject &row : call)
            row.insert(QStringLiteral("id"), row.value(QStringLiteral("id")).toInt() + oldRows);
        {
            ApiTest::Database db(m_db);
            if (oldRows > 0) {
                QVERIFY2(db.insertIgnored(1, oldRows), qPrintable(db.error()));
                QVERIFY2(db.exec(QStringLiteral("update cel set eventtime = '2024-06-01 12:00:00'")), qPrintable(db.error()));
            }
            if (lateRow > 0) {
                QVERIFY2(db.exec(QStringLiteral("update cel set eventtime = '2025-01-01 00:00:00' where id = %1")
                                     .arg(lateRow)),
                         qPrintable(db.error()));
                QVERIFY2(db.exec(QStringLiteral("update cel set eventtime = '2024-12-31 23:59:59' where id > %1")
                                     .arg(lateRow)),
                         qPrintable(db.error()));
            }
            if (callBeforeStart)
                QVERIFY2(db.insert(QStringLiteral("cel"), call), qPrintable(db.error()));
        }
        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QTRY_VERIFY(!ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL query")).isEmpty());
        QCOMPARE(ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL query")).first(),
                 QStringLiteral("CEL query after id %1").arg(position));
        if (!callBeforeStart)
            QVERIFY(insertCelRows(call));
        QTRY_COMPARE(api->lastEventId(), oldRows + 15);
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents());
    }

    void emptyBatchWritesNoState()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_empty")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        QVERIFY(startAndWait(*api));
        QTRY_VERIFY(ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL batch: 0 records"))
                        .size()
                    >= 3);
        QVERIFY(!QFile::exists(statePath()));
        QCOMPARE(api->lastEventId(), 0);
    }

    void stateDirectoryIsCreatedAndWriteFailureIsReported()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_statedir")));
        ApiTest::MessageLog log;
        // The generated folder of a fresh installation does not exist yet, several levels deep.
        auto api = makeApi();
        api->setGeneratedDirectory(m_generated->filePath(QStringLiteral("a/b/generated")));
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), 3));
        QTRY_COMPARE(ApiTest::readJsonFile(m_generated->filePath(QStringLiteral("a/b/generated/state.json")))
                         .value(QStringLiteral("previous_event_id"))
                         .toInt(),
                     3);

        // A place where no directory can be made: the poll goes on, and the administrator is told.
        QVERIFY(blockStateDirectory(*api));
        QVERIFY(insertCelAfter(QStringLiteral("cel-a-inbound-answered.jsonl"), 3));
        QTRY_COMPARE(api->lastEventId(), 15);
        QTRY_VERIFY(ApiTest::MessageLog::count(QStringLiteral("Cannot save the PBX state")) >= 1);
    }

    void savedStateIsReadAtStart_data()
    {
        QTest::addColumn<bool>("savedByService");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("lastId");
        QTest::addColumn<bool>("warned");
        // Which of the five events of the recorded call the started link still reports.
        QTest::addColumn<int>("firstEvent");
        QTest::newRow("saved in the middle of a call") << true << QByteArray() << 7 << false << 3;
        QTest::newRow("zero bytes (a clean run)") << false << QByteArray("") << 0 << false << 0;
        QTest::newRow("not JSON") << false << QByteArray("{\"previous_event_id\": 7, \"calls\"") << 0 << true << 0;
        // Read up to the first NUL; without the call's channels the rest of the call is not followed.
        QTest::newRow("text after a NUL byte")
            << false << QByteArray("{\"previous_event_id\": 7}\0garbage", 32) << 7 << false << 5;
    }

    void savedStateIsReadAtStart()
    {
        QFETCH(bool, savedByService);
        QFETCH(QByteArray, content);
        QFETCH(int, lastId);
        QFETCH(bool, warned);
        QFETCH(int, firstEvent);
        QVERIFY(prepare(QStringLiteral("tst_api_load")));
        if (savedByService) {
            auto first = makeApi();
            QVERIFY(startAndWait(*first));
            QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
            QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 7);
            first.reset(); // the service stops in the middle of the call
        } else {
            QVERIFY(QDir().mkpath(m_generated->filePath(QStringLiteral("generated"))));
            QFile file(statePath());
            QVERIFY(file.open(QIODevice::WriteOnly));
            QCOMPARE(file.write(content), qint64(content.size()));
        }

        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QCOMPARE(api->lastEventId(), Orvix::PBX::Asterisk::CelId(lastId));
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("cannot be read, starting from CEL id 0")), warned ? 1 : 0);

        // The whole recorded call is in the table now: what was read before is not announced again.
        if (savedByService) {
            QVERIFY(insertCelAfter(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        } else {
            QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl")));
        }
        QTRY_COMPARE(api->lastEventId(), Orvix::PBX::Asterisk::CelId(15));
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents().mid(firstEvent));
    }

    void failedSaveIsNotReloadedAfterStopAndStart()
    {
        // The call ends while state.json cannot be written; the file still shows it talking at CEL id 7.
        // A stop and start of the link must go on from what it holds in memory, not from the file, or
        // the call's end would be read and reported a second time.
        QVERIFY(prepare(QStringLiteral("tst_api_behind")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 7);

        QVERIFY(blockStateDirectory(*api));
        QVERIFY(insertCelAfter(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        QTRY_COMPARE(recorder.events(), ApiTest::inboundCallEvents());
        QTRY_VERIFY(ApiTest::MessageLog::count(QStringLiteral("Cannot save the PBX state")) >= 1);

        // The stop cannot write the state either.
        api->stop();
        api->setGeneratedDirectory(m_generated->filePath(QStringLiteral("generated")));
        QVERIFY(startAndWait(*api));
        QCOMPARE(api->lastEventId(), Orvix::PBX::Asterisk::CelId(15));
        QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("is behind (CEL id 7, in memory 15)")), 1);
        QVERIFY(insertCel(QStringLiteral("cel-c-outbound-answered.jsonl")));
        QTRY_COMPARE(recorder.events().size(), 10);
        QCOMPARE(recorder.events().mid(5), ApiTest::outboundCallEvents());
        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 39);
    }

    // As after a kill -9: the last rows were announced but their state never reached the disk. A new
    // link goes on from the saved position and state: only the rows after it are announced again.
    void restartFromAStateBehindRepeatsOnlyLaterRows()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_killed")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder first(*api);
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        QTRY_COMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 7);
        QVERIFY(blockStateDirectory(*api));
        QVERIFY(insertCelAfter(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        QTRY_COMPARE(first.events(), ApiTest::inboundCallEvents());
        api.reset();

        auto restarted = makeApi();
        ApiTest::EventRecorder second(*restarted);
        QVERIFY(startAndWait(*restarted));
        QTRY_COMPARE(restarted->lastEventId(), 15);
        QCOMPARE(second.events(), ApiTest::inboundCallEvents().mid(3));
    }

    void eventsSqlOverrideRunsOnceAndKeepsTheSavedPosition()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_override")));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl")));
        QVERIFY(insertCel(QStringLiteral("cel-c-outbound-answered.jsonl")));
        QDir().mkpath(m_generated->filePath(QStringLiteral("generated")));
        {
            QFile saved(statePath());
            QVERIFY(saved.open(QIODevice::WriteOnly));
            saved.write(R"({"previous_event_id": 7, "calls": {}, "channels": {}})");
        }
        ApiTest::MessageLog log;
        auto api = makeApi();
        ApiTest::EventRecorder recorder(*api);
        api->start();
        api->setEventsSql(QStringLiteral("select id, eventtype, eventtime, cid_num, exten, uniqueid, linkedid, channame "
                                         "from cel where linkedid = '1796630283.4' and id > :last_id order by id"));
        QTRY_COMPARE(recorder.events().size(), 5);
        QCOMPARE(recorder.events(), ApiTest::outboundCallEvents());
        // One query, no poll behind it, and the production position untouched.
        QCOMPARE(ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL query")).size(), 1);
        QCOMPARE(ApiTest::readJsonFile(statePath()).value(QStringLiteral("previous_event_id")).toInt(), 7);
    }

    void lostAmiConnectionAsksToStop_data()
    {
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("reason");
        QTest::newRow("server closes") << "closed" << QStringLiteral("Lost connection to Asterisk");
        QTest::newRow("nothing listens")
            << "refused" << QStringLiteral("Cannot connect to Asterisk at 127.0.0.1:%1: connection refused");
        // The PBX answers a wrong secret and then closes the connection: the administrator must read why.
        QTest::newRow("wrong password")
            << "password" << QStringLiteral("Cannot connect to Asterisk at 127.0.0.1:%1: Authentication failed");
    }

    void lostAmiConnectionAsksToStop()
    {
        QFETCH(QString, failure);
        QFETCH(QString, reason);
        const bool refused = failure == QLatin1String("refused");
        QVERIFY(prepare(QStringLiteral("tst_api_lost"), {},
                        failure == QLatin1String("password")
                            ? QJsonObject{{QStringLiteral("password"), QStringLiteral("wrong")}}
                            : QJsonObject{}));
        if (reason.contains(QLatin1String("%1")))
            reason = reason.arg(m_ami->port());
        if (refused)
            m_ami.reset(); // the configured port is free again
        auto api = makeApi();
        QSignalSpy stop(api.get(), &API::shouldStop);
        if (failure == QLatin1String("closed")) {
            QVERIFY(startAndWait(*api));
            m_ami->closeConnections();
        } else {
            api->start();
        }
        QTRY_VERIFY_WITH_TIMEOUT(!stop.isEmpty(), 10000);
        QCOMPARE(stop.first().first().toString(), reason);
        if (!refused) {
            // Reported once; the link does not reconnect by itself.
            QTest::qWait(300);
            QCOMPARE(stop.count(), 1);
            QCOMPARE(m_ami->frames(QStringLiteral("Login")).size(), 1);
        }
    }

    void originateAsksForCustomizationFirst_data()
    {
        QTest::addColumn<QString>("customizer"); // "resolve", "change", "reject" or "none"
        QTest::addColumn<QString>("amiReply");
        QTest::addColumn<QString>("channel");
        QTest::addColumn<bool>("resolved");
        QTest::newRow("customizer keeps") << "resolve" << "Success" << "SIP/101" << true;
        QTest::newRow("customizer changes") << "change" << "Success" << "PJSIP/101" << true;
        QTest::newRow("customizer fails") << "reject" << "Success" << "SIP/101" << true;
        QTest::newRow("no customizer") << "none" << "Success" << "SIP/101" << true;
        QTest::newRow("pbx refuses") << "resolve" << "Error" << "SIP/101" << false;
    }

    void originateAsksForCustomizationFirst()
    {
        QFETCH(QString, customizer);
        QFETCH(QString, amiReply);
        QFETCH(QString, channel);
        QFETCH(bool, resolved);
        QVERIFY(prepare(QStringLiteral("tst_api_originate")));
        m_ami->setReply(QStringLiteral("Originate"), amiReply, QStringLiteral("Originate successfully queued"));
        auto api = makeApi();
        QVERIFY(startAndWait(*api));

        QList<QHash<QString, QString>> requests;
        if (customizer != QLatin1String("none")) {
            connect(api.get(), &API::originateCustomizationRequest, this,
                    [&](const QHash<QString, QString> &params,
                        Orvix::Utils::Promise<QHash<QString, QString>, QString> promise) {
                        requests.append(params);
                        if (customizer == QLatin1String("reject")) {
                            promise.reject(QStringLiteral("script failed"));
                        } else {
                            QHash<QString, QString> changed = params;
                            if (customizer == QLatin1String("change"))
                                changed.insert(QStringLiteral("channel"), QStringLiteral("PJSIP/101"));
                            promise.resolve(changed);
                        }
                    });
        }
        auto outcome = watch(api->originate(QStringLiteral("101"), QStringLiteral("84951112233"), QStringLiteral("5")));
        QTRY_VERIFY(outcome->settled);
        QCOMPARE(outcome->resolved, resolved);

        if (customizer != QLatin1String("none")) {
            QCOMPARE(requests.size(), 1);
            const QHash<QString, QString> params = requests.first();
            QCOMPARE(params.value(QStringLiteral("LINE_NUMBER")), QStringLiteral("5"));
            QCOMPARE(params.value(QStringLiteral("channel")), QStringLiteral("SIP/101"));
            QCOMPARE(params.value(QStringLiteral("extension")), QStringLiteral("84951112233"));
            QCOMPARE(params.value(QStringLiteral("context")), QStringLiteral("from-internal"));
        }
        const auto frames = m_ami->frames(QStringLiteral("Originate"));
        QCOMPARE(frames.size(), 1);
        const auto &frame = frames.first();
        QCOMPARE(frame.value(QStringLiteral("Channel")), channel);
        QCOMPARE(frame.value(QStringLiteral("Context")), QStringLiteral("from-internal"));
        QCOMPARE(frame.value(QStringLiteral("Exten")), QStringLiteral("84951112233"));
        QCOMPARE(frame.value(QStringLiteral("Priority")), QStringLiteral("1"));
        QCOMPARE(frame.value(QStringLiteral("Callerid")), QStringLiteral("Звонок на 84951112233 <84951112233>"));
        QCOMPARE(frame.keys(), (QStringList{QStringLiteral("Callerid"), QStringLiteral("Channel"),
                                            QStringLiteral("Context"), QStringLiteral("Exten"),
                                            QStringLiteral("Priority")}));
        // A refused originate forgets the pending pair, an accepted one keeps it for the tracker.
        QCOMPARE(api->eventHandler().originateDictionary().contains(QStringLiteral("101")), resolved);
    }

    void callbackUsesItsOwnTemplate()
    {
        QVERIFY(prepare(QStringLiteral("tst_api_callback"), {},
                        QJsonObject{{QStringLiteral("callback"),
                                     QJsonObject{{QStringLiteral("channel"), QStringLiteral("Local/#TO#@callback")},
                                                 {QStringLiteral("context"), QStringLiteral("callback-queue")},
                                                 {QStringLiteral("extension"), QStringLiteral("#FROM#")},
                                                 {QStringLiteral("priority"), QStringLiteral("2")}}}}));
        auto api = makeApi();
        QVERIFY(startAndWait(*api));
        QHash<QString, QString> request;
        connect(api.get(), &API::originateCustomizationRequest, this,
                [&](const QHash<QString, QString> &params, Orvix::Utils::Promise<QHash<QString, QString>, QString> promise) {
                    request = params;
                    promise.resolve(params);
                });
        auto outcome = watch(api->callBackOriginate(QStringLiteral("84951112233"), QStringLiteral("7")));
        QTRY_VERIFY(outcome->settled);
        QVERIFY(outcome->resolved);
        QCOMPARE(request.value(QStringLiteral("LINE_NUMBER")), QStringLiteral("7"));
        const auto frames = m_ami->frames(QStringLiteral("Originate"));
        QCOMPARE(frames.size(), 1);
        QCOMPARE(frames.first().value(QStringLiteral("Channel")), QStringLiteral("Local/84951112233@callback"));
        QCOMPARE(frames.first().value(QStringLiteral("Context")), QStringLiteral("callback-queue"));
        // Only #TO# is a placeholder of the callback template; nothing is remembered for the tracker.
        QCOMPARE(frames.first().value(QStringLiteral("Exten")), QStringLiteral("#FROM#"));
        QCOMPARE(frames.first().value(QStringLiteral("Priority")), QStringLiteral("2"));
        QVERIFY(api->eventHandler().originateDictionary().isEmpty());
    }

    void callControlActsOnTheRightChannel_data()
    {
        QTest::addColumn<QString>("celFile");
        QTest::addColumn<int>("lastRow");
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("action");    // empty: refused, nothing sent
        QTest::addColumn<QString>("channel");
        QTest::addColumn<QString>("exten");

        const QString in = QStringLiteral("cel-a-inbound-answered.jsonl");
        const QString out = QStringLiteral("cel-c-outbound-answered.jsonl");
        // Hang-up acts on the call's primary channel.
        QTest::newRow("hangup incoming") << in << 7 << "hangup" << "101" << "Hangup" << "SIP/trunk-00000000" << "";
        QTest::newRow("hangup outgoing") << out << 31 << "hangup" << "101" << "Hangup" << "SIP/101-00000004" << "";
        // Transfer moves the far end: the leg itself when incoming, the call's caller when outgoing.
        QTest::newRow("blind transfer incoming")
            << in << 7 << "blind" << "101" << "BlindTransfer" << "SIP/101-00000001" << "102";
        QTest::newRow("attended transfer incoming")
            << in << 7 << "attended" << "101" << "Atxfer" << "SIP/101-00000001" << "102";
        QTest::newRow("blind transfer outgoing")
            << out << 31 << "blind" << "101" << "BlindTransfer" << "SIP/101-00000004" << "102";
        QTest::newRow("redirect by channel id")
            << in << 7 << "redirect" << "1796630253.0" << "Redirect" << "SIP/trunk-00000000" << "102";
        QTest::newRow("hangup unknown number") << in << 7 << "hangup" << "555" << "" << "" << "";
        QTest::newRow("hangup empty number") << in << 7 << "hangup" << "" << "" << "" << "";
        QTest::newRow("transfer unknown number") << in << 7 << "blind" << "555" << "" << "" << "";
        QTest::newRow("redirect unknown channel") << in << 7 << "redirect" << "1.2" << "" << "" << "";
        QTest::newRow("hangup after the call ended") << in << 15 << "hangup" << "101" << "" << "" << "";
    }

    void callControlActsOnTheRightChannel()
    {
        QFETCH(QString, celFile);
        QFETCH(int, lastRow);
        QFETCH(QString, operation);
        QFETCH(QString, argument);
        QFETCH(QString, action);
        QFETCH(QString, channel);
        QFETCH(QString, exten);

        QVERIFY(prepare(QStringLiteral("tst_api_control")));
        auto api = makeApi();
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(celFile, lastRow));
        QTRY_COMPARE(api->lastEventId(), lastRow);

        QSignalSpy frames(m_ami.get(), &FakeAmiServer::frameReceived);
        Orvix::Utils::Promise<void, QString> promise;
        if (operation == QLatin1String("hangup"))
            promise = api->hangup(argument);
        else if (operation == QLatin1String("blind"))
            promise = api->transfer(argument, QStringLiteral("102"), true);
        else if (operation == QLatin1String("attended"))
            promise = api->transfer(argument, QStringLiteral("102"), false);
        else
            promise = api->redirect(argument, QStringLiteral("102"));
        auto outcome = watch(promise);
        QTRY_VERIFY(outcome->settled);

        if (action.isEmpty()) {
            QVERIFY(!outcome->resolved);
            QCOMPARE(frames.count(), 0);
            return;
        }
        QVERIFY(outcome->resolved);
        QCOMPARE(frames.count(), 1);
        const auto frame = frames.first().first().value<FakeAmiServer::Frame>();
        QCOMPARE(frame.action, action);
        QCOMPARE(frame.value(QStringLiteral("Channel")), channel);
        if (action != QLatin1String("Hangup")) {
            QCOMPARE(frame.value(QStringLiteral("Context")), QStringLiteral("from-internal"));
            QCOMPARE(frame.value(QStringLiteral("Exten")), exten);
        }
        if (action == QLatin1String("Redirect"))
            QCOMPARE(frame.value(QStringLiteral("Priority")), QStringLiteral("1"));
    }

    void callCutByAPbxRestart_data()
    {
        QTest::addColumn<bool>("stillLive");
        QTest::addColumn<QString>("meanwhile"); // before the list after the new login was checked
        QTest::addColumn<int>("pbxBehind");     // seconds the PBX's clock (CEL eventtime) is behind this host's
        QTest::newRow("no channel after the new login") << false << "" << 0;
        QTest::newRow("its channels still up") << true << "" << 0;
        QTest::newRow("the link lost again") << false << "lost again" << 0;
        QTest::newRow("the service restarted") << false << "service restart" << 0;
        QTest::newRow("the PBX's clock 3 hours behind") << false << "" << 3 * 3600;
        QTest::newRow("the PBX's clock 5 s ahead") << false << "" << -5;
        QTest::newRow("lost again at once after a service restart") << false << "restart, lost" << 0;
        // Until a new row confirms the offset saved, the PBX's time is no later than the one saved.
        QTest::newRow("lost again at once after a service restart, this host's clock set 2 hours ahead meanwhile")
            << false << "restart, lost, host ahead" << 0;
    }

    // A call up to its answer, then the PBX restarts: no end row ever comes. Missing from the channel list
    // of the new login and from a second one a few seconds later, the call ends once, when the link was first
    // lost (its talk lasted until then, not until its answer); unless the PBX still has its channels.
    void callCutByAPbxRestart()
    {
        QFETCH(bool, stillLive);
        QFETCH(QString, meanwhile);
        QFETCH(int, pbxBehind);
        const auto onPbxClock = [pbxBehind](QList<QJsonObject> rows) {
            const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
            for (QJsonObject &row : rows)
                row.insert("eventtime", QDateTime::fromString(row.value("eventtime").toString(), format)
                                            .addSecs(-pbxBehind).toString(format));
            return rows;
        };
        QVERIFY(prepare(QStringLiteral("tst_api_cut")));
        ApiTest::MessageLog log;
        auto api = makeApi();
        auto recorder = std::make_unique<ApiTest::EventRecorder>(*api);
        QList<Orvix::Entities::Call> ended;
        const auto watchEnds = [this, &api, &ended] {
            connect(api.get(), &API::callEnded, this, [&ended](const Orvix::Entities::Call &call) { ended.append(call); });
        };
        watchEnds();
        QVERIFY(startAndWait(*api));
        const QList<QJsonObject> cut = onPbxClock(
            ApiTest::recent(ApiTest::upToId(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")), 7)));
        QVERIFY(insertCelRows(cut));
        QTRY_COMPARE(recorder->events().size(), 3);
        // The PBX goes on with another call: a row stamped now, on its clock.
        const QList<QJsonObject> newest = onPbxClock(ApiTest::recent(
            ApiTest::upToId(ApiTest::readRows(QStringLiteral("cel-c-outbound-answered.jsonl")), 26).mid(1), 0));
        QVERIFY(insertCelRows(newest));
        QTRY_COMPARE(api->lastEventId(), 26);

        const QList<FakeAmiServer::LiveChannel> itsChannels{
            {"SIP/trunk-00000000", "1796630253.0", "1796630253.0", "79161234567"},
            {"SIP/101-00000001", "1796630253.1", "1796630253.0", "101"}};
        if (stillLive || meanwhile.startsWith(QLatin1String("restart, lost")))
            m_ami->setChannels(itsChannels);
        QSignalSpy stop(api.get(), &API::shouldStop);
        m_ami->closeConnections();
        QTRY_COMPARE(stop.count(), 1);
        QDateTime lostBy = QDateTime::currentDateTime();
        api->stop();
        int logins = 1;
        if (meanwhile == QLatin1String("lost again")) {
            QVERIFY(startAndWait(*api));
            QTRY_COMPARE(m_ami->frames(QStringLiteral("CoreShowChannels")).size(), 1);
            m_ami->closeConnections();
            QTRY_COMPARE(stop.count(), 2);
            api->stop();
            ++logins;
        } else if (meanwhile.contains(QLatin1String("restart"))) {
            api.reset();
            if (meanwhile.contains(QLatin1String("host ahead")))
                Orvix::Entities::Clock::setSource([] { return QDateTime::currentDateTime().addSecs(2 * 3600); });
            api = makeApi();
            recorder = std::make_unique<ApiTest::EventRecorder>(*api);
            watchEnds();
        }
        if (meanwhile.startsWith(QLatin1String("restart, lost"))) {
            // Still up at the new start, the call is cut before any new row: on the PBX's clock all the same.
            QSignalSpy lost(api.get(), &API::shouldStop);
            QVERIFY(startAndWait(*api));
            QTRY_COMPARE(ApiTest::MessageLog::count(QStringLiteral("Calls checked against the PBX's")), 1);
            m_ami->setChannels({});
            m_ami->closeConnections();
            QTRY_COMPARE(lost.count(), 1);
            lostBy = QDateTime::currentDateTime();
            api->stop();
            ++logins;
        }
        // The saved call is not announced again.
        const int seen = recorder->events().size();
        const int checks = ApiTest::MessageLog::count(QStringLiteral("Calls checked against the PBX's"));
        QVERIFY(startAndWait(*api));
        QTRY_COMPARE(ApiTest::MessageLog::count(QStringLiteral("Calls checked against the PBX's")), checks + 1);
        QCOMPARE(m_ami->frames(QStringLiteral("CoreShowChannels")).size(), logins);
        QCOMPARE(recorder->events().size(), seen);
        if (!stillLive) {
            QTRY_COMPARE_WITH_TIMEOUT(ended.size(), 1, 15000);
            QCOMPARE(m_ami->frames(QStringLiteral("CoreShowChannels")).size(), logins + 1);
            const Orvix::Entities::Conversation leg = ended.first().mainConversation();
            // On the PBX's clock, never past the loss and never before the newest row read then; how far before
            // the loss is the time the poll took to read that row, and after a restart the time the service was
            // down as well (the PBX's time is then the one saved until a new row comes).
            const QDateTime newestRead = QDateTime::fromString(newest.first().value("eventtime").toString(),
                                                               QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            QVERIFY(newestRead <= ended.first().endedAt() && ended.first().endedAt() <= lostBy.addSecs(-pbxBehind));
            QCOMPARE(leg.endedAt(), ended.first().endedAt());
            QVERIFY2(leg.talkDuration() >= 20, qPrintable(QString::number(leg.talkDuration())));
        }

        // The same customer calls again, a few seconds after the list: a call of its own.
        QList<QJsonObject> again = onPbxClock(ApiTest::recent(cut, -3));
        for (QJsonObject &row : again) {
            row.insert(QStringLiteral("id"), row.value(QStringLiteral("id")).toInt() + 100);
            for (const QString &key : {QStringLiteral("uniqueid"), QStringLiteral("linkedid"), QStringLiteral("channame")})
                row.insert(key, row.value(key).toString().replace(QStringLiteral("1796630253."), QStringLiteral("1796630290."))
                                    .replace(QStringLiteral("-0000000"), QStringLiteral("-0000002")));
        }
        QVERIFY(insertCelRows(again));
        QTRY_COMPARE(api->lastEventId(), 107);
        QVERIFY(recorder->events().contains(QStringLiteral("callStarted:1796630290.0")));
        QCOMPARE(ended.size(), stillLive ? 0 : 1);
        // Ended or not, it stays 30 minutes by the PBX's clock.
        QVERIFY(api->eventHandler().calls().contains(QStringLiteral("1796630253.0")));
        if (!stillLive) {
            QCOMPARE(recorder->events().filter(QStringLiteral(":1796630253.")).mid(seen),
                     (QStringList{QStringLiteral("conversationEnded:1796630253.1"),
                                  QStringLiteral("callEnded:1796630253.0")}));
            QCOMPARE(ApiTest::MessageLog::count(QStringLiteral("[1796630253.0]\tCall ended\t\tWarning\tThe PBX has no channel")), 1);
        }

        // A transfer for 101 acts on the conversation that is live now, the latest.
        auto outcome = watch(api->transfer(QStringLiteral("101"), QStringLiteral("102"), false));
        QTRY_VERIFY(outcome->settled);
        QCOMPARE(m_ami->frames(QStringLiteral("Atxfer")).last().value(QStringLiteral("Channel")),
                 QStringLiteral("SIP/101-00000021"));
    }

    void refusedCallControlIsReported_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("linkLost");
        QTest::addColumn<QString>("reason"); // "%1": the AMI server's port
        QTest::newRow("Asterisk refuses the hangup") << "hangup" << false << "No such channel";
        QTest::newRow("Asterisk refuses the originate") << "originate" << false << "Originate failed";
        QTest::newRow("hangup, the link lost")
            << "hangup" << true << "no connection to Asterisk at 127.0.0.1:%1 (closed by the other side)";
    }

    // The client learns why: Asterisk's own words, or where and why there is no connection, at once.
    void refusedCallControlIsReported()
    {
        QFETCH(QString, operation);
        QFETCH(bool, linkLost);
        QFETCH(QString, reason);
        QVERIFY(prepare(QStringLiteral("tst_api_refused")));
        m_ami->setReply(QStringLiteral("Hangup"), QStringLiteral("Error"), QStringLiteral("No such channel"));
        m_ami->setReply(QStringLiteral("Originate"), QStringLiteral("Error"), QStringLiteral("Originate failed"));
        auto api = makeApi();
        QVERIFY(startAndWait(*api));
        QVERIFY(insertCel(QStringLiteral("cel-a-inbound-answered.jsonl"), 7));
        QTRY_COMPARE(api->lastEventId(), 7);
        if (linkLost) {
            QSignalSpy stop(api.get(), &API::shouldStop);
            m_ami->closeConnections();
            QVERIFY(stop.wait(10000));
        }
        auto outcome = watch(operation == QLatin1String("hangup")
                                 ? api->hangup(QStringLiteral("101"))
                                 : api->originate(QStringLiteral("101"), QStringLiteral("102"), QString()));
        QTRY_VERIFY(outcome->rejected);
        QCOMPARE(outcome->error, reason.contains(QLatin1String("%1")) ? reason.arg(m_ami->port()) : reason);
    }
};

QTEST_GUILESS_MAIN(tst_Api)
#include "tst_api.moc"
