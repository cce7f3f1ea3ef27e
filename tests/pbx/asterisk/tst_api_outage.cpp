#include "tst_api_support.h"

#include "pbx/asterisk/api.h"
#include "pbx/asterisk/connector.h"
#include "support/fakeamiserver.h"
#include "support/mariadbserver.h"
#include "support/promisewatch.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::PBX::Asterisk::API;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::MariaDbServer;

// The CEL poll while the PBX database is away, on a MariaDB server of this test's own.
class tst_ApiOutage : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_configDir;
    QTemporaryDir m_generated;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_configDir.isValid() && m_generated.isValid());
        QVERIFY(ApiTest::initConfig(m_configDir));
    }

    void cleanupTestCase() { Orvix::Config::Manager::resetForTesting(); }

    void silentAsteriskStopsTheLink()
    {
        // A manager that accepts the connection and never says a word: the link must give up and ask to be
        // restarted, or it would wait for ever and nothing above it would hear of the outage.
        FakeAmiServer ami;
        QVERIFY(ami.listen());
        ami.setSilent(true);
        Orvix::Tests::MariaDbSettings unusedDatabase;
        unusedDatabase.port = 3306; // never reached: the link gives up on the manager first
        QVERIFY(ApiTest::configure(ami, unusedDatabase).isEmpty());

        API api(nullptr, Orvix::Config::Manager());
        api.setGeneratedDirectory(m_generated.filePath(QStringLiteral("silent")));
        api.setAmiAnswerTimeout(std::chrono::milliseconds(300));
        QSignalSpy shouldStop(&api, &API::shouldStop);
        QSignalSpy started(&api, &API::started);
        api.start();
        QVERIFY(shouldStop.wait(10000));
        QCOMPARE(shouldStop.first().first().toString(),
                 QStringLiteral("Cannot connect to Asterisk at 127.0.0.1:%1: ").arg(ami.port())
                     + Orvix::PBX::Asterisk::kNoAnswerInTime);
        QCOMPARE(started.size(), 0);
        QTRY_COMPARE(ami.openConnections(), 0);
        api.stop();
        QCOMPARE(shouldStop.size(), 1);
    }

    void pollWaitsForTheDatabaseAndResumes()
    {
        MariaDbServer server;
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        {
            ApiTest::Database db(server.settings());
            QVERIFY2(db.createSchema(), qPrintable(db.error()));
        }
        FakeAmiServer ami;
        QVERIFY(ami.listen());
        QVERIFY(ApiTest::configure(ami, server.settings()).isEmpty());

        ApiTest::MessageLog log;
        API api(nullptr, Orvix::Config::Manager());
        api.setGeneratedDirectory(m_generated.filePath(QStringLiteral("generated")));
        ApiTest::EventRecorder recorder(api);
        QSignalSpy started(&api, &API::started);
        api.start();
        QVERIFY(started.wait(10000));
        QTRY_VERIFY(ApiTest::MessageLog::texts(QStringLiteral("pbx.poll"), QStringLiteral("CEL batch")).size() >= 2);

        QVERIFY2(server.halt(), qPrintable(server.errorString()));
        // A client of the recording route is told at once that the database is away, rather than held until it
        // is back; the CRM flow's own look-up waits for it.
        using Lookup = Orvix::PBX::Asterisk::ApiSql::RecordingLookup;
        const auto ask = [&api](Lookup lookup) {
            return Orvix::Tests::watch(api.getRecordingFileName(
                QStringLiteral("1796630253.0"), QStringLiteral("79161234567"), QStringLiteral("101"), lookup));
        };
        const auto client = ask(Lookup::Public);
        const auto own = ask(Lookup::Own);
        QTRY_VERIFY(client->settled);
        QCOMPARE(client->error.kind, Orvix::Entities::RecordingFailure::Unreachable);
        QVERIFY2(!client->error.reason.contains(QStringLiteral("127.0.0.1")), qPrintable(client->error.reason));
        QCOMPARE(ask(Lookup::Public)->error.kind, Orvix::Entities::RecordingFailure::Unreachable);
        // However the SQL worker copes with the outage (the query waits, or fails), it shows in the log.
        QTRY_VERIFY_WITH_TIMEOUT(ApiTest::MessageLog::count(QStringLiteral("Cannot connect to the database at"))
                                         + ApiTest::MessageLog::count(QStringLiteral("Failed to execute SQL-query"))
                                     >= 2,
                                 20000);
        QVERIFY(!own->settled);

        QVERIFY2(server.start(), qPrintable(server.errorString()));
        {
            ApiTest::Database db(server.settings());
            QVERIFY2(db.insert(QStringLiteral("cel"),
                               ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")))),
                     qPrintable(db.error()));
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events().size(), 5, 30000);
        QCOMPARE(recorder.events(), ApiTest::inboundCallEvents());
        QTRY_VERIFY(own->settled);
        QCOMPARE(own->error.kind, Orvix::Entities::RecordingFailure::Missing);
        // And a client's is asked again once the database is back.
        const auto clientAgain = ask(Lookup::Public);
        QTRY_VERIFY(clientAgain->settled);
        QCOMPARE(clientAgain->error.kind, Orvix::Entities::RecordingFailure::Missing);

        // A query that had piled up behind a waiting one would read the same records again; a call
        // inserted after them is reached only after every earlier query has been answered.
        {
            ApiTest::Database db(server.settings());
            QVERIFY(db.insert(QStringLiteral("cel"),
                              ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-c-outbound-answered.jsonl")))));
        }
        QTRY_COMPARE_WITH_TIMEOUT(recorder.events().size(), 10, 10000);
        QCOMPARE(recorder.events().mid(5), ApiTest::outboundCallEvents());

        // No poll query was ever sent while another was outstanding.
        int outstanding = 0;
        const auto lines = ApiTest::MessageLog::all();
        for (const auto &line : lines) {
            if (line.text.startsWith(QLatin1String("CEL query")))
                ++outstanding;
            else if (line.text.startsWith(QLatin1String("CEL batch"))
                     || line.text.startsWith(QLatin1String("Failed to execute SQL-query")))
                --outstanding;
            QVERIFY2(outstanding == 0 || outstanding == 1, qPrintable(line.text));
        }
        QTRY_COMPARE(ApiTest::readJsonFile(m_generated.filePath(QStringLiteral("generated/state.json")))
                         .value(QStringLiteral("previous_event_id"))
                         .toInt(),
                     39);
        api.stop();
    }
};

QTEST_GUILESS_MAIN(tst_ApiOutage)
#include "tst_api_outage.moc"
