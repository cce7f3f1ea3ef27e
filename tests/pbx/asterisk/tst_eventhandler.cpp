#include "eventhandlertestsupport.h"

class tst_EventHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }

    void replayScenario_data();
    void replayScenario();

    void debugTrace_data();
    void debugTrace();

    void internalNumber_data();
    void internalNumber();

    void originateDictionary_data();
    void originateDictionary();

    void unknownCallIsDropped_data();
    void unknownCallIsDropped();

    void attendedTransferWindow_data();
    void attendedTransferWindow();
    void attendedTransferPrefersLiveLeg_data();
    void attendedTransferPrefersLiveLeg();

    void pickupOfLocalCall();
    void relinkedPrimaryChannelMovesItsLeg();
    void relinkedChannelNotMoved_data();
    void relinkedChannelNotMoved();

    void restartAtEveryRow_data();
    void restartAtEveryRow();
};

void tst_EventHandler::replayScenario_data()
{
    QTest::addColumn<QString>("file");
    const QStringList files{
        "real-inbound-answered.txt",
        "real-outbound-answered.txt",
        "real-internal.txt",
        "real-inbound-restart.txt",
        "incoming-missed.txt",
        "incoming-withheld-no-caller-id.txt",
        "incoming-no-internal-number.txt",
        "leg-caller-is-trunk.txt",
        "leg-without-caller-id.txt",
        "leg-without-caller-id-answered.txt",
        "leg-caller-is-unconfigured-number.txt",
        "outgoing-presented-number.txt",
        "click-to-call.txt",
        "click-to-call-unknown.txt",
        "blind-transfer.txt",
        "blind-transfer-id-order.txt",
        "attended-transfer-record-first.txt",
        "attended-transfer-relinked-first.txt",
        "attended-transfer-feature-code.txt",
        "attended-transfer-internal.txt",
        "pickup.txt",
        "pickup-without-caller-id.txt",
        "pickup-after-transfer.txt",
        "ring-group.txt",
        "ring-group-first-phone-answers.txt",
        "ring-group-caller-hangs-up.txt",
        "incoming-never-rang.txt",
        "anonymous-until-answered.txt",
        "unknown-leg-ends.txt",
        "stray-records.txt",
        "repeated-channel-start.txt",
        "consultation-call-joins-whole.txt",
        "blind-transfer-outgoing.txt",
        "attended-transfer-outgoing.txt",
        "attended-transfer-ringing.txt",
        "attended-transfer-through-local.txt",
        "real-attended-transfer-abandoned.txt",
        "real-attended-transfer.txt",
        "attended-transfer-abandoned-same-second.txt",
        "real-attended-transfer-lost.txt",
        "blind-transfer-ring-group.txt",
        "real-inbound-no-caller-id.txt",
        "internal-no-caller-id-to-our-number.txt",
        "ring-groups-same-second.txt",
        "withheld-over-numbered-lines.txt",
        "outgoing-without-caller-id.txt",
    };
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << file;
}

void tst_EventHandler::replayScenario()
{
    QFETCH(QString, file);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));
    QVERIFY(!scenario.events.isEmpty());

    Recorder recorder(scenario.date);
    auto handler = scenario.makeHandler();
    recorder.attach(handler.get());

    QStringList warnings;
    {
        WarningCapture capture;
        for (const Event &event : scenario.events) {
            handler->process(event);
            // The state file written after every batch must hold every change.
            if (handler->toJson() != freshState(*handler))
                QFAIL(qPrintable(QString("saved state is behind after CEL row %1").arg(event.id())));
            if (event.id() == scenario.restartAfter) {
                handler = scenario.restarted(*handler);
                recorder.attach(handler.get());
            }
            if (event.id() == scenario.lostAfter) {
                // Missing from two channel lists in a row.
                handler->endLostCalls(handler->calls().keys(), {});
                handler->endLostCalls(handler->calls().keys(), {});
                break;
            }
        }
        warnings = capture.warnings();
    }

    const QList<QStringList> actual = recorder.rows();
    for (int i = 0; i < qMin(actual.size(), scenario.signalRows.size()); ++i) {
        if (actual.at(i) != scenario.signalRows.at(i)) {
            QFAIL(qPrintable(QString("signal %1 differs\n   actual: %2\n expected: %3")
                                 .arg(i + 1)
                                 .arg(rowText(actual.at(i)), rowText(scenario.signalRows.at(i)))));
        }
    }
    for (int i = scenario.signalRows.size(); i < actual.size(); ++i)
        qInfo().noquote() << "unexpected signal:" << rowText(actual.at(i));
    for (int i = actual.size(); i < scenario.signalRows.size(); ++i)
        qInfo().noquote() << "missing signal:" << rowText(scenario.signalRows.at(i));
    QCOMPARE(actual.size(), scenario.signalRows.size());
    QCOMPARE(warnings, scenario.warnings);
}

void tst_EventHandler::debugTrace_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("line");

    QTest::newRow("number from the originate dictionary")
        << "click-to-call.txt" << "[410.0]\tCall started\t\tStart\tTake number from originate dictionary";
    QTest::newRow("leg number from the channel name")
        << "leg-caller-is-trunk.txt"
        << "[310.0]\tConversation requested\t\tOK\tInternal number not found in cid_num. Take number from channame: 102";
    QTest::newRow("no number in the channel name")
        << "unknown-leg-ends.txt"
        << "[370.0]\tConversation requested\t\tError\tFailed to take number from channame: SIP/operator-00000121";
    QTest::newRow("pickup") << "pickup.txt"
                            << "[800.0]\tConversation requested\t\tStart\tThere was an PICKUP in the call. 102 takes the call.";
    QTest::newRow("end of the pickup channel's own call")
        << "pickup.txt" << "[801.0]\tCall ended\t\tStart\t[801.0] Channel engaged in PICKUP";
    QTest::newRow("transfer") << "attended-transfer-record-first.txt"
                              << "[600.0]\tCall transferred\t\tStart\tCall transfer\t600.2 600.0 600.3 CEL ID [7]";
}

void tst_EventHandler::debugTrace()
{
    // The debug lines an administrator follows a call by, in the call-trace layout.
    QFETCH(QString, file);
    QFETCH(QString, line);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));
    auto handler = scenario.makeHandler();
    QStringList lines;
    {
        WarningCapture capture;
        replay(*handler, scenario.events);
        lines = capture.debugLines();
    }
    QVERIFY2(lines.contains(line), qPrintable(lines.join('\n')));
}

void tst_EventHandler::internalNumber_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("internal");
    QTest::addColumn<bool>("logsShort");

    QTest::newRow("configured trunk") << "74950000000" << true << false;
    QTest::newRow("peer name") << "trunk" << true << false;
    QTest::newRow("long peer") << "10001" << true << false;
    QTest::newRow("feature code") << "*21*12345" << true << false;
    QTest::newRow("four characters") << "1234" << true << true;
    QTest::newRow("one character") << "7" << true << true;
    QTest::newRow("five characters") << "12345" << false << false;
    QTest::newRow("customer") << "79161234567" << false << false;
    QTest::newRow("empty") << "" << false << false;
    QTest::newRow("trunk is case-sensitive") << "TRUNK" << false << false;
}

void tst_EventHandler::internalNumber()
{
    QFETCH(QString, number);
    QFETCH(bool, internal);
    QFETCH(bool, logsShort);

    EventHandler handler;
    configureDefault(handler);
    handler.setPeers({"101", "trunk", "10001"});
    handler.setFeatureCodes({"*21*12345"});
    if (logsShort)
        QTest::ignoreMessage(QtInfoMsg,
                             qPrintable(QString("Consider number [%1] as internal, because it's short").arg(number)));
    QCOMPARE(handler.isInternalNumber(number), internal);
}

void tst_EventHandler::originateDictionary_data()
{
    QTest::addColumn<QString>("caller");
    QTest::addColumn<QString>("dictionaryFrom");
    QTest::addColumn<QString>("dictionaryTo");
    QTest::addColumn<QString>("to");
    QTest::addColumn<int>("type");
    QTest::addColumn<bool>("consumed");

    QTest::newRow("external number") << "101" << "101" << "79161234567" << "79161234567" << 3 << true;
    QTest::newRow("leading zero dropped") << "0101" << "101" << "79161234567" << "79161234567" << 3 << true;
    QTest::newRow("internal number makes it local") << "101" << "101" << "102" << "102" << 1 << true;
    QTest::newRow("another extension's entry") << "102" << "101" << "79161234567" << "" << 0 << false;
}

void tst_EventHandler::originateDictionary()
{
    QFETCH(QString, caller);
    QFETCH(QString, dictionaryFrom);
    QFETCH(QString, dictionaryTo);
    QFETCH(QString, to);
    QFETCH(int, type);
    QFETCH(bool, consumed);

    EventHandler handler;
    configureDefault(handler);
    QCOMPARE(handler.addOriginate(dictionaryFrom, dictionaryTo), dictionaryTo);
    QSignalSpy started(&handler, &EventHandler::callStarted);
    handler.process(Event("1", "CHAN_START", "2024-03-01 10:00:00", caller, "s", "1.0", "1.0",
                          "SIP/" + caller + "-00000001"));

    const Call call = handler.calls().value("1.0");
    QCOMPARE(call.to(), to);
    QCOMPARE(static_cast<int>(call.type()), type);
    QCOMPARE(started.count(), type == 0 ? 0 : 1);
    QCOMPARE(handler.originateDictionary().contains(dictionaryFrom), !consumed);

    handler.removeOriginate(dictionaryFrom);
    QVERIFY(handler.originateDictionary().isEmpty());
}

void tst_EventHandler::unknownCallIsDropped_data()
{
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("warning");

    QTest::newRow("never resolved, dropped at its end") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_END     | 10:00:09  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 3  | LINKEDID_END | 10:00:09  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
)" << "[1.0]\tCall ended\t\tWarning\tDon't register the call\t";

    QTest::newRow("answered leg that is not outgoing") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | s     | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_START   | 10:00:00  |             | s     | 1.1      | 1.0      | SIP/trunk-00000002 |
| 3  | BRIDGE_ENTER | 10:00:04  |             |       | 1.1      | 1.0      | SIP/trunk-00000002 |
)" << "[1.1]\tConversation accepted\t\tWarning\tDon't register call: ";
}

void tst_EventHandler::unknownCallIsDropped()
{
    QFETCH(QString, rows);
    QFETCH(QString, warning);

    EventHandler handler;
    configureDefault(handler);
    QSignalSpy started(&handler, &EventHandler::callStarted);
    QSignalSpy ended(&handler, &EventHandler::callEnded);
    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);

    QStringList warnings;
    {
        WarningCapture capture;
        replay(handler, table(rows));
        warnings = capture.warnings();
    }
    QVERIFY(!handler.calls().contains("1.0"));
    QCOMPARE(started.count() + ended.count() + requested.count() + accepted.count(), 0);
    QVERIFY2(std::any_of(warnings.cbegin(), warnings.cend(),
                         [&](const QString &text) { return text.startsWith(warning); }),
             qPrintable(warnings.join('\n')));
    // The dropped call's JSON follows the warning text, for the administrator.
    QVERIFY(warnings.join('\n').contains("\"from\":\"79161234567\""));
}

void tst_EventHandler::attendedTransferWindow_data()
{
    QTest::addColumn<QString>("transferTime");
    QTest::addColumn<bool>("moved");

    QTest::newRow("consultation still up") << "10:00:30" << true;
    QTest::newRow("hung 15 s before") << "10:00:40" << true;
    QTest::newRow("hung 16 s before") << "10:00:41" << false;
}

void tst_EventHandler::attendedTransferWindow()
{
    QFETCH(QString, transferTime);
    QFETCH(bool, moved);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    // 101's consultation call to 102; it hangs up at 10:00:25 unless the transfer comes first.
    replay(handler, table(kConsultationCall));
    if (transferTime != "10:00:30")
        handler.process(Event("7", "CHAN_END", "2024-03-01 10:00:25", "102", "", "200.1", "200.0",
                              "SIP/102-00000004"));

    QSignalSpy transferred(&handler, &EventHandler::callTransferred);
    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    QStringList warnings;
    {
        WarningCapture capture;
        handler.process(Event("8", "ATTENDEDTRANSFER", "2024-03-01 " + transferTime, "101", "",
                              "100.1", "100.0", "SIP/101-00000002"));
        warnings = capture.warnings();
    }
    QCOMPARE(warnings, QStringList());

    const QStringList expectedIds = moved ? QStringList{"100.1", "100.0", "200.0", "100.0"}
                                          : QStringList{"100.1", "100.0"};
    QStringList ids;
    for (const QList<QVariant> &arguments : transferred)
        ids << arguments.first().toString();
    QCOMPARE(ids, expectedIds);
    QCOMPARE(handler.calls().value("100.0").conversations().contains("200.1"), moved);
    QCOMPARE(requested.count(), moved ? 1 : 0);
    if (moved) {
        QCOMPARE(accepted.count(), 1);
        const Conversation leg = accepted.first().first().value<Conversation>();
        QCOMPARE(leg.callId(), QString("100.0"));
        QCOMPARE(leg.to(), QString("102"));
        // Answered in the consultation call: the answer time goes with the leg.
        QCOMPARE(leg.answeredAt(), QDateTime(QDate(2024, 3, 1), QTime(10, 0, 12)));
        QCOMPARE(handler.channels().value("200.1").parentId(), QString("100.0"));
    }
}

void tst_EventHandler::attendedTransferPrefersLiveLeg_data()
{
    QTest::addColumn<QString>("otherCall");
    // With the hash seed fixed, the first three come before the consultation call in the table.
    for (const char *id : {"153.0", "283.0", "423.0", "300.0"})
        QTest::newRow(id) << QString(id);
}

void tst_EventHandler::attendedTransferPrefersLiveLeg()
{
    // 101 also talked to 103 in a call that ended a few seconds before the transfer: the leg that
    // moves into the customer's call is the consultation with 102 that is still up, whatever order
    // the calls are kept in.
    QFETCH(QString, otherCall);
    const QString otherLeg = otherCall.chopped(1) + "1";
    qSetGlobalQHashSeed(0);
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    replay(handler, table(kConsultationCall));
    replay(handler, table(QString(R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 10 | CHAN_START   | 10:00:14  | 101     | 103   | %1    | %1    | SIP/101-00000010 |
| 11 | CHAN_START   | 10:00:14  | 103     | s     | %2    | %1    | SIP/103-00000011 |
| 12 | ANSWER       | 10:00:15  | 103     | 103   | %2    | %1    | SIP/103-00000011 |
| 13 | CHAN_END     | 10:00:25  | 103     |       | %2    | %1    | SIP/103-00000011 |
| 14 | LINKEDID_END | 10:00:25  | 101     | 103   | %1    | %1    | SIP/101-00000010 |
)").arg(otherCall, otherLeg)));

    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    handler.process(Event("20", "ATTENDEDTRANSFER", "2024-03-01 10:00:30", "101", "", "100.1", "100.0",
                          "SIP/101-00000002"));
    qSetGlobalQHashSeed(-1);

    QCOMPARE(requested.count(), 1);
    QCOMPARE(requested.first().first().value<Conversation>().id(), QString("200.1"));
    QVERIFY(!handler.calls().value("100.0").conversations().contains(otherLeg));
    QCOMPARE(handler.channels().value(otherLeg).parentId(), otherCall);
}

void tst_EventHandler::pickupOfLocalCall()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(R"(
| id | eventtype  | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START | 10:00:00  | 101     | 102   | 1.0      | 1.0      | SIP/101-00000001 |
| 2  | CHAN_START | 10:00:00  | 102     | s     | 1.1      | 1.0      | SIP/102-00000002 |
| 3  | CHAN_START | 10:00:04  | 103     | *8    | 2.0      | 2.0      | SIP/103-00000003 |
)"));
    QVERIFY(!handler.calls().contains("2.0"));

    QSignalSpy requested(&handler, &EventHandler::conversationRequested);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    QTest::ignoreMessage(QtWarningMsg, "[1.0]\tIt is not incoming call. Ignore PICKUP");
    handler.process(Event("4", "PICKUP", "2024-03-01 10:00:06", "102", "", "1.1", "1.0", "SIP/102-00000002"));

    QCOMPARE(requested.count(), 0);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(!handler.calls().value("1.0").conversations().contains("2.0"));
    const Channel picker = handler.channels().value("2.0");
    QCOMPARE(picker.parentId(), QString("1.0"));
    QVERIFY(!picker.isPrimary());
    QVERIFY(picker.isState(Channel::Ended));
}

void tst_EventHandler::relinkedPrimaryChannelMovesItsLeg()
{
    // 101's consultation call (200.0, one leg to 102) joins the customer's call as a whole: its own
    // channel shows up with the customer's linked id, and what moves is its single leg.
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    replay(handler, table(kConsultationCall));
    QSignalSpy transferred(&handler, &EventHandler::callTransferred);
    QSignalSpy ended(&handler, &EventHandler::conversationEnded);
    QSignalSpy accepted(&handler, &EventHandler::conversationAccepted);
    handler.process(Event("7", "BRIDGE_ENTER", "2024-03-01 10:00:20", "101", "", "200.0", "100.0",
                          "SIP/101-00000003"));

    QCOMPARE(transferred.count(), 2);
    QCOMPARE(transferred.at(0).first().toString(), QString("200.0"));
    QCOMPARE(transferred.at(1).first().toString(), QString("100.0"));
    QCOMPARE(ended.count(), 1);
    QCOMPARE(ended.first().first().value<Conversation>().callId(), QString("200.0"));
    QCOMPARE(accepted.count(), 1);
    QCOMPARE(accepted.first().first().value<Conversation>().callId(), QString("100.0"));
    QVERIFY(handler.calls().value("100.0").conversations().contains("200.1"));
}

void tst_EventHandler::relinkedChannelNotMoved_data()
{
    QTest::addColumn<QString>("rows");
    QTest::addColumn<QString>("warning");

    // The customer's call (100.0) has two legs when its own channel shows another linked id: there is
    // no single leg to move.
    QTest::newRow("call's own channel, two legs") << R"(
| id | eventtype    | eventtime | cid_num     | exten | uniqueid | linkedid | channame           |
| 4  | CHAN_START   | 10:00:06  | 102         | s     | 100.2    | 100.0    | SIP/102-00000005   |
| 5  | BRIDGE_ENTER | 10:00:08  | 79161234567 |       | 100.0    | 300.0    | SIP/trunk-00000001 |
)" << "[100.0]\tCall transferred\t\tWarning\tChannel [100.0] is not primary and it can not be trasferred. CEL ID [5]";
    QTest::newRow("destination never seen") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 4  | BRIDGE_ENTER | 10:00:08  | 101     |       | 100.1    | 300.0    | SIP/101-00000002 |
)" << "[300.0]\tCall transferred\t\tWarning\tChannel was not registered. CEL ID [4]";
    // A Local channel that starts a call of its own gets no call.
    QTest::newRow("destination without a call") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame                         |
| 4  | CHAN_START   | 10:00:06  | 102     | 103   | 300.0    | 300.0    | Local/103@from-internal-00000001;1 |
| 5  | BRIDGE_ENTER | 10:00:08  | 101     |       | 100.1    | 300.0    | SIP/101-00000002                 |
)" << "[300.0]\tCall transferred\t\tWarning\tCall was not registered. CEL ID [5]";
}

void tst_EventHandler::relinkedChannelNotMoved()
{
    // A record that carries another linked id than its channel's call, when that move cannot be made:
    // it is logged, nothing is announced, and the leg stays where it was.
    QFETCH(QString, rows);
    QFETCH(QString, warning);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    const Conversation before = handler.calls().value("100.0").conversations().value("100.1");

    Recorder recorder(QDate(2024, 3, 1));
    recorder.attach(&handler);
    QStringList warnings;
    {
        WarningCapture capture;
        replay(handler, table(rows));
        warnings = capture.warnings();
    }
    QCOMPARE(warnings, QStringList{warning});
    QStringList names = recorder.signalNames();
    names.removeAll("conversationRequested"); // the second leg of the first row
    QCOMPARE(names, QStringList());
    QCOMPARE(handler.channels().value("100.1").parentId(), QString("100.0"));
    const Conversation after = handler.calls().value("100.0").conversations().value("100.1");
    QCOMPARE(after.toJson(), before.toJson());
}


void tst_EventHandler::restartAtEveryRow_data()
{
    replayScenario_data();
}

void tst_EventHandler::restartAtEveryRow()
{
    // A service restart may fall between any two CEL batches: the tracker rebuilt from its saved
    // state must go on exactly as the one that kept running, never announcing a call twice nor
    // losing a step of it.
    QFETCH(QString, file);
    const Scenario scenario = loadScenario(dataPath(file));
    QVERIFY2(scenario.error.isEmpty(), qPrintable(scenario.error));

    const auto run = [&scenario](int restartAfter) {
        Recorder recorder(scenario.date);
        auto handler = scenario.makeHandler();
        recorder.attach(handler.get());
        WarningCapture capture;
        for (int i = 0; i < scenario.events.size(); ++i) {
            handler->process(scenario.events.at(i));
            if (i == restartAfter) {
                handler = scenario.restarted(*handler);
                recorder.attach(handler.get());
            }
        }
        return recorder.rows();
    };

    const QList<QStringList> uninterrupted = run(-1);
    for (int row = 0; row + 1 < scenario.events.size(); ++row) {
        const QList<QStringList> restarted = run(row);
        for (int i = 0; i < qMin(restarted.size(), uninterrupted.size()); ++i) {
            if (restarted.at(i) != uninterrupted.at(i)) {
                QFAIL(qPrintable(QString("restart after CEL row %1: signal %2 differs\n   actual: %3\n expected: %4")
                                     .arg(scenario.events.at(row).id())
                                     .arg(i + 1)
                                     .arg(rowText(restarted.at(i)), rowText(uninterrupted.at(i)))));
            }
        }
        QVERIFY2(restarted.size() == uninterrupted.size(),
                 qPrintable(QString("restart after CEL row %1: %2 signals instead of %3")
                                .arg(scenario.events.at(row).id())
                                .arg(restarted.size())
                                .arg(uninterrupted.size())));
    }
}

QTEST_GUILESS_MAIN(tst_EventHandler)
#include "tst_eventhandler.moc"
