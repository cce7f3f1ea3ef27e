// The service stopped (SIGTERM, kill -9) or its PBX link lost in the middle of calls and their CRM work
// (servicetestsupport.h): after the next start every call is in the CRM once, as it happened.

#include "servicetestsupport.h"

class tst_ServiceStops : public QObject, public ServiceHarness
{
    Q_OBJECT

private Q_SLOTS:
    void init() { setUp(); }
    void cleanup() { tearDown(); }
    void killedMidCallRegistersAndFinishesOnce_data();
    void killedMidCallRegistersAndFinishesOnce();
    void workInHandSurvivesAStop_data();
    void workInHandSurvivesAStop();
    void transferSurvivesAStop_data();
    void transferSurvivesAStop();
};

// Killed in the middle of a call, the service knows at its next start what it registered already.
void tst_ServiceStops::killedMidCallRegistersAndFinishesOnce_data()
{
    QTest::addColumn<bool>("atUpload"); // killed while the recording goes, not while the card shows
    QTest::addColumn<bool>("atFinish"); // killed earlier, while the finish waits for its answer
    QTest::newRow("killed while its card shows") << false << false;
    // The look-up at the next start must use the configured table, before anything else asks the PBX link.
    QTest::newRow("killed while its recording goes, the CDR table renamed") << true << false;
    QTest::newRow("killed while its finish waits for the answer: sent again, then the recording") << true << true;
}

void tst_ServiceStops::killedMidCallRegistersAndFinishesOnce()
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
void tst_ServiceStops::workInHandSurvivesAStop_data()
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

void tst_ServiceStops::workInHandSurvivesAStop()
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
void tst_ServiceStops::transferSurvivesAStop_data()
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

void tst_ServiceStops::transferSurvivesAStop()
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

QTEST_GUILESS_MAIN(tst_ServiceStops)
#include "tst_servicestops.moc"
