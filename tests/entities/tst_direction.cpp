#include "entities/call.h"
#include "entities/conversation.h"

#include <QtTest>

using Orvix::Entities::Call;
using Orvix::Entities::CallType;
using Orvix::Entities::Conversation;

class tst_Direction : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void rule_data();
    void rule();
    void callKeepsDirectionUntilAsked();
    void texts_data();
    void texts();
};

void tst_Direction::rule_data()
{
    QTest::addColumn<QString>("from");
    QTest::addColumn<bool>("fromLocal");
    QTest::addColumn<QString>("to");
    QTest::addColumn<bool>("toLocal");
    QTest::addColumn<CallType>("type");
    QTest::addColumn<QString>("internal");
    QTest::addColumn<QString>("external");

    QTest::newRow("empty to, flags ignored") << "101" << true << "" << true << CallType::Unknown << "" << "";
    QTest::newRow("never-set from") << QString() << false << "102" << true << CallType::Unknown << "" << "";
    QTest::newRow("both internal") << "101" << true << "102" << true << CallType::Local << "" << "";
    QTest::newRow("internal to external") << "101" << true << "5551234" << false << CallType::Outgoing << "101"
                                          << "5551234";
    QTest::newRow("external to internal") << "5551234" << false << "101" << true << CallType::Incoming << "101"
                                          << "5551234";
    QTest::newRow("external to external") << "5551234" << false << "5559876" << false << CallType::Incoming
                                          << "5559876" << "5551234";
}

// Calls and conversations share one rule; a call only applies it on request.
void tst_Direction::rule()
{
    QFETCH(QString, from);
    QFETCH(bool, fromLocal);
    QFETCH(QString, to);
    QFETCH(bool, toLocal);
    QFETCH(CallType, type);
    QFETCH(QString, internal);
    QFETCH(QString, external);

    Call call(QStringLiteral("1700000000.1"));
    call.setFrom(from, fromLocal);
    call.setTo(to, toLocal);
    call.updateType();
    QCOMPARE(call.type(), type);
    QCOMPARE(call.internalNumber(), internal);
    QCOMPARE(call.externalNumber(), external);

    Conversation conversation(QStringLiteral("c"), QStringLiteral("c"), QStringLiteral("p"));
    conversation.setFrom(from, fromLocal);
    conversation.setTo(to, toLocal);
    QCOMPARE(conversation.type(), type);
    QCOMPARE(conversation.internalNumber(), internal);
    QCOMPARE(conversation.externalNumber(), external);
}

void tst_Direction::callKeepsDirectionUntilAsked()
{
    Call call(QStringLiteral("1700000000.1"));
    call.setFrom(QStringLiteral("101"), true);
    call.setTo(Call::PHONE_NUMBER_PLACEHOLDER, true);
    QCOMPARE(call.type(), CallType::Unknown);
    call.updateType();
    // The placeholder counts as a number on a call, and is returned as stored.
    QCOMPARE(call.type(), CallType::Local);
    QCOMPARE(call.to(), QStringLiteral("X00000000X"));

    call.setType(CallType::Incoming);
    call.setTo(QStringLiteral("5551234"), false);
    QVERIFY(call.isIncoming());
    call.updateType();
    QVERIFY(call.isOutgoing());
}

void tst_Direction::texts_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("status");

    QTest::newRow("0") << 0 << "unknown" << "unknown";
    QTest::newRow("1") << 1 << "local" << "ringing";
    QTest::newRow("2") << 2 << "incoming" << "talking";
    QTest::newRow("3") << 3 << "outgoing" << "hung";
    QTest::newRow("7") << 7 << "unknown" << "unknown";
    QTest::newRow("-1") << -1 << "unknown" << "unknown";
}

void tst_Direction::texts()
{
    QFETCH(int, value);
    QFETCH(QString, type);
    QFETCH(QString, status);
    QCOMPARE(Orvix::Entities::callTypeToString(value), type);
    QCOMPARE(Orvix::Entities::callStatusToString(value), status);
}

QTEST_GUILESS_MAIN(tst_Direction)
#include "tst_direction.moc"
