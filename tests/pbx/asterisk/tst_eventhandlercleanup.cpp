#include "eventhandlertestsupport.h"

// What the tracker forgets and what it keeps: stale entries cleaned up, calls whose end never came
// closed, and its state saved and restored.
class tst_EventHandlerCleanup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }

    void staleCleanup_data();
    void staleCleanup();
    void staleEntryWithoutId();
    void lostCallEnds_data();
    void lostCallEnds();
    void pickupChannelIsCleanedUp_data();
    void pickupChannelIsCleanedUp();

    void saveAndRestore();
    void restoreKeepsOtherEntries();
};

void tst_EventHandlerCleanup::staleCleanup_data()
{
    QTest::addColumn<int>("secondsSinceEnd");
    QTest::addColumn<bool>("removed");

    QTest::newRow("29.9 minutes") << 1794 << false;
    QTest::newRow("30.0 minutes") << 1800 << true;
    QTest::newRow("a day") << 86400 << true;
}

void tst_EventHandlerCleanup::staleCleanup()
{
    QFETCH(int, secondsSinceEnd);
    QFETCH(bool, removed);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 1.0      | 1.0      | SIP/trunk-00000001 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 1.1      | 1.0      | SIP/101-00000002   |
| 3  | CHAN_END     | 10:00:10  | 101         |             | 1.1      | 1.0      | SIP/101-00000002   |
| 4  | LINKEDID_END | 10:00:10  | 79161234567 | 101         | 1.0      | 1.0      | SIP/trunk-00000001 |
| 5  | CHAN_START   | 10:00:05  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000003 |
| 6  | CHAN_START   | 10:00:05  | 102         | s           | 2.1      | 2.0      | SIP/102-00000004   |
)"));
    const QDateTime end(QDate(2024, 3, 1), QTime(10, 0, 10));
    Clock::setSource([=] { return end.addSecs(secondsSinceEnd); });
    handler.removeStale();

    QCOMPARE(handler.calls().contains("1.0"), !removed);
    QCOMPARE(handler.channels().contains("1.0"), !removed);
    QCOMPARE(handler.channels().contains("1.1"), !removed);
    // A call still in progress stays whatever its age.
    QVERIFY(handler.calls().contains("2.0"));
    QVERIFY(handler.channels().contains("2.0"));
    QVERIFY(handler.channels().contains("2.1"));
}

void tst_EventHandlerCleanup::staleEntryWithoutId()
{
    // An entry whose call has no id of its own (a placeholder the tracker keeps for an untracked
    // call) is removed by the key it is stored under.
    EventHandler handler;
    const QJsonObject state{
        {"calls", QJsonObject{{"5.0", QJsonObject{{"id", ""}, {"state", 3}, {"ended_at", "2024-03-01 10:00:00"}}}}}};
    handler.fromJson(state);
    QVERIFY(handler.calls().contains("5.0"));
    Clock::setSource([] { return QDateTime(QDate(2024, 3, 1), QTime(10, 30, 0)); });
    handler.removeStale();
    QVERIFY(handler.calls().isEmpty());
}

void tst_EventHandlerCleanup::lostCallEnds_data()
{
    QTest::addColumn<int>("minutesQuiet");
    QTest::addColumn<QStringList>("live");
    QTest::addColumn<bool>("quiet");
    QTest::addColumn<int>("lists");
    QTest::addColumn<QString>("lateRows"); // read between the first list and the second
    QTest::addColumn<QString>("endedAt");  // empty: never; the call and its leg
    QTest::addColumn<QString>("linkLostAt"); // losses of the link before the first list | before the second

    const QString header = "| id | eventtype | eventtime | cid_num | exten | uniqueid | linkedid | channame |\n";
    QTest::newRow("29 minutes without a row, missing from two lists")
        << 29 << QStringList() << false << 2 << QString() << "10:00:09" << QString();
    // A crash cut the link and the call: they talked until then, not only until the last row (the answer).
    QTest::newRow("up when the link was lost, missing from two lists")
        << 1 << QStringList() << false << 2 << QString() << "10:00:58" << "10:00:58";
    QTest::newRow("the link lost before its last row") << 1 << QStringList() << false << 2 << QString() << "10:00:09"
                                                       << "10:00:07";
    QTest::newRow("the link lost before its last row and after it") << 1 << QStringList() << false << 2 << QString()
                                                                    << "10:00:58" << "10:00:07 10:00:58 10:01:30";
    // Gone at the first loss: a later one, or a loss after a list that missed it already, is no later end.
    QTest::newRow("the link lost again before the second list") << 1 << QStringList() << false << 2 << QString()
                                                                << "10:00:58" << "10:00:58|10:01:30";
    QTest::newRow("missing from a list, then the link lost") << 1 << QStringList() << false << 2 << QString()
                                                             << "10:00:09" << "|10:01:30";
    QTest::newRow("30 minutes, missing from two lists")
        << 30 << QStringList() << true << 2 << QString() << "10:00:09" << QString();
    QTest::newRow("30 minutes, missing from one list only")
        << 30 << QStringList() << true << 1 << QString() << "" << QString();
    QTest::newRow("its leg still up") << 30 << QStringList{"100.1"} << true << 2 << QString() << "" << QString();
    QTest::newRow("its linked id still up")
        << 40 << QStringList{"100.0", "999.0"} << true << 2 << QString() << "" << QString();
    // It hung up just before the list, and its rows were written late: its own rows end it.
    QTest::newRow("missing from one list, its end rows arrive late")
        << 30 << QStringList() << true << 2
        << header + "| 5 | CHAN_END | 10:30:08 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"
                    "| 6 | CHAN_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
                    "| 7 | LINKEDID_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
        << "10:30:08" << QString();
    QTest::newRow("missing from one list, rows of another call stamped past it")
        << 30 << QStringList() << true << 1
        << header + "| 5 | CHAN_START | 10:30:11 | 79160000000 | 74950000000 | 300.0 | 300.0 | SIP/trunk-00000005 |\n"
        << "10:00:09" << QString();
    QTest::newRow("ended as lost, its own end rows after")
        << 30 << QStringList() << true << 1
        << header + "| 5 | CHAN_START | 10:30:11 | 79160000000 | 74950000000 | 300.0 | 300.0 | SIP/trunk-00000005 |\n"
                    "| 6 | CHAN_END | 10:30:08 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"
                    "| 7 | CHAN_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
                    "| 8 | LINKEDID_END | 10:30:08 | 79161234567 | | 100.0 | 100.0 | SIP/trunk-00000001 |\n"
        << "10:00:09" << QString();
}

void tst_EventHandlerCleanup::lostCallEnds()
{
    // A call the PBX lost (a crash) has no end rows: asked after once the PBX lists its channels (after
    // a login, or when no row came for 30 minutes), it ends at its last row as an ordinary end would,
    // once the list is sure of it. A call that only seemed lost ends once, by its own rows.
    QFETCH(int, minutesQuiet);
    QFETCH(QStringList, live);
    QFETCH(bool, quiet);
    QFETCH(int, lists);
    QFETCH(QString, lateRows);
    QFETCH(QString, endedAt);
    QFETCH(QString, linkLostAt);

    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall + "| 4 | DTMF | 10:00:09 | 101 | | 100.1 | 100.0 | SIP/101-00000002 |\n"));
    Clock::setSource([=] { return QDateTime(QDate(2024, 3, 1), QTime(10, 0, 9)).addSecs(minutesQuiet * 60); });
    QCOMPARE(handler.quietCalls(), quiet ? QStringList{"100.0"} : QStringList());

    Recorder recorder(QDate(2024, 3, 1));
    recorder.attach(&handler);
    const QSet<QString> liveIds(live.cbegin(), live.cend());
    const auto losses = [&linkLostAt](int list) {
        QList<QDateTime> times;
        for (const QString &time : linkLostAt.section('|', list, list).split(' ', Qt::SkipEmptyParts))
            times << QDateTime(QDate(2024, 3, 1), QTime::fromString(time, "HH:mm:ss"));
        return times;
    };
    handler.endLostCalls({"100.0", "555.0"}, liveIds, Clock::now(), losses(0));
    if (!lateRows.isEmpty())
        replay(handler, table(lateRows));
    if (lists > 1)
        handler.endLostCalls(handler.quietCalls() + QStringList{"555.0"}, liveIds, Clock::now(), losses(1));
    QCOMPARE(handler.toJson(), freshState(handler));

    QStringList endTimes;
    for (const QStringList &row : recorder.rows())
        endTimes << (row.first().endsWith("Ended") ? row.at(kSignalColumns.indexOf("ended")) : QString());
    endTimes.removeAll(QString());
    QCOMPARE(endTimes, endedAt.isEmpty() ? QStringList() : (QStringList{endedAt, endedAt}));
    QCOMPARE(recorder.signalNames().count("conversationEnded"), endedAt.isEmpty() ? 0 : 1);
    QCOMPARE(handler.channels().value("100.1").isState(Channel::Ended), !endedAt.isEmpty());
    if (!endedAt.isEmpty()) // ended once: asked again, nothing more
        QCOMPARE(handler.endLostCalls({"100.0"}, {}), 0);
}

void tst_EventHandlerCleanup::pickupChannelIsCleanedUp_data()
{
    QTest::addColumn<QString>("rows");

    QTest::newRow("nothing to pick up") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START   | 10:00:00  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 2  | ANSWER       | 10:00:00  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 3  | CHAN_END     | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 4  | LINKEDID_END | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
)";
    QTest::newRow("picked up a ringing call") << R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000002 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 2.1      | 2.0      | SIP/101-00000003   |
| 3  | CHAN_START   | 10:00:01  | 102         | *8          | 1.0      | 1.0      | SIP/102-00000001   |
| 4  | PICKUP       | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 5  | CHAN_END     | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 6  | CHAN_END     | 10:00:02  | 102         | *8          | 1.0      | 2.0      | SIP/102-00000001   |
| 7  | LINKEDID_END | 10:00:02  | 102         | *8          | 1.0      | 1.0      | SIP/102-00000001   |
| 8  | CHAN_END     | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
| 9  | LINKEDID_END | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
)";
    QTest::newRow("picked up by a phone without caller id") << R"(
| id | eventtype    | eventtime | cid_num     | exten       | uniqueid | linkedid | channame           |
| 1  | CHAN_START   | 10:00:00  | 79161234567 | 74950000000 | 2.0      | 2.0      | SIP/trunk-00000002 |
| 2  | CHAN_START   | 10:00:00  | 101         | s           | 2.1      | 2.0      | SIP/101-00000003   |
| 3  | CHAN_START   | 10:00:01  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 4  | ANSWER       | 10:00:01  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 5  | PICKUP       | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 6  | CHAN_END     | 10:00:02  | 101         |             | 2.1      | 2.0      | SIP/101-00000003   |
| 7  | CHAN_END     | 10:00:02  |             | *8          | 1.0      | 2.0      | IAX2/103-7560      |
| 8  | LINKEDID_END | 10:00:02  |             | *8          | 1.0      | 1.0      | IAX2/103-7560      |
| 9  | CHAN_END     | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
| 10 | LINKEDID_END | 10:00:02  | 79161234567 | 101         | 2.0      | 2.0      | SIP/trunk-00000002 |
)";
    QTest::newRow("picked up from a call started before the tracker watched") << R"(
| id | eventtype    | eventtime | cid_num | exten | uniqueid | linkedid | channame         |
| 1  | CHAN_START   | 10:00:01  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
| 2  | PICKUP       | 10:00:02  | 101     |       | 2.1      | 2.0      | SIP/101-00000003 |
| 3  | CHAN_END     | 10:00:02  | 102     | *8    | 1.0      | 2.0      | SIP/102-00000001 |
| 4  | LINKEDID_END | 10:00:02  | 102     | *8    | 1.0      | 1.0      | SIP/102-00000001 |
)";
}

void tst_EventHandlerCleanup::pickupChannelIsCleanedUp()
{
    // Whether or not it found a call to pick up, the channel that dialled the pickup code ends and
    // leaves the tables (and the saved state) with the stale cleanup like every other channel.
    QFETCH(QString, rows);
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(rows));
    QVERIFY(handler.channels().value("1.0").isState(Channel::Ended));

    Clock::setSource([] { return QDateTime(QDate(2024, 3, 1), QTime(10, 30, 2)); });
    handler.removeStale();
    QCOMPARE(handler.channels().keys(), QStringList());
    QCOMPARE(handler.calls().keys(), QStringList());
}

void tst_EventHandlerCleanup::saveAndRestore()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));
    const QJsonObject saved = handler.toJson();
    QCOMPARE(saved.value("calls").toObject().keys(), QStringList{"100.0"});
    QCOMPARE(saved.value("channels").toObject().keys(), (QStringList{"100.0", "100.1"}));

    EventHandler restored;
    restored.fromJson(QJsonDocument::fromJson(QJsonDocument(saved).toJson()).object());
    QCOMPARE(restored.toJson(), saved);
    QCOMPARE(restored.channels().value("100.1"), handler.channels().value("100.1"));
    QCOMPARE(restored.calls().value("100.0").toJson(), handler.calls().value("100.0").toJson());

    EventHandler empty;
    EventHandler emptyRestored;
    emptyRestored.fromJson(empty.toJson());
    QVERIFY(emptyRestored.calls().isEmpty());
    QVERIFY(emptyRestored.channels().isEmpty());
}

void tst_EventHandlerCleanup::restoreKeepsOtherEntries()
{
    EventHandler handler;
    configureDefault(handler);
    replay(handler, table(kAnsweredCall));

    Channel other("7.0", "7.0", "102", "79161234567", "SIP/102-00000009");
    const QJsonObject state{
        {"channels", QJsonObject{{"ignored key", other.toJson()}, {"", Channel().toJson()}}},
        {"calls", QJsonObject{{"", QJsonObject{{"id", "x"}}}}},
    };
    handler.fromJson(state);
    QCOMPARE(handler.channels().size(), 3);
    QCOMPARE(handler.channels().value("7.0").caller(), QString("102"));
    QCOMPARE(handler.calls().keys(), QStringList{"100.0"});
    handler.fromJson(QJsonObject());
    QCOMPARE(handler.channels().size(), 3);
}

QTEST_GUILESS_MAIN(tst_EventHandlerCleanup)
#include "tst_eventhandlercleanup.moc"
