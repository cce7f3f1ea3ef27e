#include "entities/call.h"
#include "entities/telephonyeventloghandler.h"

#include "testclock.h"

#include <QtTest>

using Orvix::Entities::Call;
using Orvix::Entities::CallStatus;
using Orvix::Entities::CallType;
using Orvix::Entities::TelephonyEventLogHandler;

class tst_TelephonyEventLogHandler : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void summary_data();
    void summary();
    void listsAreKeptPerCall();
    void staleListsArePruned_data();
    void staleListsArePruned();
    void oneProcessWideInstance();
};

void tst_TelephonyEventLogHandler::summary_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<int>("seconds"); // -1: no end time
    QTest::addColumn<QStringList>("lines");
    QTest::addColumn<QString>("expected");

    const QString head = QStringLiteral("Call: {Type: incoming, From: %1, To: 101, Trunk: trunk-a, "
                                        "Time: {Start: 2024-03-05 10:00:00, End: %2, Total: %3}");
    QTest::newRow("75 s with lines")
            << "555" << 75 << QStringList{"Entity: {Type: LEAD, Id: 7, Name: A}", "User: {Id: 1, Name: B}"}
            << head.arg("555", "2024-03-05 10:01:15", "00:01:15")
                    + ", Entity: {Type: LEAD, Id: 7, Name: A}, User: {Id: 1, Name: B}}";
    QTest::newRow("3725 s, no lines") << "555" << 3725 << QStringList()
                                      << head.arg("555", "2024-03-05 11:02:05", "01:02:05") + "}";
    QTest::newRow("no end") << "555" << -1 << QStringList() << head.arg("555", "", "00:00:00") + "}";
    QTest::newRow("25 h does not wrap") << "555" << 90000 << QStringList()
                                        << head.arg("555", "2024-03-06 11:00:00", "25:00:00") + "}";
    QTest::newRow("end before start") << "555" << -30 << QStringList()
                                      << head.arg("555", "2024-03-05 09:59:30", "00:00:00") + "}";
    QTest::newRow("placeholders in the data stay") << "%5" << 1 << QStringList{"Note: %1 %7"}
                                                   << head.arg("%5", "2024-03-05 10:00:01", "00:00:01")
                    + ", Note: %1 %7}";
}

void tst_TelephonyEventLogHandler::summary()
{
    QFETCH(QString, from);
    QFETCH(int, seconds);
    QFETCH(QStringList, lines);
    QFETCH(QString, expected);

    Call call(QStringLiteral("1700000000.1"));
    call.setFrom(from, false);
    call.setTo(QStringLiteral("101"), true);
    call.updateType();
    call.setTrunk(QStringLiteral("trunk-a"));
    const QDateTime start = at("2024-03-05 10:00:00");
    call.setState(CallStatus::Ringing, start);
    call.setState(CallStatus::Hung, seconds == -1 ? QDateTime() : start.addSecs(seconds));

    TelephonyEventLogHandler handler;
    for (const QString &line : lines)
        handler.addEvent(call.id(), line);
    handler.addEvent(QStringLiteral("other"), QStringLiteral("not ours"));
    QCOMPARE(handler.callSummary(call), expected);
}

void tst_TelephonyEventLogHandler::listsAreKeptPerCall()
{
    TelephonyEventLogHandler handler;
    Call first(QStringLiteral("1.1"));
    Call second(QStringLiteral("2.1"));
    handler.addEvent(first.id(), QStringLiteral("a"));
    handler.addEvent(first.id(), QStringLiteral("b"));
    handler.addEvent(second.id(), QStringLiteral("c"));
    QVERIFY(handler.callSummary(first).endsWith(QStringLiteral("}, a, b}")));

    handler.removeEvents(QStringLiteral("none"));
    handler.removeEvents(first.id());
    QVERIFY(handler.callSummary(first).endsWith(QStringLiteral("}}")));
    QVERIFY(handler.callSummary(second).endsWith(QStringLiteral("}, c}")));
    // Never set: printed empty, not as a null marker.
    QVERIFY(handler.callSummary(second).contains(QStringLiteral("Trunk: , Time: {Start: , End: , Total: 00:00:00}")));
}

void tst_TelephonyEventLogHandler::staleListsArePruned_data()
{
    QTest::addColumn<qint64>("idleMs");
    QTest::addColumn<bool>("kept");

    QTest::newRow("idle exactly 24 h") << qint64(86400000) << true;
    QTest::newRow("idle 24 h and 1 ms") << qint64(86400001) << false;
}

void tst_TelephonyEventLogHandler::staleListsArePruned()
{
    QFETCH(qint64, idleMs);
    QFETCH(bool, kept);

    const QDateTime start = at("2024-03-05 10:00:00");
    TestClock clock(start);
    TelephonyEventLogHandler handler;
    const Call idle(QStringLiteral("1.1"));
    const Call busy(QStringLiteral("2.1"));
    handler.addEvent(idle.id(), QStringLiteral("idle"));
    handler.addEvent(busy.id(), QStringLiteral("first"));
    clock.set(start.addMSecs(idleMs - 3600000));
    handler.addEvent(busy.id(), QStringLiteral("second"));
    clock.set(start.addMSecs(idleMs));
    handler.addEvent(QStringLiteral("3.1"), QStringLiteral("new call"));

    QCOMPARE(handler.callSummary(idle).endsWith(QStringLiteral(", idle}")), kept);
    QVERIFY(handler.callSummary(busy).endsWith(QStringLiteral(", first, second}")));
}

void tst_TelephonyEventLogHandler::oneProcessWideInstance()
{
    const auto handler = TelephonyEventLogHandler::instance();
    QVERIFY(handler);
    QCOMPARE(TelephonyEventLogHandler::instance(), handler);
}

QTEST_GUILESS_MAIN(tst_TelephonyEventLogHandler)
#include "tst_telephonyeventloghandler.moc"
