#include "tst_api_support.h"

#include "pbx/asterisk/api.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::PBX::Asterisk::API;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::MariaDbFixture;

// The saved position with the default generated directory, for a service whose working directory is
// not the folder of its executable. Changes the process's working directory, hence a program of its own.
class tst_ApiWorkdir : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_configDir;
    QTemporaryDir m_workingDir;
    QString m_postfix;

    QString expectedDirectory() const
    {
        return QCoreApplication::applicationDirPath() + QStringLiteral("/generated") + m_postfix;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_configDir.isValid() && m_workingDir.isValid());
        QVERIFY(ApiTest::initConfig(m_configDir));
        // A folder of this run's own beside the test program, removed again at the end.
        m_postfix = QStringLiteral("_tst_api_workdir_%1").arg(QCoreApplication::applicationPid());
        QDir(expectedDirectory()).removeRecursively();
        QVERIFY(QDir::setCurrent(m_workingDir.path()));
    }

    void cleanupTestCase()
    {
        QDir(expectedDirectory()).removeRecursively();
        Orvix::Config::Manager::resetForTesting();
    }

    void stateIsWrittenBesideTheExecutableAndReadBack()
    {
        const auto db = MariaDbFixture::createDatabase(QStringLiteral("tst_api_workdir"));
        QVERIFY2(db.isValid(), qPrintable(db.error));
        ApiTest::Database sql(db);
        QVERIFY2(sql.createSchema(), qPrintable(sql.error()));
        FakeAmiServer ami;
        QVERIFY(ami.listen());
        QVERIFY(ApiTest::configure(ami, db, QJsonObject{{QStringLiteral("generated_postfix"), m_postfix}}).isEmpty());

        {
            API api(nullptr, Orvix::Config::Manager());
            QCOMPARE(api.stateFilePath(), expectedDirectory() + QStringLiteral("/state.json"));
            ApiTest::EventRecorder recorder(api);
            QSignalSpy started(&api, &API::started);
            api.start();
            QVERIFY(started.wait(10000));
            QVERIFY(sql.insert(QStringLiteral("cel"),
                               ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-a-inbound-answered.jsonl")))));
            QTRY_COMPARE(recorder.events(), ApiTest::inboundCallEvents());
            QTRY_COMPARE(ApiTest::readJsonFile(api.stateFilePath()).value(QStringLiteral("previous_event_id")).toInt(),
                         15);
        }
        // Nothing went to the working directory.
        QVERIFY(QDir(m_workingDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

        // The restarted service goes on after the saved record and keeps the calls it followed.
        API restarted(nullptr, Orvix::Config::Manager());
        ApiTest::EventRecorder recorder(restarted);
        QSignalSpy started(&restarted, &API::started);
        restarted.start();
        QVERIFY(started.wait(10000));
        QCOMPARE(restarted.lastEventId(), 15);
        QVERIFY(restarted.eventHandler().calls().contains(QStringLiteral("1796630253.0")));
        QVERIFY(sql.insert(QStringLiteral("cel"),
                           ApiTest::recent(ApiTest::readRows(QStringLiteral("cel-c-outbound-answered.jsonl")))));
        QTRY_COMPARE(recorder.events(), ApiTest::outboundCallEvents());
    }
};

QTEST_GUILESS_MAIN(tst_ApiWorkdir)
#include "tst_api_workdir.moc"
