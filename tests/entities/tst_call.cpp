#include "entities/call.h"

#include "testclock.h"

#include <QJsonDocument>
#include <QtTest>

using Orvix::Entities::Call;
using Orvix::Entities::CallStatus;
using Orvix::Entities::CallType;
using Orvix::Entities::Conversation;

namespace {

const QString kCallId = QStringLiteral("1700000000.1");

// A leg as "state:answered:ended" (ended may be empty), e.g. "3:y:10:00:05", with "#record" after the
// end for the record that ended it.
Conversation leg(const QString &id, const QString &shape)
{
    const int status = shape.section(QLatin1Char(':'), 0, 0).toInt();
    const bool answered = shape.section(QLatin1Char(':'), 1, 1) == QLatin1String("y");
    const QString ended = shape.section(QLatin1Char(':'), 2).section(QLatin1Char('#'), 0, 0);
    const qint64 endOrder = shape.section(QLatin1Char('#'), 1).toLongLong();
    Conversation conversation(id, id, kCallId);
    conversation.setFrom(QStringLiteral("5551234"), false);
    conversation.setTo(QStringLiteral("101"), true);
    conversation.setState(CallStatus::Ringing, at("2024-03-05 10:00:00"));
    if (answered)
        conversation.setState(CallStatus::Talking, at("2024-03-05 10:00:01"));
    if (!ended.isEmpty())
        conversation.setState(CallStatus::Hung, at(qPrintable("2024-03-05 " + ended)));
    conversation.setEndOrder(endOrder);
    if (!conversation.isState(status) && status != 3) {
        // Back from Hung: keeps its end time, as the tracker may leave it.
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("A new call status is less then current one: "
                                                                     "3 > %1")
                                                              .arg(status)));
        conversation.setState(status, at("2024-03-05 10:00:09"));
    }
    return conversation;
}

Call callWith(const QStringList &legs)
{
    Call call(kCallId);
    for (const QString &entry : legs) {
        const QString key = entry.section(QLatin1Char('='), 0, 0);
        call.conversations().insert(key, leg(key, entry.section(QLatin1Char('='), 1)));
    }
    return call;
}

} // namespace

class tst_Call : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void setStateGoingBackwards();
    void pickConversation_data();
    void pickConversation();
    void lastConversationWithoutLegs_data();
    void lastConversationWithoutLegs();
    void jsonRoundTrip();
    void jsonForm();
    void jsonKeysLegsByOwnId();
    void minutesSinceEnded_data();
    void minutesSinceEnded();
    void dump();
};

void tst_Call::setStateGoingBackwards()
{
    const QDateTime t = at("2024-03-05 10:00:00");
    const QDateTime u = at("2024-03-05 10:05:00");
    Call call(kCallId);
    call.setState(CallStatus::Ringing, t);
    call.setState(CallStatus::Hung, u);
    QTest::ignoreMessage(QtWarningMsg, "A new call status is less then current one: 3 > 2");
    call.setState(CallStatus::Talking, u);
    QVERIFY(call.isState(CallStatus::Talking));
    QCOMPARE(call.startedAt(), t);
    QCOMPARE(call.answeredAt(), u);
    QCOMPARE(call.endedAt(), u);
    // The answer of a call is judged by its legs only.
    QVERIFY(!call.wasAnswered());
}

void tst_Call::pickConversation_data()
{
    QTest::addColumn<QStringList>("legs"); // key=state:answered:ended
    QTest::addColumn<QString>("last");
    QTest::addColumn<QString>("main");

    QTest::newRow("hung beats a later key still ringing") << QStringList{"a=3:n:10:00:05", "b=1:n:"} << "a" << "a";
    QTest::newRow("same end: greater key") << QStringList{"a=3:n:10:00:05", "b=3:n:10:00:05"} << "b" << "b";
    QTest::newRow("unique ids compare as numbers") << QStringList{"1.10=3:n:10:00:05", "1.9=3:n:10:00:05"} << "1.10"
                                                   << "1.10";
    QTest::newRow("answered, same end: later unique id")
            << QStringList{"sys-1700000253.10=3:y:10:00:05", "sys-1700000253.9=3:y:10:00:05"}
            << "sys-1700000253.10" << "sys-1700000253.10";
    // An abandoned consultation hung up in the caller's last second: the employee the caller was back
    // with ended last, by the records, though the consultation leg started later.
    QTest::newRow("answered, same end: the later record")
            << QStringList{"710.1=3:y:10:00:20#12", "710.4=3:y:10:00:20#8"} << "710.1" << "710.1";
    QTest::newRow("later end beats a hung candidate") << QStringList{"a=2:y:10:00:09", "b=3:n:10:00:05"} << "a"
                                                      << "b";
    QTest::newRow("only answered leg still talking") << QStringList{"a=2:y:", "b=3:n:10:00:05"} << "b" << "b";
    QTest::newRow("two answered: later end, whatever the keys")
            << QStringList{"a=3:y:10:00:09", "b=3:y:10:00:05", "c=3:n:10:00:20"} << "c" << "a";
    QTest::newRow("answered beats a later unanswered end") << QStringList{"a=3:n:10:00:30", "b=3:y:10:00:05"}
                                                           << "a" << "b";
}

void tst_Call::pickConversation()
{
    QFETCH(QStringList, legs);
    QFETCH(QString, last);
    QFETCH(QString, main);
    const Call call = callWith(legs);
    QCOMPARE(call.lastConversation().id(), last);
    QCOMPARE(call.mainConversation().id(), main);
}

void tst_Call::lastConversationWithoutLegs_data()
{
    QTest::addColumn<QDateTime>("started");
    QTest::addColumn<QDateTime>("ended");

    QTest::newRow("with times") << at("2024-03-05 10:00:00") << at("2024-03-05 10:01:00");
    QTest::newRow("no times") << QDateTime() << QDateTime();
}

void tst_Call::lastConversationWithoutLegs()
{
    QFETCH(QDateTime, started);
    QFETCH(QDateTime, ended);

    Call call(kCallId);
    call.setFrom(QStringLiteral("5551234"), false);
    call.setTo(QStringLiteral("101"), true);
    call.setType(CallType::Outgoing);
    call.setTrunk(QStringLiteral("trunk-a"));
    call.setState(CallStatus::Ringing, started);
    call.setState(CallStatus::Talking, at("2024-03-05 10:00:30"));
    call.setState(CallStatus::Hung, ended);

    for (const Conversation &conversation : {call.lastConversation(), call.mainConversation()}) {
        QCOMPARE(conversation.id(), kCallId);
        QCOMPARE(conversation.channelId(), kCallId);
        QCOMPARE(conversation.callId(), kCallId);
        QCOMPARE(conversation.externalNumber(), QStringLiteral("5551234"));
        QCOMPARE(conversation.type(), CallType::Incoming);
        QCOMPARE(conversation.trunk(), QStringLiteral("trunk-a"));
        QCOMPARE(conversation.state(), CallStatus::Hung);
        QCOMPARE(conversation.startedAt(), started);
        QCOMPARE(conversation.endedAt(), ended);
        QVERIFY(!conversation.answeredAt().isValid());
        QVERIFY(!conversation.wasAnswered());
    }
    QVERIFY(call.conversations().isEmpty());
}

void tst_Call::jsonRoundTrip()
{
    Call call = callWith({"1700000000.2=3:y:10:00:05", "1700000000.3=3:n:10:00:06"});
    call.setFrom(QStringLiteral("101"), true);
    call.setTo(Call::PHONE_NUMBER_PLACEHOLDER, true);
    call.updateType();
    call.setState(CallStatus::Ringing, at("2024-03-05 10:00:00"));

    const QJsonObject json = call.toJson();
    QVERIFY(json.value("trunk").isNull());
    QCOMPARE(json.value("to").toString(), QStringLiteral("X00000000X"));
    QVERIFY(json.value("answered_at").isNull());
    QCOMPARE(json.value("conversations").toObject().size(), 2);

    const Call back(json);
    QCOMPARE(back.toJson(), json);
    QCOMPARE(back.to(), QStringLiteral("X00000000X"));
    QCOMPARE(back.type(), CallType::Local);
    QCOMPARE(back.conversations().keys(), call.conversations().keys());
    QCOMPARE(back.conversations().first(), call.conversations().first());
    QCOMPARE(back.mainConversation().id(), QStringLiteral("1700000000.2"));

    call.setTrunk(QString());
    QCOMPARE(call.toJson().value("trunk"), QJsonValue(QStringLiteral("")));
    QCOMPARE(Call(call.toJson()).toJson().value("trunk"), QJsonValue(QStringLiteral("")));
}

// The call record of the saved PBX state and of the call events: keys and value types as earlier runs
// wrote them and peers read them.
void tst_Call::jsonForm()
{
    const QByteArray expected = R"({"id": "1700000000.1", "from": "5551234", "to": "101",
                                    "from_local": false, "to_local": true, "trunk": "trunk-a",
                                    "state": 3, "type": 2, "started_at": "2024-03-05 10:00:00",
                                    "answered_at": "2024-03-05 10:00:01", "ended_at": "2024-03-05 10:00:05",
                                    "conversations": {"1700000000.2": {
                                        "id": "1700000000.2", "channel_id": "1700000000.2",
                                        "parent_channel_id": "1700000000.1", "from": "5551234", "to": "101",
                                        "from_local": false, "to_local": true, "trunk": "",
                                        "state": 3, "state_code": "hung", "type": 2, "type_code": "incoming",
                                        "was_answered": true, "started_at": "2024-03-05 10:00:00",
                                        "answered_at": "2024-03-05 10:00:01", "ended_at": "2024-03-05 10:00:05"}}})";
    QJsonParseError error;
    const QJsonObject golden = QJsonDocument::fromJson(expected, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);

    Call call = callWith({"1700000000.2=3:y:10:00:05"});
    call.setFrom(QStringLiteral("5551234"), false);
    call.setTo(QStringLiteral("101"), true);
    call.updateType();
    call.setTrunk(QStringLiteral("trunk-a"));
    call.setState(CallStatus::Ringing, at("2024-03-05 10:00:00"));
    call.setState(CallStatus::Talking, at("2024-03-05 10:00:01"));
    call.setState(CallStatus::Hung, at("2024-03-05 10:00:05"));
    QCOMPARE(call.toJson(), golden);

    const Call read(golden);
    QCOMPARE(read.toJson(), golden);
    QCOMPARE(read.id(), call.id());
    QCOMPARE(read.from(), call.from());
    QCOMPARE(read.to(), call.to());
    QCOMPARE(read.isFromLocal(), call.isFromLocal());
    QCOMPARE(read.isToLocal(), call.isToLocal());
    QCOMPARE(read.trunk(), call.trunk());
    QCOMPARE(read.state(), call.state());
    QCOMPARE(read.type(), call.type());
    QCOMPARE(read.startedAt(), call.startedAt());
    QCOMPARE(read.answeredAt(), call.answeredAt());
    QCOMPARE(read.endedAt(), call.endedAt());
    QCOMPARE(read.conversations(), call.conversations());
    QVERIFY(read.wasAnswered());
}

void tst_Call::jsonKeysLegsByOwnId()
{
    Call call(kCallId);
    call.conversations().insert(QStringLiteral("k"), leg(QStringLiteral("j"), QStringLiteral("1:n:")));
    call.conversations().insert(QStringLiteral("nameless"), leg(QString(), QStringLiteral("1:n:")));
    const QJsonObject legs = call.toJson().value("conversations").toObject();
    QCOMPARE(legs.keys(), QStringList{"j"});

    QJsonObject json = call.toJson();
    json.insert("conversations", QJsonObject{{"j", legs.value("j")}, {"", legs.value("j")}});
    QCOMPARE(Call(json).conversations().keys(), QStringList{"j"});
}

void tst_Call::minutesSinceEnded_data()
{
    QTest::addColumn<QDateTime>("ended");
    QTest::addColumn<float>("minutes");

    QTest::newRow("90 s") << at("2024-03-05 11:58:30") << 1.5f;
    QTest::newRow("whole seconds only") << at("2024-03-05 11:58:30", 1) << 89.0f / 60.0f;
    QTest::newRow("not ended") << QDateTime() << 0.0f;
}

void tst_Call::minutesSinceEnded()
{
    QFETCH(QDateTime, ended);
    QFETCH(float, minutes);
    const TestClock clock(at("2024-03-05 12:00:00"));
    Call call(kCallId);
    call.setState(CallStatus::Hung, ended);
    QCOMPARE(call.minutesSinceEnded(), minutes);
}

void tst_Call::dump()
{
    Call call = callWith({"b=1:n:", "a=1:n:"});
    const QString text = call.dump(1);
    const QString legA = call.conversations().value("a").dump(2);
    const QString legB = call.conversations().value("b").dump(2);
    QCOMPARE(text, "\t" + kCallId + "\n\t\t|- a: " + legA + "\n\t\t|- b: " + legB + "\n");
}

QTEST_GUILESS_MAIN(tst_Call)
#include "tst_call.moc"
