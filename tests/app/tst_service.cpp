// The service as an administrator runs it: the executable with its own configuration file, a real
// MariaDB holding the PBX's CEL and CDR tables, the AMI server and the CRM portal. Calls recorded on a
// real Asterisk 20 are written into the tables and must come out in the portal and the log.

#include "crm/bitrix/constants.h"
#include "crm/bitrix/registrationstore.h"
#include "crm/crmportalmodel.h"
#include "pbx/asterisk/tst_api_support.h"
#include "support/fakeamiserver.h"
#include "support/mariadbfixture.h"

#include <QDir>
#include <QFileInfo>
#include <QAuthenticator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::MariaDbFixture;
using Orvix::Tests::MariaDbSettings;

class tst_Service : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void recordedCallReachesTheLog();
    void recordedCallsReachThePortal_data();
    void recordedCallsReachThePortal();
    void killedMidCallRegistersAndFinishesOnce_data();
    void killedMidCallRegistersAndFinishesOnce();
    void workInHandSurvivesAStop_data();
    void workInHandSurvivesAStop();
    void transferSurvivesAStop_data();
    void transferSurvivesAStop();
    void lostAmiRestartsBothLinks();
    void cleanRunDiscardsTheState();
    void cleanRunWithoutPortalFails();
    void clickToCallOriginates();
    void checkOfAnEndlessHeaderHoldsNothing();

private:
    bool startService(const QStringList &arguments = {}, int restartDelayMsec = 500);
    void stopService();
    QStringList traceLines() const;
    QString log() const;
    // Overlays the given sections' keys on the configuration file.
    bool mergeConfig(const QJsonObject &sections);
    // Whether the call flow has finished the task of a call's end.
    bool callFlowDone() const;
    // Sends a request with the digest credentials of the configuration; the reply is the caller's.
    QNetworkReply *post(const QString &path, const QByteArray &body, const QByteArray &contentType);
    static bool waitFinished(QNetworkReply *reply);
    int countWrites(const QString &prefix) const;
    // The CEL position the service saved; -1 before it saved one.
    int savedPosition() const;
    // The recordings the service saved as still to attach; -1 before it saved any.
    int owedRecordings() const;
    // The call events the service keeps for its next start.
    int keptEvents() const;

    QTemporaryDir m_dir;
    std::unique_ptr<FakeAmiServer> m_ami;
    std::unique_ptr<FakeCrmServer> m_portal;
    std::unique_ptr<CrmPortalModel> m_crm;
    QNetworkAccessManager m_network;
    quint16 m_httpPort = 0;
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
    m_portal = std::make_unique<FakeCrmServer>();
    QVERIFY(m_portal->isListening());
    m_portal->addAccessToken(QStringLiteral("seeded-access"));
    m_crm = std::make_unique<CrmPortalModel>(*m_portal);
    m_portal->setRestResult(QStringLiteral("telephony.externalLine.get"), QJsonArray());
    m_database = MariaDbFixture::createDatabase(QStringLiteral("tst_service"));
    QVERIFY2(m_database.isValid(), qPrintable(m_database.error));
    ApiTest::Database db(m_database);
    QVERIFY2(db.createSchema(), qPrintable(db.error()));

    // The state lives beside the executable; a postfix of our own keeps other runs' files apart.
    const QString postfix = QStringLiteral("_tst_service_%1").arg(QCoreApplication::applicationPid());
    m_generatedDir = QFileInfo(QStringLiteral(CALVENA_BINARY)).absolutePath() + QStringLiteral("/generated") + postfix;
    QDir(m_generatedDir).removeRecursively();
    // The portal knows this token already: no login goes first.
    QVERIFY(QDir().mkpath(m_generatedDir));
    QFile token(m_generatedDir + QStringLiteral("/token.json"));
    QVERIFY(token.open(QIODevice::WriteOnly));
    token.write(QJsonDocument(QJsonObject{{"access_token", "seeded-access"}, {"refresh_token", "seeded-refresh"}})
                    .toJson());
    token.close();

    // A free port for the service's own HTTP listener.
    QTcpServer probe;
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    m_httpPort = probe.serverPort();
    probe.close();

    QVERIFY(QDir().mkpath(m_dir.filePath("recordings")));
    const QJsonObject config{
        {"App", QJsonObject{{"log_file", m_dir.filePath("calvena.log")},
                            {"log_level", "debug"},
                            {"generated_postfix", postfix},
                            {"history_start_date", "2000-01-01 00:00:00"}}},
        {"Bitrix", QJsonObject{{"host", m_portal->baseUrl()}, {"user_login", "admin"}, {"user_password", "secret"},
                               {"user_id", 1}, {"execution_loop_interval_msec", 5}}},
        {"WebServer", QJsonObject{{"listen_host", "127.0.0.1"}, {"listen_port", int(m_httpPort)},
                                  {"use_http", true}, {"user", "operator"}, {"password", "Pa55-word"}}},
        {"Asterisk", QJsonObject{{"host", m_ami->host()}, {"port", int(m_ami->port())},
                                 {"user", "crm"}, {"password", "crmsecret"},
                                 {"recordings_dir", m_dir.filePath("recordings")},
                                 {"recordings_dir_subdirs_by_date", false}}},
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
    QDir(m_generatedDir + QStringLiteral("_check")).removeRecursively(); // a check's own token
    m_crm.reset();
    m_portal.reset();
    m_ami.reset();
}

bool tst_Service::startService(const QStringList &arguments, int restartDelayMsec)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(Orvix::CRM::Bitrix::kTokenUrlVariable), m_portal->tokenUrl().toString());
    // A lost link is restarted after this instead of a minute.
    environment.insert(QStringLiteral("CALVENA_RESTART_DELAY_MSEC"), QString::number(restartDelayMsec));
    // This machine's own PBX files are neither read nor changed.
    environment.insert(QStringLiteral("CALVENA_ASTERISK_CONFIG_ROOT"), m_dir.path());
    m_service.setProcessEnvironment(environment);
    m_service.setProgram(QStringLiteral(CALVENA_BINARY));
    m_service.setArguments(QStringList{QStringLiteral("--configname"), m_dir.filePath("config.json")} + arguments);
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

QString tst_Service::log() const
{
    QFile file(m_dir.filePath("calvena.log"));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(file.readAll());
}

bool tst_Service::mergeConfig(const QJsonObject &sections)
{
    QFile file(m_dir.filePath("config.json"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QJsonObject config = QJsonDocument::fromJson(file.readAll()).object();
    file.close();
    for (auto section = sections.begin(); section != sections.end(); ++section) {
        QJsonObject merged = config.value(section.key()).toObject();
        const QJsonObject values = section.value().toObject();
        for (auto it = values.begin(); it != values.end(); ++it)
            merged.insert(it.key(), it.value());
        config.insert(section.key(), merged);
    }
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(QJsonDocument(config).toJson()) > 0;
}

bool tst_Service::callFlowDone() const
{
    static const QRegularExpression done(QStringLiteral("\tCall ended\t[^\t]*\t(Completed|Not completed)\t"));
    return log().contains(done);
}

QNetworkReply *tst_Service::post(const QString &path, const QByteArray &body, const QByteArray &contentType)
{
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_httpPort).arg(path)));
    request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
    return m_network.post(request, body);
}

bool tst_Service::waitFinished(QNetworkReply *reply)
{
    if (reply->isFinished())
        return true;
    QSignalSpy finished(reply, &QNetworkReply::finished);
    return finished.wait(30000);
}

int tst_Service::countWrites(const QString &prefix) const
{
    int count = 0;
    for (const QString &write : m_crm->writes()) {
        if (write.startsWith(prefix))
            ++count;
    }
    return count;
}

int tst_Service::owedRecordings() const
{
    Orvix::CRM::Bitrix::RegistrationStore saved;
    saved.setFilePath(m_generatedDir + QStringLiteral("/crm_registrations.json"));
    Orvix::CRM::Bitrix::RegistrationStore::Uploads uploads;
    saved.load(&uploads);
    return QFileInfo::exists(saved.filePath()) ? uploads.size() : -1;
}

int tst_Service::keptEvents() const
{
    QFile file(m_generatedDir + QStringLiteral("/crm_events.json"));
    QSet<int> kept;
    for (const QByteArray &line : (file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray()).split('\n')) {
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        if (record.contains("seq"))
            kept.insert(record.value("seq").toInt());
        for (const QJsonValue &done : record.value("done").toArray())
            kept.remove(done.toInt());
    }
    return kept.size();
}

int tst_Service::savedPosition() const
{
    QFile file(m_generatedDir + QStringLiteral("/state.json"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return QJsonDocument::fromJson(file.readAll()).object().value("previous_event_id").toInt(-1);
}

void tst_Service::recordedCallsReachThePortal_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("recording"); // file of the CDR row, empty without one
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<bool>("failingScript"); // every customisation hook on, and the script fails
    QTest::addColumn<bool>("testCall"); // replayed by --testcall, after a production run went past its rows

    QTest::newRow("inbound answered")
        << "a-inbound-answered" << "in-101-79161234567-20261207-075733-1796630253.0.wav"
        // Registered while it rings, for the portal's own user; the finish goes to who answered. The rows
        // of the whole call arrive at once: its end is known before its card would go, so none goes.
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"} << false << false;
    QTest::newRow("inbound answered, the customisation script fails")
        << "a-inbound-answered" << "in-101-79161234567-20261207-075733-1796630253.0.wav"
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"} << true << false;
    QTest::newRow("inbound answered, replayed by --testcall: done again, the production run's kept events left alone")
        << "a-inbound-answered" << "in-101-79161234567-20261207-075733-1796630253.0.wav"
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"} << false << true;
    QTest::newRow("outbound answered")
        << "c-outbound-answered" << ""
        << QStringList{"POST telephony.externalcall.register TYPE=1 USER_ID=7 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200"}
        << false << false;
    QTest::newRow("internal registers nothing") << "g-internal" << "" << QStringList() << false << false;
    // A line to one of our numbers that sends no caller id at all: a withheld caller, and the CDR row of its
    // recording holds no number.
    QTest::newRow("inbound with no caller id at all")
        << "o-inbound-no-caller-id" << "in-101--20261208-153338-1796744018.10.wav"
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"} << false << false;
}

void tst_Service::recordedCallsReachThePortal()
{
    QFETCH(QString, call);
    QFETCH(QString, recording);
    QFETCH(QStringList, writes);
    QFETCH(bool, failingScript);
    QFETCH(bool, testCall);

    if (failingScript) {
        const QString program = m_dir.filePath("customizer.sh");
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\necho 'licence expired' >&2\nexit 2\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QJsonObject app{{"customizer_program_path", program}, {"customization_time_msec", 10000}};
        for (const char *key : {"customize_search_params", "customize_final_params", "customize_entity",
                                "customize_activity", "customize_task"})
            app.insert(key, true);
        QVERIFY(mergeConfig(QJsonObject{{"App", app}}));
    }
    if (call.startsWith("o-"))
        QVERIFY(mergeConfig({{"App", QJsonObject{{"trunk_to_source", QJsonObject{{"74950000301", "CALL"}}}}}}));
    if (!recording.isEmpty()) {
        QFile file(m_dir.filePath("recordings/" + recording));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIFF recorded conversation");
    }
    // What the production run left: its work done up to a CEL position past the call's rows.
    QFile kept(m_generatedDir + QStringLiteral("/crm_events.json"));
    const QByteArray keptText("{\"position\":1000}\n");
    QVERIFY(!testCall || (kept.open(QIODevice::WriteOnly) && kept.write(keptText) == keptText.size()));
    kept.close();
    ApiTest::Database db(m_database);
    const QList<QJsonObject> cdr = ApiTest::readRows("cdr-" + call + ".jsonl");
    const auto insertCall = [&]() {
        return db.insert(QStringLiteral("cdr"), cdr)
            && db.insert(QStringLiteral("cel"), ApiTest::recent(ApiTest::readRows("cel-" + call + ".jsonl")));
    };
    if (testCall) // read once, at the login
        QVERIFY2(insertCall(), qPrintable(db.error()));
    QVERIFY(startService(testCall ? QStringList{"--testcall", "1796630253.0"} : QStringList()));
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    // Both click-to-call events are bound before any call.
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->restRequests(QStringLiteral("event.bind")).size(), 2, 10000);
    if (!testCall)
        QVERIFY2(insertCall(), qPrintable(db.error()));
    QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tCall ended\t")).size() == 1, 10000);
    // The call flow's last step for the call is done when the summary is written.
    QTRY_VERIFY_WITH_TIMEOUT(m_crm->writes().size() >= writes.size(), 10000);
    // The call-end task is the last of the call: once it is done, nothing more goes to the portal.
    QTRY_VERIFY_WITH_TIMEOUT(callFlowDone(), 10000);
    QVERIFY2(m_crm->writes() == writes, qPrintable(m_crm->writes().join('\n')));
    // The script did run, and its failure is in the log.
    QCOMPARE(log().contains(QStringLiteral("licence expired")), failingScript);
    if (testCall) {
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), keptText);
    }

    const QList<Orvix::Tests::FakeCrmRequest> finishes = m_portal->restRequests("telephony.externalcall.finish");
    if (!finishes.isEmpty()) {
        // The talk time is the billed time of the CDR row.
        QCOMPARE(finishes.first().params().value("DURATION").toString(),
                 QString::number(cdr.first().value("billsec").toInt()));
    }
    if (!recording.isEmpty()) {
        const QJsonObject attach = m_portal->restRequests("telephony.externalcall.attachRecord").first().params();
        QVERIFY(attach.value("FILENAME").toString().endsWith(recording));
        QCOMPARE(QByteArray::fromBase64(attach.value("FILE_CONTENT").toString().toLatin1()),
                 QByteArray("RIFF recorded conversation"));
    }
}

// Killed in the middle of a call, the service knows at its next start what it registered already.
void tst_Service::killedMidCallRegistersAndFinishesOnce_data()
{
    QTest::addColumn<bool>("atUpload"); // killed while the recording goes, not while the card shows
    QTest::addColumn<bool>("atFinish"); // killed earlier, while the finish waits for its answer
    QTest::newRow("killed while its card shows") << false << false;
    // The look-up at the next start must use the configured table, before anything else asks the PBX link.
    QTest::newRow("killed while its recording goes, the CDR table renamed") << true << false;
    QTest::newRow("killed while its finish waits for the answer: sent again, then the recording") << true << true;
}

void tst_Service::killedMidCallRegistersAndFinishesOnce()
{
    QFETCH(bool, atUpload);
    QFETCH(bool, atFinish);
    const QList<QJsonObject> rows = ApiTest::recent(ApiTest::readRows("cel-a-inbound-answered.jsonl"));
    ApiTest::Database db(m_database);
    const QString attach = QStringLiteral("telephony.externalcall.attachRecord");
    if (atUpload) {
        QVERIFY2(db.insert(QStringLiteral("cdr"), ApiTest::readRows("cdr-a-inbound-answered.jsonl")), qPrintable(db.error()));
        QVERIFY2(db.exec(QStringLiteral("rename table cdr to `pbx calls`")), qPrintable(db.error()));
        QVERIFY(mergeConfig(QJsonObject{
            {"Database", QJsonObject{{"table_name_aliases", QJsonObject{{"cel", "cel"}, {"cdr", "pbx calls"}}}}}}));
        QFile file(m_dir.filePath("recordings/in-101-79161234567-20261207-075733-1796630253.0.wav"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIFF recorded conversation");
        file.close();
        if (atFinish)
            m_crm->hangFinishes = 1; // done by the portal, its answer never sent
        else
            m_portal->pushRestReply(attach, Orvix::Tests::FakeCrmReply::silent());
    }
    QVERIFY(startService());
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    const int killedAt = atUpload ? rows.last().value(QStringLiteral("id")).toInt() : 7;
    QVERIFY2(db.insert(QStringLiteral("cel"), ApiTest::upToId(rows, killedAt)), qPrintable(db.error()));
    if (atFinish)
        QTRY_VERIFY_WITH_TIMEOUT(countWrites("GET telephony.externalcall.finish") == 1, 10000);
    else if (atUpload)
        QTRY_VERIFY_WITH_TIMEOUT(m_portal->restRequests(attach).size() == 1, 10000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(countWrites("GET telephony.externalcall.show") == 1, 10000);

    m_service.kill();
    QTRY_VERIFY(m_service.state() == QProcess::NotRunning);
    QList<QJsonObject> rest;
    for (const QJsonObject &row : rows) {
        if (row.value(QStringLiteral("id")).toInt() > killedAt)
            rest.append(row);
    }
    QVERIFY2(db.insert(QStringLiteral("cel"), rest), qPrintable(db.error()));

    QVERIFY(startService());
    if (atUpload) {
        // Attached once more, from the file the renamed table names, and no longer owed.
        QTRY_VERIFY_WITH_TIMEOUT(m_portal->restRequests(attach).size() == (atFinish ? 1 : 2), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(owedRecordings(), 0, 10000);
        QCOMPARE(QByteArray::fromBase64(
                     m_portal->restRequests(attach).last().params().value("FILE_CONTENT").toString().toLatin1()),
                 QByteArray("RIFF recorded conversation"));
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(countWrites("GET telephony.externalcall.finish") >= 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tCall ended\t")).size() == 1, 10000);
        QTRY_VERIFY_WITH_TIMEOUT(callFlowDone(), 10000);
    }
    QCOMPARE(countWrites("POST telephony.externalcall.register"), 1);
    // Sent again, the finish of a call the portal closed already is answered "Call is not found".
    QCOMPARE(countWrites("GET telephony.externalcall.finish"), atFinish ? 2 : 1);
    QCOMPARE(m_portal->restRequests(attach).size(), atUpload ? (atFinish ? 1 : 2) : 0);
}

// Calls read from CEL while the portal is slow, and the service stopped (SIGTERM, kill -9) or its PBX link
// lost before their work is done: after the start every call is registered, finished and recorded once.
void tst_Service::workInHandSurvivesAStop_data()
{
    QTest::addColumn<int>("calls");
    // "term", "kill", "kill stale": its state.json not written yet, "pbx": the AMI connection lost, "pbx term": and
    // SIGTERM, "term behind": its state.json lost, and kill -9 once a start behind the kept events saved a batch
    QTest::addColumn<QString>("stop");
    // "answering": requests on their way; "register" reached the portal; "end" read; "finishing": the finishes sent;
    // "done": every call's work; "ringing": the register reached the portal while the phone rings, the rest of the
    // call written after the stop
    QTest::addColumn<QString>("stopAt");
    QTest::addColumn<bool>("live");      // the rows written one by one as the PBX writes them, not at once
    QTest::newRow("six calls read at once, the portal answering in 2 s, SIGTERM while it answers")
        << 6 << "term" << "answering" << false;
    QTest::newRow("six calls read at once, the portal answering in 2 s, kill -9 while it answers")
        << 6 << "kill" << "answering" << false;
    QTest::newRow("kill -9 before the PBX link wrote its state: the rows read again are done once")
        << 6 << "kill stale" << "answering" << false;
    // The finishes answered while the links wait for their restart: the recordings asked for then, in vain, go
    // again once the PBX link is back, not after the pause before a recording is asked for again.
    QTest::newRow("two calls read at once, the portal answering in 0.5 s, the PBX link lost while their finishes wait")
        << 2 << "pbx" << "finishing" << false;
    QTest::newRow("the PBX link lost while the portal answers, SIGTERM while the links wait for their restart")
        << 6 << "pbx term" << "answering" << false;
    QTest::newRow("the register done by the portal, its answer cut off by kill -9: one CRM call, finished")
        << 1 << "kill" << "register" << true;
    QTest::newRow("a call registered, its end read but not handled at SIGTERM: finished and recorded after the start")
        << 1 << "term" << "end" << true;
    QTest::newRow("SIGTERM, then kill -9 at a start behind the kept events: the calls done before are not done again")
        << 2 << "term behind" << "done" << false;
    // Its card is kept over the stop; at the start the PBX link reads that the call has ended: no card.
    QTest::newRow("SIGTERM while the phone rings, the call over before the start: its kept card is not shown")
        << 1 << "term" << "ringing" << true;
}

void tst_Service::workInHandSurvivesAStop()
{
    QFETCH(int, calls);
    QFETCH(QString, stop);
    QFETCH(QString, stopAt);
    QFETCH(bool, live);
    // Call k: the recorded call under ids and a caller number of its own.
    const auto callRows = [](const QString &table, int k) {
        QList<QJsonObject> rows;
        for (const QJsonObject &row : ApiTest::readRows(table + "-a-inbound-answered.jsonl")) {
            QByteArray text = QJsonDocument(row).toJson(QJsonDocument::Compact);
            text.replace("1796630253.", QByteArray::number(1796630253 + k * 10) + '.');
            text.replace("79161234567", QByteArray::number(79161234567LL + k));
            QJsonObject moved = QJsonDocument::fromJson(text).object();
            if (moved.contains("id"))
                moved.insert("id", row.value("id").toInt() + 100 * k);
            rows.append(moved);
        }
        return rows;
    };
    ApiTest::Database db(m_database);
    QList<QJsonObject> cel;
    for (int k = 0; k < calls; ++k) {
        QVERIFY2(db.insert(QStringLiteral("cdr"), callRows("cdr", k)), qPrintable(db.error()));
        cel += ApiTest::recent(callRows("cel", k));
        QFile file(m_dir.filePath("recordings/" + callRows("cdr", k).first().value("recordingfile").toString()));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIFF recorded conversation");
    }
    m_crm->hangRegisters = stopAt == "register" ? 1 : 0;
    // Written after the stop.
    QList<QJsonObject> afterStop;
    if (stopAt == "ringing") {
        afterStop = cel.mid(3);
        cel = cel.mid(0, 3);
    }
    QVERIFY(startService({}, stop == "pbx term" ? 60000 : stop == "pbx" ? 800 : 500));
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->restRequests(QStringLiteral("event.bind")).size(), 2, 10000);
    if (stopAt == "answering" || stopAt == "ringing")
        m_portal->setAnswerDelay(2000);
    else if (stopAt == "finishing")
        m_portal->setAnswerDelay(500);
    for (const QJsonObject &row : cel) {
        // The end of the call reaches a slow portal: the service stops while it waits.
        if (stopAt == "end" && row.value("eventtype").toString() == "HANGUP")
            m_portal->setAnswerDelay(2000);
        QVERIFY2(db.insert(QStringLiteral("cel"), live ? QList<QJsonObject>{row} : cel), qPrintable(db.error()));
        if (!live)
            break;
        // Read by the service before the PBX writes the next one.
        QTRY_VERIFY_WITH_TIMEOUT(savedPosition() >= row.value("id").toInt(), 10000);
    }
    if (stopAt == "answering") // stopped while the requests of the calls wait for the portal's answers
        QTRY_VERIFY_WITH_TIMEOUT(m_portal->unansweredRequests() > 0, 10000);
    else if (stopAt == "register" || stopAt == "ringing")
        QTRY_VERIFY_WITH_TIMEOUT(countWrites("POST telephony.externalcall.register") == 1, 10000);
    else if (stopAt == "finishing")
        QTRY_COMPARE_WITH_TIMEOUT(countWrites("GET telephony.externalcall.finish"), calls, 30000);
    else if (stopAt == "done")
        QTRY_COMPARE_WITH_TIMEOUT(log().count(QRegularExpression("\tCall ended\t[^\t]*\t(Y|N)\tCall: ")), calls, 10000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(traceLines().filter(QStringLiteral("\tCall ended\t")).size() == 1, 10000);
    if (stop.startsWith("pbx")) {
        m_ami->closeConnections();
        QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("Restart after")), 10000);
    }
    if (stop == "pbx") {
        m_portal->setAnswerDelay(0);
    } else {
        if (stop == "pbx term") // once the requests on their way were answered, while the links wait
            QTRY_VERIFY_WITH_TIMEOUT(m_portal->unansweredRequests() == 0, 10000);
        if (stop.startsWith("kill"))
            m_service.kill();
        else
            m_service.terminate();
        QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 10000);
        if (stop == "kill stale" || stop == "term behind") // stopped before the PBX link wrote its state
            QVERIFY(QFile::remove(m_generatedDir + "/state.json"));
        if (stop == "term behind") { // with only the first call's rows, killed once they were read again and saved
            QVERIFY2(db.exec(QStringLiteral("delete from cel where id > 100")), qPrintable(db.error()));
            QVERIFY(startService());
            QTRY_COMPARE_WITH_TIMEOUT(savedPosition(), cel.at(14).value("id").toInt(), 10000);
            m_service.kill();
            QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 10000);
            QVERIFY2(db.insert(QStringLiteral("cel"), cel.mid(15)), qPrintable(db.error()));
        }
        QVERIFY2(db.insert(QStringLiteral("cel"), afterStop), qPrintable(db.error()));
        m_portal->setAnswerDelay(0);
        QVERIFY(startService());
        if (stop == "term behind") // the rows the kept events cover are read again, and found done
            QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("CEL row %1 was handled before the stop")
                                                        .arg(cel.last().value("id").toInt())), 10000);
    }
    // Well within the pause before a recording the PBX link could not name is asked for again.
    QTRY_VERIFY_WITH_TIMEOUT(countWrites("POST telephony.externalcall.attachRecord") >= calls, 30000);
    const QRegularExpression summary("\tCall ended\t[^\t]*\t(Y|N)\tCall: ");
    QTRY_VERIFY_WITH_TIMEOUT(log().count(summary) >= calls, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(callFlowDone(), 10000);
    QCOMPARE(log().count(summary), calls);
    QSet<QString> finished;
    for (const QString &write : m_crm->writes()) {
        if (write.contains("externalcall.finish"))
            finished.insert(write.section("CALL_ID=", 1).section(' ', 0, 0));
    }
    QCOMPARE(finished.size(), calls);
    QCOMPARE(countWrites("GET telephony.externalcall.finish"), calls);
    QCOMPARE(countWrites("POST telephony.externalcall.attachRecord"), calls);
    // Registered again only where the portal's answer was lost: the portal gave the same CRM call.
    QCOMPARE(countWrites("POST telephony.externalcall.register"), calls + (stopAt == "register" ? 1 : 0));
    if (stop.endsWith("term"))
        QVERIFY(log().contains(QStringLiteral("Stopping on SIGTERM")));
    if (stopAt == "ringing") { // the PBX link's verdict, not the patience with a link that is catching up
        QCOMPARE(countWrites("GET telephony.externalcall.show"), 0);
        QVERIFY(log().contains(QStringLiteral("because the call has ended")));
    }
    QVERIFY(QFileInfo(m_generatedDir + "/crm_registrations.json").permissions()
            == (QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser));
}

// The rows of a call recorded as a table (tests/pbx/asterisk/data): its CEL rows in the columns of the table,
// the others as in a recorded row.
static QList<QJsonObject> tableRows(const QString &name)
{
    QFile file(QFINDTESTDATA("../pbx/asterisk/data/" + name));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    const QJsonObject like = ApiTest::readRows("cel-a-inbound-answered.jsonl").first();
    QString date;
    QStringList header;
    QList<QJsonObject> rows;
    bool cel = false;
    for (const QString &raw : QString::fromUtf8(file.readAll()).split('\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith("date:"))
            date = line.section(':', 1).trimmed();
        if (line.endsWith(':'))
            cel = line == "cel:";
        if (!cel || !line.startsWith('|'))
            continue;
        QStringList cells = line.split('|');
        cells = cells.mid(1, cells.size() - 2);
        for (QString &cell : cells)
            cell = cell.trimmed();
        if (header.isEmpty()) {
            header = cells;
            continue;
        }
        QJsonObject row = like;
        for (int i = 0; i < header.size(); ++i)
            row.insert(header.at(i), header.at(i) == "id" ? QJsonValue(cells.at(i).toInt()) : QJsonValue(cells.at(i)));
        row.insert("eventtime", date + ' ' + row.value("eventtime").toString());
        rows.append(row);
    }
    return rows;
}

// A stop just after the transferred legs of an attended and a blind transfer asked for their CRM work: each
// transfer is two CRM calls after the start as without the stop, the second for the employee the call went
// to, with that employee's card. The service's host runs ahead of the PBX in some rows: cards go all the same.
void tst_Service::transferSurvivesAStop_data()
{
    QTest::addColumn<QString>("stop");   // "term", "kill"
    // "register": the transferred legs' registers sent, their answers held (about 0.05 s after their request);
    // "card": registered, their cards sent and answered 1.5 s later (0.3 s); "talk": their cards shown (0.8 s)
    QTest::addColumn<QString>("stopAt");
    QTest::addColumn<int>("pbxBehind"); // seconds the PBX's clock (CEL eventtime) is behind this host's
    QTest::newRow("SIGTERM 0.05 s after the transferred legs' requests") << "term" << "register" << 0;
    QTest::newRow("SIGTERM 0.3 s after, their cards answered during the stop's wait: not shown again")
        << "term" << "card" << 0;
    QTest::newRow("SIGTERM 0.8 s after, the service 10 minutes ahead of the PBX") << "term" << "talk" << 600;
    QTest::newRow("kill -9 0.05 s after the transferred legs' requests") << "kill" << "register" << 0;
    QTest::newRow("kill -9 0.3 s after, the service 2 hours ahead of the PBX") << "kill" << "card" << 7200;
    QTest::newRow("kill -9 0.8 s after, the service 10 minutes ahead of the PBX") << "kill" << "talk" << 600;
}

void tst_Service::transferSurvivesAStop()
{
    QFETCH(QString, stop);
    QFETCH(QString, stopAt);
    QFETCH(int, pbxBehind);
    // The rows of both calls up to the transfer, of the transfer up to the transferred leg's start, and the
    // rest, numbered in that order as the PBX would.
    const QList<QJsonObject> attended = ApiTest::readRows("cel-e-attended-transfer.jsonl");
    // Another caller: the registers of one number go one at a time.
    QList<QJsonObject> blind = tableRows("blind-transfer.txt");
    QVERIFY(!blind.isEmpty());
    for (QJsonObject &row : blind) {
        if (row.value("cid_num") == "79161234567")
            row.insert("cid_num", "79161234568");
    }
    const auto part = [](const QList<QJsonObject> &rows, int from, int to) {
        QList<QJsonObject> chosen;
        for (const QJsonObject &row : rows) {
            if (row.value("id").toInt() >= from && row.value("id").toInt() <= to)
                chosen.append(row);
        }
        return chosen;
    };
    QList<QList<QJsonObject>> phases{part(attended, 0, 94) + part(blind, 0, 5), part(attended, 95, 97) + part(blind, 6, 9),
                                     part(attended, 98, 200) + part(blind, 10, 100)};
    int id = 1000;
    for (QList<QJsonObject> &phase : phases) {
        for (QJsonObject &row : phase)
            row.insert("id", ++id);
    }
    // Both calls began half a minute ago, on the PBX's clock.
    const QDateTime start = QDateTime::currentDateTime().addSecs(-30 - pbxBehind);
    const auto onPbxClock = [&](QList<QJsonObject> rows) {
        const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
        for (QJsonObject &row : rows) {
            const QList<QJsonObject> &call = row.value("linkedid") == "500.0" ? blind : attended;
            const QDateTime origin = QDateTime::fromString(call.first().value("eventtime").toString(), format);
            const QDateTime recorded = QDateTime::fromString(row.value("eventtime").toString(), format);
            row.insert("eventtime", start.addSecs(origin.secsTo(recorded)).toString(format));
        }
        return rows;
    };
    ApiTest::Database db(m_database);
    QList<QJsonObject> cdr = ApiTest::readRows("cdr-e-attended-transfer.jsonl");
    QJsonObject blindCdr = cdr.first();
    blindCdr.insert("uniqueid", "500.0");
    blindCdr.insert("linkedid", "500.0");
    blindCdr.insert("recordingfile", "in-101-79161234568-500.0.wav");
    blindCdr.insert("src", "79161234568");
    blindCdr.insert("cnum", "79161234568");
    cdr.append(blindCdr);
    QVERIFY2(db.insert(QStringLiteral("cdr"), cdr), qPrintable(db.error()));
    for (const char *name : {"in-101-79161234567-20261207-075842-1796630322.9.wav", "in-101-79161234568-500.0.wav"}) {
        QFile file(m_dir.filePath(QStringLiteral("recordings/") + name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("RIFF recorded conversation");
    }
    // The CRM calls: the attended transfer's 1 (101) and 2 (102), the blind one's 3 and 4.
    m_crm->callNumbers = {{"1796630322.9", 1}, {"1796630328.13", 2}, {"500.0", 3}, {"500.2", 4}};
    QVERIFY(startService());
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->restRequests(QStringLiteral("event.bind")).size(), 2, 10000);
    const auto writes = [this](const QString &part) { return m_crm->writes().filter(part).size(); };
    QVERIFY2(db.insert(QStringLiteral("cel"), onPbxClock(phases.at(0))), qPrintable(db.error()));
    // 101 talks on both calls, its cards shown.
    QTRY_COMPARE_WITH_TIMEOUT(writes("externalcall.show"), 2, 10000);
    if (stopAt == "register") {
        m_crm->hangRegisters = 2;
    } else if (stopAt == "card") {
        for (int i = 0; i < 2; ++i)
            m_portal->pushRestReply("telephony.externalcall.show", Orvix::Tests::FakeCrmReply::result(true).delayed(1500));
    }
    QVERIFY2(db.insert(QStringLiteral("cel"), onPbxClock(phases.at(1))), qPrintable(db.error()));
    if (stopAt == "register")
        QTRY_COMPARE_WITH_TIMEOUT(writes("register TYPE=2 USER_ID=8"), 2, 10000);
    else if (stopAt == "card")
        QTRY_COMPARE_WITH_TIMEOUT(writes("USER_ID=8"), 4, 10000); // registered, and the cards on their way
    else // and the first legs finished and recorded: a kill during an upload has it sent once more
        QTRY_VERIFY_WITH_TIMEOUT(writes("show CALL_ID=externalCall.2 USER_ID=8") == 1
                                     && writes("show CALL_ID=externalCall.4 USER_ID=8") == 1 && writes("attachRecord") == 2
                                     && owedRecordings() == 0,
                                 10000);
    if (stop == "kill")
        m_service.kill();
    else
        m_service.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 10000);
    QVERIFY(startService());
    // The calls go on while the service restarts: a card whose register was held goes once it is answered, as
    // long as its call is up (the card of a call over by then is not shown at all).
    if (stopAt == "register")
        QTRY_VERIFY_WITH_TIMEOUT(writes("show CALL_ID=externalCall.2 USER_ID=8") == 1
                                     && writes("show CALL_ID=externalCall.4 USER_ID=8") == 1,
                                 20000);
    // Up until what the stop kept has been done: a card kept again would go again.
    if (stop == "term" && stopAt == "card")
        QTRY_COMPARE_WITH_TIMEOUT(keptEvents(), 0, 20000);
    QVERIFY2(db.insert(QStringLiteral("cel"), onPbxClock(phases.at(2))), qPrintable(db.error()));

    const QRegularExpression summary("\tCall ended\t[^\t]*\t(Y|N)\tCall: ");
    QTRY_VERIFY_WITH_TIMEOUT(log().count(summary) == 2 && writes("attachRecord") >= 4, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(callFlowDone() && m_portal->unansweredRequests() == 0, 10000);
    const QString all = m_crm->writes().join('\n');
    // Each CRM call finished once, for its employee, with the talk it had, and its recording attached once.
    const QList<QPair<int, int>> employees{{1, 7}, {2, 8}, {3, 7}, {4, 8}};
    const QList<Orvix::Tests::FakeCrmRequest> finishes = m_portal->restRequests("telephony.externalcall.finish");
    QCOMPARE(finishes.size(), 4);
    const QHash<QString, QString> talks{{"externalCall.1", "10"}, {"externalCall.2", "20"}, {"externalCall.3", "17"},
                                        {"externalCall.4", "36"}};
    for (const Orvix::Tests::FakeCrmRequest &finish : finishes) {
        const QString call = finish.params().value("CALL_ID").toString();
        QCOMPARE(finish.params().value("DURATION").toString(), talks.value(call));
    }
    for (const auto &[call, user] : employees) {
        QVERIFY2(writes(QStringLiteral("finish CALL_ID=externalCall.%1 USER_ID=%2 ").arg(call).arg(user)) == 1,
                 qPrintable(all));
        QVERIFY2(writes(QStringLiteral("attachRecord CALL_ID=externalCall.%1").arg(call)) == 1, qPrintable(all));
        // Each employee's card on their own CRM call; answered during the stop's wait, not shown again.
        const int cards = writes(QStringLiteral("show CALL_ID=externalCall.%1 USER_ID=%2").arg(call).arg(user));
        QVERIFY2(stop == "kill" ? cards >= 1 : cards == 1, qPrintable(all));
    }
    // No card of the employee the call went to on the CRM call of the one who took it first.
    QVERIFY2(writes("CALL_ID=externalCall.1 USER_ID=8") + writes("CALL_ID=externalCall.3 USER_ID=8") == 0, qPrintable(all));
    QVERIFY2(writes("register TYPE=2 USER_ID=1 ") == 2, qPrintable(all));
    QVERIFY2(writes("register TYPE=2 USER_ID=8 ") == (stopAt == "register" ? 4 : 2), qPrintable(all));
    QVERIFY(!log().contains(QStringLiteral("given up")));
    // A leg's end done again after the kill finds its finish gone through: nothing was lost, no warning.
    QVERIFY(!log().contains(QRegularExpression("\twarning\t.*(was not register|wasn't registered) in CRM")));
}

// The AMI server drops the service: both links stop and come back after the (shortened) delay;
// configuration updates in the window and overlapping ones are all answered.
void tst_Service::lostAmiRestartsBothLinks()
{
    // Long enough for a request to land inside the window, short enough to wait for once.
    QVERIFY(startService({}, 3000));
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    // The bindings of the first start may still be on their way while the PBX link is up already.
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->restRequests(QStringLiteral("event.bind")).size(), 2, 10000);

    m_ami->closeConnections();
    QTRY_VERIFY_WITH_TIMEOUT(log().contains(QStringLiteral("Restart after")), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("Login")).size(), 2, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_portal->restRequests(QStringLiteral("event.bind")).size(), 4, 10000);

    connect(&m_network, &QNetworkAccessManager::authenticationRequired, this,
            [](QNetworkReply *, QAuthenticator *authenticator) {
                authenticator->setUser(QStringLiteral("operator"));
                authenticator->setPassword(QStringLiteral("Pa55-word"));
            });
    // log_level waits for the service's restart; no_lead_mode is taken when the links run again.
    const QByteArray update =
        QJsonDocument(QJsonObject{{"App", QJsonObject{{"log_level", "debug"}, {"no_lead_mode", false}}}}).toJson();

    // Dropped again, and a configuration update comes in while the restart is pending.
    m_ami->closeConnections();
    QTRY_COMPARE_WITH_TIMEOUT(log().count(QStringLiteral("Restart after")), 2, 10000);
    QNetworkReply *inWindow = post(QStringLiteral("/update_config"), update, "application/json");
    QVERIFY(waitFinished(inWindow));
    QCOMPARE(inWindow->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    inWindow->deleteLater();
    // Answered once the links ran again, without waiting for the pending restart.
    QCOMPARE(m_ami->frames(QStringLiteral("Login")).size(), 3);

    // Two overlapping updates: both are answered once the PBX link is up.
    QNetworkReply *first = post(QStringLiteral("/update_config"), update, "application/json");
    QNetworkReply *second = post(QStringLiteral("/update_config"), update, "application/json");
    QVERIFY(waitFinished(first));
    QVERIFY(waitFinished(second));
    QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    QCOMPARE(second->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    first->deleteLater();
    second->deleteLater();

    // Asterisk refuses the login now: the update is written all the same and says when it applies.
    m_ami->setLoginFailureDelay(0);
    m_ami->setCredentials(QStringLiteral("somebody"), QStringLiteral("else"));
    QNetworkReply *refused = post(QStringLiteral("/update_config"), update, "application/json");
    QVERIFY(waitFinished(refused));
    refused->deleteLater();
    QCOMPARE(refused->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    const QJsonObject answer = QJsonDocument::fromJson(refused->readAll()).object();
    QCOMPARE(answer.value("result"), QJsonValue(true));
    QVERIFY2(answer.value("note").toString().contains(QRegularExpression("restart.* in [1-3] s$")),
             qPrintable(answer.value("note").toString()));
    QCOMPARE(m_service.state(), QProcess::Running);
}

void tst_Service::cleanRunDiscardsTheState()
{
    QFile state(m_generatedDir + QStringLiteral("/state.json"));
    QVERIFY(state.open(QIODevice::WriteOnly));
    state.write(R"({"lastEventId": 99})");
    state.close();
    const QString handler = QStringLiteral("http://127.0.0.1:%1/events/external_call_start").arg(m_httpPort);
    m_portal->setRestResult(QStringLiteral("event.get"),
                            QJsonArray{QJsonObject{{"event", "ONEXTERNALCALLSTART"}, {"handler", handler}}});
    m_portal->setRestResult(QStringLiteral("event.unbind"), QJsonObject{{"count", 1}});

    QVERIFY(startService({QStringLiteral("--clean")}));
    // The fake portal answers from this event loop: wait without blocking it.
    QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 20000);
    QCOMPARE(m_service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service.exitCode(), 0);

    // Our click-to-call handler is unbound (in a batch of event.unbind commands).
    QStringList unbinds;
    for (const Orvix::Tests::FakeCrmRequest &batch : m_portal->restRequests(QStringLiteral("batch"))) {
        const QJsonObject commands = batch.params().value(QStringLiteral("cmd")).toObject();
        for (const QJsonValue &command : commands) {
            if (command.toString().startsWith(QLatin1String("event.unbind?")))
                unbinds.append(QUrl::fromPercentEncoding(command.toString().toUtf8()));
        }
    }
    QCOMPARE(unbinds.size(), 1);
    QVERIFY2(unbinds.first().contains(handler), qPrintable(unbinds.first()));
    QCOMPARE(QFileInfo(m_generatedDir + QStringLiteral("/token.json")).size(), 0);
    QCOMPARE(QFileInfo(m_generatedDir + QStringLiteral("/state.json")).size(), 0);
    QFile config(m_dir.filePath("config.json"));
    QVERIFY(config.open(QIODevice::ReadOnly));
    const QString historyStart =
        QJsonDocument::fromJson(config.readAll()).object().value("App").toObject().value("history_start_date").toString();
    QVERIFY2(historyStart.startsWith(QDate::currentDate().toString(QStringLiteral("yyyy-MM-dd"))), qPrintable(historyStart));
    // The PBX is left alone.
    QCOMPARE(m_ami->frames(QStringLiteral("Login")).size(), 0);
}

// A clean run that cannot log in to the portal says so and ends with an error instead of waiting for ever.
void tst_Service::cleanRunWithoutPortalFails()
{
    // The stored token has expired and the portal refuses the configured login.
    m_portal->expireAccessTokens();
    m_portal->setCredentials(QStringLiteral("somebody"), QStringLiteral("else"));
    QVERIFY(startService({QStringLiteral("--clean")}));
    QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 20000);
    QCOMPARE(m_service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(m_service.exitCode(), 1);
    QVERIFY2(log().contains(QStringLiteral("Clean run failed")), qPrintable(log().right(2000)));
    QVERIFY(log().contains(QStringLiteral("Cannot log in to the CRM portal")));
    // Nothing was discarded.
    QVERIFY(QFileInfo(m_generatedDir + QStringLiteral("/token.json")).size() > 0);
}

// The portal's click-to-call event for an employee with a phone makes the PBX call that phone first;
// an event without a user sends nothing.
void tst_Service::clickToCallOriginates()
{
    // The key of the handler address the service binds for the portal's events.
    const QByteArray key(64, 'c');
    QFile keyFile(m_generatedDir + QStringLiteral("/event_key"));
    QVERIFY(keyFile.open(QIODevice::WriteOnly) && keyFile.write(key) == key.size());
    keyFile.close();
    QVERIFY(startService());
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);

    const auto event = [](const QByteArray &userId, const QByteArray &phone) {
        return "event=ONEXTERNALCALLSTART&data%5BUSER_ID%5D=" + userId + "&data%5BPHONE_NUMBER%5D=" + phone
            + "&data%5BCALL_ID%5D=externalCall.c2c&data%5BLINE_NUMBER%5D=&auth%5Bdomain%5D=portal.example";
    };
    const QString route = QStringLiteral("/events/external_call_start?key=") + QString::fromLatin1(key);
    QNetworkReply *nobody = post(route, event("0", "84950001111"),
                                 "application/x-www-form-urlencoded");
    QVERIFY(waitFinished(nobody));
    QCOMPARE(nobody->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    nobody->deleteLater();
    QNetworkReply *employee = post(route, event("7", "84951112233"),
                                   "application/x-www-form-urlencoded");
    QVERIFY(waitFinished(employee));
    QCOMPARE(employee->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    employee->deleteLater();

    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("Originate")).size(), 1, 10000);
    const FakeAmiServer::Frame originate = m_ami->frames(QStringLiteral("Originate")).first();
    QCOMPARE(originate.value(QStringLiteral("Channel")), QStringLiteral("SIP/101"));
    QCOMPARE(originate.value(QStringLiteral("Exten")), QStringLiteral("84951112233"));
}

// A check of a server whose header never ends holds neither the portal's requests nor a stop.
void tst_Service::checkOfAnEndlessHeaderHoldsNothing()
{
    QTcpServer endless; // sends for as long as this test's events run, 256 MiB at most
    QVERIFY(endless.listen(QHostAddress::LocalHost));
    qint64 sent = 0;
    connect(&endless, &QTcpServer::newConnection, this, [&endless, &sent] {
        QTcpSocket *socket = endless.nextPendingConnection();
        socket->write("HTTP/1.1 200 OK\r\nX-Endless: ");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket, &sent] {
            if (sent < 256 * 1024 * 1024 && socket->bytesToWrite() < 256 * 1024)
                sent += socket->write(QByteArray(64 * 1024, 'a'));
        });
        timer->start(0);
    });
    m_portal->setRestResult(QStringLiteral("user.current"), QJsonObject{{"ID", "1"}});
    QVERIFY(startService());
    QTRY_COMPARE_WITH_TIMEOUT(m_ami->frames(QStringLiteral("IAXpeers")).size(), 1, 10000);
    connect(&m_network, &QNetworkAccessManager::authenticationRequired, this,
            [](QNetworkReply *, QAuthenticator *a) { a->setUser("operator"); a->setPassword("Pa55-word"); });
    const QJsonObject check{{"host", QStringLiteral("http://127.0.0.1:%1").arg(endless.serverPort())},
                            {"user_login", "admin"}, {"user_password", "secret"}};
    post(QStringLiteral("/bitrix_check"), QJsonDocument(check).toJson(), "application/json");
    QTRY_VERIFY_WITH_TIMEOUT(sent > 0, 10000);
    QNetworkReply *portal = post(QStringLiteral("/custom_crm_request"), R"({"method": "user.current"})",
                                 "application/json"); // m_network's, as the check's
    QVERIFY(waitFinished(portal));
    QCOMPARE(portal->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
    // No portal request is held up: the stop needs none of the 5 s it gives them.
    m_service.terminate();
    QTRY_VERIFY_WITH_TIMEOUT(m_service.state() == QProcess::NotRunning, 4000);
    QVERIFY(log().contains(QStringLiteral("Stopping on SIGTERM")));
}

QTEST_GUILESS_MAIN(tst_Service)
#include "tst_service.moc"
