// The service as an administrator runs it: the executable with its own configuration file, a real
// MariaDB holding the PBX's CEL table, and the AMI server. A call recorded on a real Asterisk 20 is
// written into the table and must come out of the log file as the call-trace lines of its events.

#include "pbx/asterisk/tst_api_support.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbSettings;

class tst_Service : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void recordedCallReachesTheLog();
    void restartContinuesFromTheSavedPosition();

private:
    bool startService();
    void stopService();
    QStringList traceLines() const;

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAmiServer> m_ami;
    MariaDbSettings m_database;
    QString m_generatedDir;
    QProcess m_service;
};

void tst_Service::init()
{
    QVERIFY(m_dir.isValid());
    QFile::remove(m_dir.filePath("calvena.log"));
    m_ami = std::make_unique<FakeAmiServer>();
    QVERIFY(m_ami->listen());
    m_database = MariaDbFixture::createDatabase(QStringLiteral("tst_service"));
    QVERIFY2(m_database.isValid(), qPrintable(m_database.error));
    ApiTest::Database db(m_database);
    QVERIFY2(db.createSchema(), qPrintable(db.error()));

    // The state lives beside the executable; a postfix of our own keeps other runs' files apart.
    const QString postfix = QStringLiteral("_tst_service_%1").arg(QCoreApplication::applicationPid());
    m_generatedDir = QFileInfo(QStringLiteral(CALVENA_BINARY)).absolutePath() + QStringLiteral("/generated") + postfix;
    QDir(m_generatedDir).removeRecursively();

    const QJsonObject config{
        {"App", QJsonObject{{"log_file", m_dir.filePath("calvena.log")},
                            {"log_level", "debug"},
                            {"generated_postfix", postfix},
                            {"history_start_date", "2000-01-01 00:00:00"}}},
        {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                 {"user", "crm"}, {"password", "crmsecret"}}},
        {"Database", QJsonObject{{"host", m_database.host}, {"port", m_database.port},
                                 {"user", m_database.user}, {"password", m_database.password},
                                 {"database", m_database.database}}},
    };
    QFile file(m_dir.filePath("config.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(config).toJson());
}

void tst_Service::cleanup()
{
    stopService();
    QDir(m_generatedDir).removeRecursively();
    m_ami.reset();
}

bool tst_Service::startService()
{
    m_service.setProgram(QStringLiteral(CALVENA_BINARY));
    m_service.setArguments({QStringLiteral("--configname"), m_dir.filePath("config.json")});
    // Started elsewhere than its own directory, as a service manager would.
    m_service.setWorkingDirectory(m_dir.path());
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.setStandardOutputFile(QProcess::nullDevice());
    m_service.start();
    return m_service.waitForStarted();
}

void tst_Service::stopService()
{
    if (m_service.state() == QProcess::NotRunning)
        return;
    m_service.terminate();
    if (!m_service.waitForFinished(5000)) {
        m_service.kill();
        m_service.waitForFinished(5000);
    }
}

// The call-trace lines of the log that mark an event ("Start"; warnings are left out), without
// their time stamps.
QStringList tst_Service::traceLines() const
{
    QFile file(m_dir.filePath("calvena.log"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    QStringList lines;
    const QStringList all = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    for (const QString &line : all) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        // [time] level [call id] task child-task status message
        if (fields.size() >= 7 && fields.at(2).startsWith(QLatin1Char('[')) && fields.at(5) == QLatin1String("Start"))
            lines.append(fields.mid(2).join(QLatin1Char('\t')));
    }
    return lines;
}

void tst_Service::recordedCallReachesTheLog()
{
    QVERIFY(startService());
    // Logged in and the peers read: the link is up and polls the CEL table.
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);

    ApiTest::Database db(m_database);
    QVERIFY2(db.insert(QStringLiteral("cel"), ApiTest::recent(ApiTest::readRows("cel-a-inbound-answered.jsonl"))),
             qPrintable(db.error()));

    const QString id = QStringLiteral("[1796630253.0]");
    QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tCall ended\t")).size() == 1, 10000);

    QStringList tasks;
    for (const QString &line : traceLines()) {
        QVERIFY2(line.startsWith(id + QLatin1Char('\t')), qPrintable(line));
        tasks.append(line.section(QLatin1Char('\t'), 1, 1));
    }
    QCOMPARE(tasks, (QStringList{"Call started", "Conversation requested", "Conversation accepted",
                                 "Conversation ended", "Call ended"}));
    QCOMPARE(traceLines().first(),
             id + QStringLiteral("\tCall started\t\tStart\tIncoming call started [1796630253.0] to the number "
                                 "[79161234567] through the trunk [74950000000]"));

    // The position is saved beside the executable, not in the working directory.
    QTRY_VERIFY(QFileInfo::exists(m_generatedDir + QStringLiteral("/state.json")));
    QVERIFY(!QFileInfo::exists(m_dir.filePath("generated")));
}

void tst_Service::restartContinuesFromTheSavedPosition()
{
    const QList<QJsonObject> rows = ApiTest::recent(ApiTest::readRows("cel-a-inbound-answered.jsonl"));
    ApiTest::Database db(m_database);
    // The first half of the call happens while the service runs...
    QVERIFY2(db.insert(QStringLiteral("cel"), ApiTest::upToId(rows, 7)), qPrintable(db.error()));
    QVERIFY(startService());
    QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tConversation accepted\t")).size() == 1, 10000);
    QTRY_VERIFY(QFileInfo::exists(m_generatedDir + QStringLiteral("/state.json")));
    stopService();

    // ...the rest while it is down; started again, it ends the call once and starts nothing twice.
    QList<QJsonObject> rest;
    for (const QJsonObject &row : rows) {
        if (row.value(QStringLiteral("id")).toInt() > 7)
            rest.append(row);
    }
    QVERIFY2(db.insert(QStringLiteral("cel"), rest), qPrintable(db.error()));
    QVERIFY(startService());
    QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tCall ended\t")).size() == 1, 10000);
    QCOMPARE(traceLines().filter(QStringLiteral("\tCall started\t")).size(), 1);
    QCOMPARE(traceLines().filter(QStringLiteral("\tConversation requested\t")).size(), 1);
    QCOMPARE(traceLines().filter(QStringLiteral("\tConversation ended\t")).size(), 1);
}

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_service.moc"
