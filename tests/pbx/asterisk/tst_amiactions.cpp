#include "pbx/asterisk/actions/commandfeatures.h"
#include "pbx/asterisk/actions/hangup.h"
#include "pbx/asterisk/actions/iaxpeers.h"
#include "pbx/asterisk/actions/login.h"
#include "pbx/asterisk/actions/originate.h"
#include "pbx/asterisk/actions/redirect.h"
#include "pbx/asterisk/actions/sippeers.h"
#include "pbx/asterisk/actions/transfer.h"

#include <QRegularExpression>
#include <QtTest>

using Orvix::PBX::Asterisk::Message;
namespace Actions = Orvix::PBX::Asterisk::Actions;
using Orvix::PBX::Asterisk::Actions::Generic;

enum class Outcome { Pending, Succeeded, Failed };
Q_DECLARE_METATYPE(Outcome)

namespace {

// A received frame for the given action id, built from "Key: Value" lines.
Message answer(const Generic &action, const QByteArray &lines, bool withId = true)
{
    QByteArray frame = lines;
    if (withId)
        frame += "ActionID: " + action.message().actionId().toByteArray(QUuid::WithoutBraces) + "\r\n";
    return Message(frame + "\r\n");
}


struct Observer
{
    Outcome outcome = Outcome::Pending;
    int calls = 0;
    QString reason;
    void watch(Generic &action)
    {
        action.onSuccess([this] { outcome = Outcome::Succeeded; ++calls; });
        action.onError([this] { outcome = Outcome::Failed; ++calls; });
        action.onFailure([this](const QString &why) { reason = why; });
    }
};

Generic makeAction(const QString &kind)
{
    if (kind == QLatin1String("hangup"))
        return Actions::Hangup(QStringLiteral("SIP/101-0000001f"));
    if (kind == QLatin1String("redirect"))
        return Actions::Redirect(QStringLiteral("SIP/101-0000001f"), QStringLiteral("from-internal"),
                                 QStringLiteral("102"), QStringLiteral("1"));
    if (kind == QLatin1String("originate"))
        return Actions::Originate(QStringLiteral("SIP/101"), QStringLiteral("from-internal"),
                                  QStringLiteral("79161234567"), QStringLiteral("101"), QStringLiteral("1"), QString(),
                                  QString());
    if (kind == QLatin1String("blind transfer"))
        return Actions::Transfer(QStringLiteral("SIP/101-0000001f"), QStringLiteral("from-internal"),
                                 QStringLiteral("102"), true);
    return Actions::Transfer(QStringLiteral("SIP/101-0000001f"), QStringLiteral("from-internal"), QStringLiteral("102"),
                             false);
}

} // namespace

class tst_AmiActions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void requests_data();
    void requests();
    void login_data();
    void login();
    void callControl_data();
    void callControl();
    void callbacksRunOnceInOrder();
    void abortFailsPendingAction();
    void answerIsLogged_data();
    void answerIsLogged();
    void peerList_data();
    void peerList();
    void iaxEntriesWithoutActionId();
    void features();
};

void tst_AmiActions::requests_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("expected"); // the bytes after the ActionID line

    QTest::newRow("login") << "login" << QByteArray("Events:off\r\nSecret:crmsecret\r\nUsername:crm\r\n\r\n");
    QTest::newRow("hangup") << "hangup" << QByteArray("Channel:SIP/101-0000001f\r\n\r\n");
    QTest::newRow("redirect") << "redirect"
                              << QByteArray("Channel:SIP/101-0000001f\r\nContext:from-internal\r\nExten:102\r\n"
                                            "Priority:1\r\n\r\n");
    QTest::newRow("originate without codecs and variable")
        << "originate"
        << QByteArray("Callerid:101\r\nChannel:SIP/101\r\nContext:from-internal\r\nExten:79161234567\r\n"
                      "Priority:1\r\n\r\n");
    QTest::newRow("originate with codecs and variable")
        << "originate full"
        << QByteArray("Callerid:\r\nChannel:\r\nCodecs:alaw,ulaw\r\nContext:\r\nExten:\r\nPriority:\r\n"
                      "Variable:CRM_CALL_ID=crm-0001\r\n\r\n");
    QTest::newRow("blind transfer") << "blind transfer"
                                    << QByteArray("Channel:SIP/101-0000001f\r\nContext:from-internal\r\nExten:102\r\n\r\n");
    QTest::newRow("sip peers") << "sip" << QByteArray("\r\n");
    QTest::newRow("features") << "features" << QByteArray("Command:features show\r\n\r\n");
}

void tst_AmiActions::requests()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, expected);

    Message request;
    QByteArray head;
    if (kind == QLatin1String("login")) {
        request = Actions::Login(QStringLiteral("crm"), QStringLiteral("crmsecret")).message();
        head = "Login";
    } else if (kind == QLatin1String("originate full")) {
        request = Actions::Originate(QString(), QString(), QString(), QString(), QString(), QStringLiteral("alaw,ulaw"),
                                     QStringLiteral("CRM_CALL_ID=crm-0001"))
                      .message();
        head = "Originate";
    } else if (kind == QLatin1String("sip")) {
        request = Actions::SIPPeers().message();
        head = "SIPPeers";
    } else if (kind == QLatin1String("features")) {
        request = Actions::CommandFeatures().message();
        head = "Command";
    } else {
        request = makeAction(kind).message();
        head = request.headValue().toLatin1();
    }
    const QByteArray bytes = request.toByteArray();
    const QByteArray start = "Action:" + head + "\r\nActionID:" + request.actionId().toByteArray() + "\r\n";
    QVERIFY2(bytes.startsWith(start), bytes.constData());
    QCOMPARE(bytes.mid(start.size()), expected);
}

void tst_AmiActions::login_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("accepted") << QByteArray("Response: Success\r\nMessage: Authentication accepted\r\n") << true;
    QTest::newRow("refused") << QByteArray("Response: Error\r\nMessage: Authentication failed\r\n") << false;
    QTest::newRow("success head but another text")
        << QByteArray("Response: Success\r\nMessage: Authentication Accepted\r\n") << false;
    QTest::newRow("error head with the accepted text counts on the text")
        << QByteArray("Response: Error\r\nMessage: Authentication accepted\r\n") << true;
    QTest::newRow("no message field") << QByteArray("Response: Success\r\n") << false;
}

void tst_AmiActions::login()
{
    QFETCH(QByteArray, reply);
    QFETCH(bool, accepted);

    Actions::Login action(QStringLiteral("crm"), QStringLiteral("crmsecret"));
    Observer observer;
    observer.watch(action);
    action.handle(answer(action, reply));
    QCOMPARE(observer.outcome, accepted ? Outcome::Succeeded : Outcome::Failed);
}

void tst_AmiActions::callControl_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason"); // of a failure, for the client that asked

    const QStringList kinds{"hangup", "redirect", "originate", "blind transfer", "attended transfer"};
    for (const QString &kind : kinds) {
        QTest::addRow("%s success", qPrintable(kind))
            << kind << QByteArray("Response: Success\r\nMessage: done\r\n") << Outcome::Succeeded << 2 << "";
        QTest::addRow("%s error", qPrintable(kind))
            << kind << QByteArray("Response: Error\r\nMessage: Channel specified does not exist\r\n")
            << Outcome::Failed << 3 << "Channel specified does not exist";
    }
    QTest::newRow("lower-case success still succeeds")
        << "hangup" << QByteArray("Response: success\r\n") << Outcome::Succeeded << 0 << "";
    QTest::newRow("an event answer fails")
        << "hangup" << QByteArray("Event: Hangup\r\n") << Outcome::Failed << 0 << "Asterisk refused the action";
    QTest::newRow("a wrong frame carrying the id is judged too")
        << "originate" << QByteArray("Response: Success\r\nEvent: OriginateResponse\r\n") << Outcome::Failed << 0
        << "Asterisk refused the action";
}

void tst_AmiActions::callControl()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reply);
    QFETCH(Outcome, outcome);
    QFETCH(int, status);
    QFETCH(QString, reason);

    Generic action = makeAction(kind);
    QCOMPARE(action.message().headValue(), kind == QLatin1String("blind transfer") ? QStringLiteral("BlindTransfer")
                                           : kind == QLatin1String("attended transfer") ? QStringLiteral("Atxfer")
                                                                                       : action.message().headValue());
    Observer observer;
    observer.watch(action);
    QCOMPARE(action.status(), 0);
    action.handle(answer(action, reply));
    QCOMPARE(observer.outcome, outcome);
    QCOMPARE(action.status(), status);
    QCOMPARE(observer.reason, reason);
}

void tst_AmiActions::callbacksRunOnceInOrder()
{
    Actions::Hangup action(QStringLiteral("SIP/101-0000001f"));
    QStringList calls;
    action.onSuccess([&calls] { calls << "first"; });
    action.onSuccess([&calls] { calls << "second"; });
    action.onError([&calls] { calls << "error"; });
    action.handle(answer(action, "Response: Success\r\n"));
    // A late second answer is judged again, but the outcome stands.
    action.handle(answer(action, "Response: Error\r\n"));
    action.onSuccess([&calls] { calls << "late"; });
    QCOMPARE(calls, (QStringList{"first", "second", "late"}));
    QCOMPARE(action.status(), 2);
}

void tst_AmiActions::abortFailsPendingAction()
{
    Actions::Hangup action(QStringLiteral("SIP/101-0000001f"));
    Observer observer;
    observer.watch(action);
    action.abort(QStringLiteral("the connection to Asterisk was lost"));
    QCOMPARE(observer.outcome, Outcome::Failed);
    QCOMPARE(observer.reason, QStringLiteral("the connection to Asterisk was lost"));
    action.handle(answer(action, "Response: Success\r\n"));
    QCOMPARE(observer.outcome, Outcome::Failed);
    QCOMPARE(observer.calls, 1);
}

void tst_AmiActions::answerIsLogged_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("line"); // a pattern for the whole line

    const QByteArray noChannel = "Response: Error\r\nMessage: No such channel\r\n";
    QTest::newRow("login") << "login" << QByteArray("Response: Success\r\nMessage: Authentication accepted\r\n")
                           << "^Asterisk replied on login request$";
    QTest::newRow("hangup") << "hangup" << noChannel << "^Asterisk replied on hangup request: No such channel$";
    QTest::newRow("redirect") << "redirect" << noChannel << "^Asterisk replied on redirect request";
    QTest::newRow("originate") << "originate" << QByteArray("Response: Error\r\nMessage: Originate failed\r\n")
                               << "^Asterisk replied on originate request: Originate failed$";
    QTest::newRow("blind transfer") << "blind transfer" << noChannel
                                    << "^Asterisk replied on blind transfer request: No such channel$";
    QTest::newRow("attended transfer") << "attended transfer" << noChannel
                                       << "^Asterisk replied on attended transfer request: No such channel$";
    QTest::newRow("features") << "features" << QByteArray("Response: Success\r\nMessage: Command output follows\r\n")
                              << "^Asterisk replied on features request$";
    QTest::newRow("SIP peers, count mismatch")
        << "sip" << QByteArray("Event: PeerlistComplete\r\nListItems: 2\r\n")
        << "^SIP peers count does not match with Asterisk pattern: 2 vs 0$";
    QTest::newRow("IAX peers, count mismatch")
        << "iax" << QByteArray("Event: PeerlistComplete\r\nListItems: 1\r\n")
        << "^IAX peers count does not match with Asterisk pattern: 1 vs 0$";
}

void tst_AmiActions::answerIsLogged()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, reply);
    QFETCH(QString, line);

    Generic action = kind == QLatin1String("login") ? Actions::Login(QStringLiteral("crm"), QStringLiteral("crmsecret"))
                     : kind == QLatin1String("features") ? Actions::CommandFeatures()
                     : kind == QLatin1String("sip")      ? Actions::SIPPeers()
                     : kind == QLatin1String("iax")      ? Actions::IAXPeers()
                                                         : makeAction(kind);
    if (kind == QLatin1String("sip") || kind == QLatin1String("iax"))
        action.handle(answer(action, "Response: Success\r\nEventList: start\r\n"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(line));
    action.handle(answer(action, reply));
}

void tst_AmiActions::peerList_data()
{
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QStringList>("names");

    const QByteArray start = "Response: Success\r\nEventList: start\r\nMessage: Peer status list will follow\r\n";
    const auto entry = [](const QByteArray &name) {
        return QByteArray("Event: PeerEntry\r\nChanneltype: SIP\r\nObjectName: " + name + "\r\n");
    };
    const auto end = [](int count) {
        return QByteArray("Event: PeerlistComplete\r\nEventList: Complete\r\nListItems: " + QByteArray::number(count)
                          + "\r\n");
    };

    QTest::newRow("two peers") << QList<QByteArray>{start, entry("101"), entry("102"), end(2)} << Outcome::Succeeded
                               << QStringList{"101", "102"};
    QTest::newRow("count mismatch empties the list")
        << QList<QByteArray>{start, entry("101"), entry("102"), end(3)} << Outcome::Succeeded << QStringList{};
    QTest::newRow("no peers") << QList<QByteArray>{start, end(0)} << Outcome::Succeeded << QStringList{};
    QTest::newRow("nameless entry is no peer")
        << QList<QByteArray>{start, entry("101"), "Event: PeerEntry\r\nObjectName: \r\n",
                             "Event: PeerEntry\r\nChanneltype: SIP\r\n", end(3)}
        << Outcome::Succeeded << QStringList{"101"};
    QTest::newRow("equal names collapse")
        << QList<QByteArray>{start, entry("101"), entry("101"), end(2)} << Outcome::Succeeded << QStringList{"101"};
    QTest::newRow("count that is no number")
        << QList<QByteArray>{start, entry("101"), "Event: PeerlistComplete\r\nListItems: many\r\n"}
        << Outcome::Succeeded << QStringList{};
    QTest::newRow("still open without its end")
        << QList<QByteArray>{start, entry("101")} << Outcome::Pending << QStringList{};
    QTest::newRow("an error answer ends the list as failed")
        << QList<QByteArray>{"Response: Error\r\nMessage: Invalid/unknown command: SIPPeers.\r\n"} << Outcome::Failed
        << QStringList{};
}

void tst_AmiActions::peerList()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(Outcome, outcome);
    QFETCH(QStringList, names);

    Actions::SIPPeers action;
    Observer observer;
    observer.watch(action);
    QSet<QString> received;
    bool delivered = false;
    action.onSuccess([&](QSet<QString> peers) {
        received = peers;
        delivered = true;
    });
    for (const QByteArray &lines : answers)
        action.handle(answer(action, lines));
    QCOMPARE(observer.outcome, outcome);
    QCOMPARE(delivered, outcome == Outcome::Succeeded);
    QCOMPARE(received, QSet<QString>(names.cbegin(), names.cend()));
}

void tst_AmiActions::iaxEntriesWithoutActionId()
{
    // Asterisk 20 writes the IAX entries without ActionID (tests/fixtures/asterisk20/ami-iaxpeers.txt).
    Actions::IAXPeers action;
    const Message entry(QByteArray("Event: PeerEntry\r\nChanneltype: IAX2\r\nObjectName: 103\r\n\r\n"));
    QVERIFY(!action.takesUnaddressedEvent(entry)); // not before the list has started

    action.handle(answer(action, "Response: Success\r\nEventList: start\r\n"));
    QVERIFY(action.takesUnaddressedEvent(entry));
    QVERIFY(!action.takesUnaddressedEvent(Message(QByteArray("Event: Hangup\r\nChannel: x\r\n\r\n"))));
    action.handle(entry);
    QSet<QString> received;
    action.onSuccess([&](QSet<QString> peers) { received = peers; });
    action.handle(answer(action, "Event: PeerlistComplete\r\nEventList: Complete\r\nListItems: 1\r\n"));
    QCOMPARE(received, QSet<QString>{"103"});
    QVERIFY(!action.takesUnaddressedEvent(entry)); // closed

    Actions::IAXPeers refused;
    refused.handle(answer(refused, "Response: Error\r\n"));
    QVERIFY(!refused.takesUnaddressedEvent(entry));
}

void tst_AmiActions::features()
{
    Actions::CommandFeatures action;
    QHash<QString, QString> codes;
    action.onSuccess([&](QHash<QString, QString> table) { codes = table; });
    action.handle(answer(action,
                         "Response: Success\r\nMessage: Command output follows\r\n"
                         "Output: Builtin Feature           Default                   Current\r\n"
                         "Output: ---------------           -------                   -------\r\n"
                         "Output: Pickup                    *8                        *8\r\n"
                         "Output: blindxfer                 #                         ##\r\n"
                         "Output: One Touch Monitor\r\n"
                         "Output: Park Call                 #72                       #72\r\n"
                         "Output: disconnect                *\r\n"
                         "Output: Dynamic Feature           Default                   Current\r\n"
                         "Output: (none)\r\n"));
    QCOMPARE(codes, (QHash<QString, QString>{{"Pickup", "*8"}, {"blindxfer", "##"}, {"disconnect", "*"}}));
}

QTEST_GUILESS_MAIN(tst_AmiActions)
#include "tst_amiactions.moc"
