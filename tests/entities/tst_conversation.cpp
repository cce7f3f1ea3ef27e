#include "entities/conversation.h"

#include "testclock.h"

#include <QJsonDocument>
#include <QtTest>

#include <climits>

using Orvix::Entities::CallStatus;
using Orvix::Entities::CallType;
using Orvix::Entities::Conversation;

namespace {

Conversation incoming()
{
    Conversation conversation(QStringLiteral("1700000000.2"), QStringLiteral("1700000000.2"),
                              QStringLiteral("1700000000.1"));
    conversation.setFrom(QStringLiteral("5551234"), false);
    conversation.setTo(QStringLiteral("101"), true);
    return conversation;
}

} // namespace

class tst_Conversation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setStateRecordsTimes();
    void timeRules_data();
    void timeRules();
    void talkDuration_data();
    void talkDuration();
    void placeholderIsHidden();
    void jsonRoundTrip();
    void jsonForm_data();
    void jsonForm();
    void jsonTrunkOnlyWhenIncoming();
    void jsonReadsLeniently();
    void dump();
};

void tst_Conversation::setStateRecordsTimes()
{
    const QDateTime t = at("2024-03-05 10:00:00");
    const QDateTime u = at("2024-03-05 10:00:30");
    Conversation conversation = incoming();

    conversation.setState(CallStatus::Talking, t);
    conversation.setState(CallStatus::Talking, u);
    QCOMPARE(conversation.answeredAt(), t);

    conversation.setState(CallStatus::Hung, t);
    QTest::ignoreMessage(QtWarningMsg, "A new call status is less then current one: 3 > 2");
    conversation.setState(2, u);
    QCOMPARE(conversation.state(), CallStatus::Talking);
    QCOMPARE(conversation.answeredAt(), u);
    QCOMPARE(conversation.endedAt(), t);
    QVERIFY(conversation.wasAnswered());

    conversation.setState(3, t);
    conversation.setState(5, u);
    QVERIFY(conversation.isState(5));
    QCOMPARE(conversation.stateCode(), QStringLiteral("unknown"));
    QCOMPARE(conversation.endedAt(), t);
    QCOMPARE(conversation.answeredAt(), u);
}

void tst_Conversation::timeRules_data()
{
    QTest::addColumn<qint64>("startedMsAgo"); // -1: no start time
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("recent");
    QTest::addColumn<bool>("outdated");

    QTest::newRow("no start") << qint64(-1) << 2 << false << false;
    QTest::newRow("started in the future") << qint64(-5000) << 1 << true << false;
    QTest::newRow("119999 ms") << qint64(119999) << 1 << true << false;
    QTest::newRow("120000 ms") << qint64(120000) << 1 << false << false;
    QTest::newRow("4 h less 1 ms") << qint64(14399999) << 2 << false << false;
    QTest::newRow("exactly 4 h") << qint64(14400000) << 2 << false << true;
    QTest::newRow("hung just now") << qint64(0) << 3 << true << true;
    // Taken on the PBX's clock: this host's may be hours ahead of it.
    QTest::newRow("119999 ms, this host 2 h ahead of the PBX") << qint64(119999) << 1 << true << false;
    QTest::newRow("4 h less 1 ms, this host 2 h ahead of the PBX") << qint64(14399999) << 2 << false << false;
}

void tst_Conversation::timeRules()
{
    QFETCH(qint64, startedMsAgo);
    QFETCH(int, status);
    QFETCH(bool, recent);
    QFETCH(bool, outdated);

    const QDateTime now = at("2024-03-05 12:00:00", 500);
    const bool hostAhead = QString(QTest::currentDataTag()).contains("host 2 h ahead");
    const TestClock clock(hostAhead ? now.addSecs(2 * 3600) : now);
    Conversation conversation = incoming();
    if (startedMsAgo != -1)
        conversation.setState(CallStatus::Ringing, now.addMSecs(-startedMsAgo));
    conversation.setState(status, now);

    // The PBX's time, and this host's when the PBX's is not known.
    QCOMPARE(conversation.isRecent(now), recent);
    QCOMPARE(conversation.isOutdated(now), outdated);
    if (!hostAhead) {
        QCOMPARE(conversation.isRecent(QDateTime()), recent);
        QCOMPARE(conversation.isOutdated(QDateTime()), outdated);
    }
}

void tst_Conversation::talkDuration_data()
{
    QTest::addColumn<QDateTime>("answered"); // null: never answered
    QTest::addColumn<QDateTime>("ended");
    QTest::addColumn<int>("seconds");

    QTest::newRow("1.2 s truncated") << at("2024-03-05 10:00:00", 900) << at("2024-03-05 10:00:02", 100) << 1;
    QTest::newRow("never answered") << QDateTime() << at("2024-03-05 10:00:02") << 0;
    QTest::newRow("answered, not ended") << at("2024-03-05 10:00:00") << QDateTime() << 0;
    QTest::newRow("end before answer") << at("2024-03-05 10:00:10") << at("2024-03-05 10:00:00") << 0;
    QTest::newRow("past 32-bit milliseconds") << at("2024-03-01 00:00:00") << at("2024-03-31 00:00:00")
                                              << 30 * 86400;
    QTest::newRow("beyond INT_MAX seconds") << at("1900-01-01 00:00:00") << at("2100-01-01 00:00:00") << INT_MAX;
}

void tst_Conversation::talkDuration()
{
    QFETCH(QDateTime, answered);
    QFETCH(QDateTime, ended);
    QFETCH(int, seconds);

    Conversation conversation = incoming();
    conversation.setState(CallStatus::Ringing, answered.isValid() ? answered : ended);
    if (answered.isValid())
        conversation.setState(CallStatus::Talking, answered);
    conversation.setState(CallStatus::Hung, ended);
    QCOMPARE(conversation.talkDuration(), seconds);
}

void tst_Conversation::placeholderIsHidden()
{
    Conversation conversation = incoming();
    conversation.setTo(Conversation::PHONE_NUMBER_PLACEHOLDER, true);
    QCOMPARE(conversation.to(), QString());
    QCOMPARE(conversation.toJson().value("to").toString(), QStringLiteral("X00000000X"));

    conversation.setTo(QStringLiteral("x00000000x"), true);
    QCOMPARE(conversation.to(), QStringLiteral("x00000000x"));
}

void tst_Conversation::jsonRoundTrip()
{
    Conversation conversation = incoming();
    conversation.setTrunk(QStringLiteral("trunk-a"));
    conversation.setFrom(Conversation::PHONE_NUMBER_PLACEHOLDER, false);
    conversation.setState(CallStatus::Ringing, at("2024-03-05 07:08:09"));
    conversation.setState(CallStatus::Talking, at("2024-03-05 07:08:19"));

    const QJsonObject json = conversation.toJson();
    QCOMPARE(json.value("started_at").toString(), QStringLiteral("2024-03-05 07:08:09"));
    QVERIFY(json.value("ended_at").isNull());
    const Conversation back(json);
    QCOMPARE(back, conversation);
    QCOMPARE(back.startedAt(), conversation.startedAt());
    QCOMPARE(back.toJsonString(), conversation.toJsonString());
    QVERIFY(!conversation.toJsonString().contains(QLatin1Char('\n')));
    QVERIFY(!conversation.toJsonString().contains(QLatin1String("\": ")));

    // Where the leg's end fell among the PBX's records decides whom a call ends with after a restart.
    QVERIFY(!json.contains("end_order"));
    conversation.setState(CallStatus::Hung, at("2024-03-05 07:08:29"));
    conversation.setEndOrder(9007199254740991LL);
    QCOMPARE(Conversation(conversation.toJson()).endOrder(), 9007199254740991LL);
}

// The JSON form is the saved state of a leg and the payload of its events: its keys and value types
// are what earlier runs wrote and what peers read.
void tst_Conversation::jsonForm_data()
{
    QTest::addColumn<bool>("fresh");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("fresh") << true
                           << QByteArray(R"({"id": "", "channel_id": "", "parent_channel_id": "", "from": "", "to": "",
                                             "from_local": false, "to_local": false, "trunk": null,
                                             "state": 0, "state_code": "unknown", "type": 0, "type_code": "unknown",
                                             "was_answered": false,
                                             "started_at": null, "answered_at": null, "ended_at": null})");
    QTest::newRow("answered incoming leg")
        << false
        << QByteArray(R"({"id": "1700000000.2", "channel_id": "1700000000.2", "parent_channel_id": "1700000000.1",
                          "from": "5551234", "to": "101", "from_local": false, "to_local": true,
                          "trunk": "trunk-a", "state": 3, "state_code": "hung", "type": 2, "type_code": "incoming",
                          "was_answered": true, "started_at": "2024-03-05 10:00:00",
                          "answered_at": "2024-03-05 10:00:05", "ended_at": "2024-03-05 10:01:15"})");
}

void tst_Conversation::jsonForm()
{
    QFETCH(bool, fresh);
    QFETCH(QByteArray, expected);
    QJsonParseError error;
    const QJsonObject golden = QJsonDocument::fromJson(expected, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);

    Conversation conversation;
    if (!fresh) {
        conversation = incoming();
        conversation.setTrunk(QStringLiteral("trunk-a"));
        conversation.setState(CallStatus::Ringing, at("2024-03-05 10:00:00"));
        conversation.setState(CallStatus::Talking, at("2024-03-05 10:00:05"));
        conversation.setState(CallStatus::Hung, at("2024-03-05 10:01:15"));
    }
    QCOMPARE(conversation.toJson(), golden);

    // Read back from the bytes an earlier run saved, every field lands where it belongs.
    const Conversation read(golden);
    QCOMPARE(read.toJson(), golden);
    QCOMPARE(read.id(), conversation.id());
    QCOMPARE(read.channelId(), conversation.channelId());
    QCOMPARE(read.callId(), conversation.callId());
    QCOMPARE(read.from(), conversation.from());
    QCOMPARE(read.isFromLocal(), conversation.isFromLocal());
    QCOMPARE(read.isToLocal(), conversation.isToLocal());
    QCOMPARE(read.trunk(), conversation.trunk());
    QCOMPARE(read.state(), conversation.state());
    QCOMPARE(read.type(), conversation.type());
    QCOMPARE(read.wasAnswered(), conversation.wasAnswered());
    QCOMPARE(read.startedAt(), conversation.startedAt());
    QCOMPARE(read.answeredAt(), conversation.answeredAt());
    QCOMPARE(read.endedAt(), conversation.endedAt());
    QCOMPARE(read.talkDuration(), fresh ? 0 : 70);
}

void tst_Conversation::jsonTrunkOnlyWhenIncoming()
{
    Conversation conversation(QStringLiteral("c"), QStringLiteral("c"), QStringLiteral("p"));
    conversation.setFrom(QStringLiteral("101"), true);
    conversation.setTo(QStringLiteral("5551234"), false);
    conversation.setTrunk(QStringLiteral("trunk-a"));
    QVERIFY(conversation.toJson().value("trunk").isNull());

    const QJsonObject json = incoming().toJson();
    QCOMPARE(json.value("trunk"), QJsonValue(QStringLiteral("")));
    QCOMPARE(json.value("channel_id"), QJsonValue(QStringLiteral("1700000000.2")));
    QCOMPARE(Conversation().toJson().value("id"), QJsonValue(QStringLiteral("")));
}

void tst_Conversation::jsonReadsLeniently()
{
    // The direction is taken as stored, even when the numbers would say otherwise.
    const QJsonObject json{{"id", 42},
                           {"from", "101"},
                           {"from_local", true},
                           {"to", "5551234"},
                           {"type", 2},
                           {"state", "3"},
                           {"started_at", "2024-03-05T07:08:09"},
                           {"answered_at", QJsonValue::Null}};
    const Conversation conversation(json);
    QVERIFY(conversation.isIncoming());
    QCOMPARE(conversation.id(), QString());
    QVERIFY(conversation.isState(0));
    QVERIFY(!conversation.startedAt().isValid());
    QVERIFY(conversation.toJson().value("started_at").isNull());
}

void tst_Conversation::dump()
{
    Conversation conversation = incoming();
    conversation.setTrunk(QStringLiteral("trunk-a"));
    conversation.setState(CallStatus::Ringing, at("2024-03-05 07:08:09"));
    QCOMPARE(conversation.dump(1),
             QStringLiteral("\t1700000000.2\n"
                            "\t\t|- answered_at: \n"
                            "\t\t|- channel_id: 1700000000.2\n"
                            "\t\t|- ended_at: \n"
                            "\t\t|- from: 5551234\n"
                            "\t\t|- from_local: N\n"
                            "\t\t|- id: 1700000000.2\n"
                            "\t\t|- parent_channel_id: 1700000000.1\n"
                            "\t\t|- started_at: 2024-03-05 07:08:09\n"
                            "\t\t|- state: 1\n"
                            "\t\t|- state_code: ringing\n"
                            "\t\t|- to: 101\n"
                            "\t\t|- to_local: Y\n"
                            "\t\t|- trunk: trunk-a\n"
                            "\t\t|- type: 2\n"
                            "\t\t|- type_code: incoming\n"
                            "\t\t|- was_answered: N\n"));
}

QTEST_GUILESS_MAIN(tst_Conversation)
#include "tst_conversation.moc"
