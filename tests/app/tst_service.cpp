// The service as an administrator runs it (servicetestsupport.h): calls recorded on a real Asterisk 20 are written
// into the tables and must come out in the portal and the log; its links, clean runs, click-to-call and checks.

#include "servicetestsupport.h"

class tst_Service : public QObject, public ServiceHarness
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void recordedCallReachesTheLog();
    void recordedCallsReachThePortal_data();
    void recordedCallsReachThePortal();
    void lostAmiRestartsBothLinks();
    void cleanRunDiscardsTheState();
    void cleanRunWithoutPortalFails();
    void clickToCallOriginates();
    void checkOfAnEndlessHeaderHoldsNothing();
};

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
