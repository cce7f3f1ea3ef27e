#include "pbx/asterisk/event.h"

#include <QTest>

using Orvix::PBX::Asterisk::CelId;
using Orvix::PBX::Asterisk::Event;

class tst_Event : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void typeFromName_data();
    void typeFromName();
    void eventTime_data();
    void eventTime();
    void eventTimeFromDriver();
    void id_data();
    void id();
    void rowIsStoredAsRead();
    void defaultEvent();
    void toString();
};

void tst_Event::typeFromName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("type");

    QTest::newRow("CHAN_START") << "CHAN_START" << 1;
    QTest::newRow("lower case is unknown") << "chan_start" << 0;
    QTest::newRow("ANSWER") << "ANSWER" << 12;
    QTest::newRow("BLINDTRANSFER") << "BLINDTRANSFER" << 16;
    QTest::newRow("ATTENDEDTRANSFER") << "ATTENDEDTRANSFER" << 17;
    QTest::newRow("PICKUP") << "PICKUP" << 20;
    QTest::newRow("LINKEDID_END") << "LINKEDID_END" << 23;
    QTest::newRow("3WAY_START") << "3WAY_START" << 27;
    QTest::newRow("_3WAY_END with underscore") << "_3WAY_END" << 28;
    QTest::newRow("3WAY_END without underscore") << "3WAY_END" << 0;
    QTest::newRow("trailing blank") << "CHAN_END " << 0;
    QTest::newRow("empty") << "" << 0;
}

void tst_Event::typeFromName()
{
    QFETCH(QString, name);
    QFETCH(int, type);

    QCOMPARE(static_cast<int>(Event::typeFromName(name)), type);
    const Event event("1", name, "2024-03-01 10:20:30", "", "", "", "", "");
    QCOMPARE(static_cast<int>(event.type()), type);
    QCOMPARE(event.typeName(), name);
}

void tst_Event::eventTime_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QDateTime>("expected");

    const QDateTime whole(QDate(2024, 3, 1), QTime(10, 20, 30));
    QTest::newRow("ISO with T") << "2024-03-01T10:20:30" << whole;
    QTest::newRow("with a blank") << "2024-03-01 10:20:30" << whole;
    QTest::newRow("driver's text with milliseconds") << "2024-03-01T10:20:30.000" << whole;
    QTest::newRow("one fractional digit")
        << "2024-03-01T10:20:30.5" << QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30, 500));
    QTest::newRow("microseconds")
        << "2024-03-01 10:20:30.123456" << QDateTime(QDate(2024, 3, 1), QTime(10, 20, 30, 123));
    QTest::newRow("day first") << "01.03.2024" << QDateTime();
    QTest::newRow("no seconds") << "2024-03-01T10:20" << QDateTime();
    QTest::newRow("time zone") << "2024-03-01T10:20:30Z" << QDateTime();
    QTest::newRow("empty fraction") << "2024-03-01T10:20:30." << QDateTime();
    QTest::newRow("no such day") << "2024-02-30 10:20:30" << QDateTime();
    QTest::newRow("zero date") << "0000-00-00 00:00:00" << QDateTime();
    QTest::newRow("empty") << "" << QDateTime();
}

void tst_Event::eventTime()
{
    QFETCH(QString, text);
    QFETCH(QDateTime, expected);

    const Event event("1", "ANSWER", text, "", "", "", "", "");
    QCOMPARE(event.occurredAt().isValid(), expected.isValid());
    QCOMPARE(event.occurredAt().isNull(), expected.isNull());
    if (expected.isValid()) {
        QCOMPARE(event.occurredAt(), expected);
        QCOMPARE(event.occurredAt().timeSpec(), Qt::LocalTime);
    }
}

void tst_Event::eventTimeFromDriver()
{
    // The MySQL driver hands a DATETIME column over as a QDateTime.
    const QDateTime at(QDate(2024, 3, 1), QTime(10, 20, 30));
    const Event event("7", "CHAN_START", at, "101", "102", "1.0", "1.0", "SIP/101-1");
    QCOMPARE(event.occurredAt(), at);
    // Its text form, should a caller read the column as text.
    QCOMPARE(Event::timeFromText(QVariant(at).toString()), at);

    Event changed;
    changed.setOccurredAt(at);
    QCOMPARE(changed.occurredAt(), at);
    changed.setOccurredAt(QStringLiteral("01.03.2024"));
    QVERIFY(changed.occurredAt().isNull());
}

void tst_Event::id_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<CelId>("id");

    QTest::newRow("decimal") << "42" << CelId(42);
    QTest::newRow("beyond 32 bits") << "4294967296" << CelId(4294967296LL);
    QTest::newRow("letters") << "4a" << CelId(0);
    QTest::newRow("negative") << "-5" << CelId(0);
    QTest::newRow("blank around") << " 7" << CelId(0);
    QTest::newRow("fraction") << "7.0" << CelId(0);
    QTest::newRow("empty") << "" << CelId(0);
}

void tst_Event::id()
{
    QFETCH(QString, text);
    QFETCH(CelId, id);

    QCOMPARE(Event(text, "ANSWER", "", "", "", "", "", "").id(), id);
}

void tst_Event::rowIsStoredAsRead()
{
    const Event event("15", "LINKEDID_END", "2026-12-07 07:57:41", "79161234567", "s",
                      "1796630253.1", "1796630253.0", "SIP/trunk-00000000");
    QCOMPARE(event.caller(), QString("79161234567"));
    // The event keeps service extensions: only a channel record clears them.
    QCOMPARE(event.extension(), QString("s"));
    QCOMPARE(event.channelId(), QString("1796630253.1"));
    QCOMPARE(event.linkedTo(), QString("1796630253.0"));
    QCOMPARE(event.channelName(), QString("SIP/trunk-00000000"));
}

void tst_Event::defaultEvent()
{
    const Event event;
    QCOMPARE(event.id(), CelId(0));
    QCOMPARE(event.type(), Event::Unknown);
    QVERIFY(event.typeName().isEmpty());
    QVERIFY(event.occurredAt().isNull());
    QVERIFY(event.caller().isEmpty());
    QVERIFY(event.channelId().isEmpty());
}

void tst_Event::toString()
{
    const Event event("42", "ANSWER", "2024-03-01 10:20:30", "%5", "101", "1.1", "1.0", "SIP/101-1");
    QCOMPARE(event.toString(),
             QString("[CEL Event] id: 42; type: 12; type_name: ANSWER; occurred_at: 2024-03-01T10:20:30; "
                     "caller: %5; extension: 101; channel_id: 1.1; linked_to: 1.0; channel_name: SIP/101-1;"));
}

QTEST_GUILESS_MAIN(tst_Event)
#include "tst_event.moc"
