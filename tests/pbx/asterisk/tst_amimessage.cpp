#include "pbx/asterisk/message.h"
#include "pbx/asterisk/messagereader.h"

#include <QRegularExpression>
#include <QtTest>

using Orvix::PBX::Asterisk::Message;
using Orvix::PBX::Asterisk::MessageReader;

class tst_AmiMessage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void serialisesHangup();
    void writesFieldsInKeyOrder();
    void freshActionIdPerMessage();
    void parse_data();
    void parse();
    void typeNames();
    void toJsonHoldsOnlyFields();
    void unsafeReason_data();
    void unsafeReason();
    void readerCutsFrames_data();
    void readerCutsFrames();
    void readerKeepsLargeStreamsIntact();
};

void tst_AmiMessage::serialisesHangup()
{
    Message hangup(QStringLiteral("Hangup"), Message::Action);
    hangup.insert(QStringLiteral("Channel"), QStringLiteral("SIP/101-0000001f"));
    const QByteArray bytes = hangup.toByteArray();
    const QByteArray id = hangup.actionId().toByteArray();
    QCOMPARE(bytes, QByteArray("Action:Hangup\r\nActionID:" + id + "\r\nChannel:SIP/101-0000001f\r\n\r\n"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\{[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[0-9a-f]{4}-[0-9a-f]{12}\\}$"))
                .match(QString::fromLatin1(id))
                .hasMatch());
    QCOMPARE(hangup.type(), Message::Action);
    QVERIFY(hangup.isValid());
    QCOMPARE(hangup.toString(), QString::fromUtf8(bytes));
}

void tst_AmiMessage::writesFieldsInKeyOrder()
{
    Message originate(QStringLiteral("Originate"), Message::Action);
    originate.insert(QStringLiteral("Priority"), QStringLiteral("1"))
        .insert(QStringLiteral("Exten"), QStringLiteral("79161234567"))
        .insert(QStringLiteral("Context"), QStringLiteral("from-internal"))
        .insert(QStringLiteral("Channel"), QStringLiteral("SIP/101"))
        .insert(QStringLiteral("Callerid"), QString())
        .insert(QStringLiteral("callerid"), QStringLiteral("x"))
        .insert(QStringLiteral("Exten"), QStringLiteral("102"));
    const QByteArray bytes = originate.toByteArray();
    const QByteArray tail = bytes.mid(bytes.indexOf("}\r\n") + 3);
    QCOMPARE(tail, QByteArray("Callerid:\r\nChannel:SIP/101\r\nContext:from-internal\r\nExten:102\r\nPriority:1\r\n"
                              "callerid:x\r\n\r\n"));
}

void tst_AmiMessage::freshActionIdPerMessage()
{
    const Message a(QStringLiteral("Ping"), Message::Action);
    const Message b(QStringLiteral("Ping"), Message::Action);
    QVERIFY(!a.actionId().isNull());
    QVERIFY(a.actionId() != b.actionId());
    QCOMPARE(a.actionId().version(), QUuid::Random);
}

void tst_AmiMessage::parse_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("actionId");
    QTest::addColumn<QVariantMap>("fields");

    const QString id = QStringLiteral("{0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a7b}");
    const QByteArray bare = "0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a7b";

    QTest::newRow("login accepted")
        << QByteArray("Response: Success\r\nActionID: " + id.toLatin1() + "\r\nMessage: Authentication accepted\r\n\r\n")
        << int(Message::Response) << "Success" << id << QVariantMap{{"Message", "Authentication accepted"}};
    QTest::newRow("greeting line before the first answer")
        << QByteArray("Asterisk Call Manager/9.0.0\r\nResponse: Success\r\nActionID: " + bare
                      + "\r\nMessage: Authentication accepted\r\n\r\n")
        << int(Message::Response) << "Success" << id << QVariantMap{{"Message", "Authentication accepted"}};
    QTest::newRow("head key in capitals, field keeps its case")
        << QByteArray("EVENT: PeerlistComplete\r\nActionID: " + bare + "\r\nListItems: 3\r\n\r\n")
        << int(Message::Event) << "PeerlistComplete" << id << QVariantMap{{"ListItems", "3"}};
    QTest::newRow("two head lines make a wrong message with the later head")
        << QByteArray("Response: Success\r\nEvent: PeerEntry\r\nObjectName: 101\r\n\r\n") << int(Message::Wrong)
        << "PeerEntry" << QString() << QVariantMap{{"ObjectName", "101"}};
    QTest::newRow("no head line")
        << QByteArray("ActionID: " + bare + "\r\nMessage: x\r\n\r\n") << int(Message::Wrong) << QString() << id
        << QVariantMap{{"Message", "x"}};
    QTest::newRow("empty frame") << QByteArray("\r\n\r\n") << int(Message::Wrong) << QString() << QString()
                                 << QVariantMap{};
    QTest::newRow("value keeps its colons")
        << QByteArray("Response: Error\r\nMessage: Channel does not exist: SIP/101-0000ffff\r\n\r\n")
        << int(Message::Response) << "Error" << QString()
        << QVariantMap{{"Message", "Channel does not exist: SIP/101-0000ffff"}};
    QTest::newRow("empty value after the blank")
        << QByteArray("Event: PeerEntry\r\nDescription: \r\nObjectName: 103\r\n\r\n") << int(Message::Event)
        << "PeerEntry" << QString() << QVariantMap{{"Description", ""}, {"ObjectName", "103"}};
    QTest::newRow("line without colon ignored, later value of a key wins")
        << QByteArray("Response: Follows\r\nPrivilege: Command\r\n--END COMMAND--\r\nPrivilege: x\r\n\r\n")
        << int(Message::Response) << "Follows" << QString() << QVariantMap{{"Privilege", "x"}};
    QTest::newRow("command output becomes fields named by the first word")
        << QByteArray("Response: Success\r\nMessage: Command output follows\r\n"
                      "Output: blindxfer          #             ##\r\n"
                      "Output: \r\n"
                      "Output: automon            *1\r\n\r\n")
        << int(Message::Response) << "Success" << QString()
        << QVariantMap{{"Message", "Command output follows"}, {"blindxfer", "# ##"}, {"automon", "*1"}};
    QTest::newRow("text that is no uuid gives a null action id")
        << QByteArray("Response: Success\r\nActionID: login-1\r\n\r\n") << int(Message::Response) << "Success"
        << QString() << QVariantMap{};
    QTest::newRow("utf-8 value")
        << QByteArray("Response: Error\r\nMessage: Канал занят\r\n\r\n") << int(Message::Response) << "Error"
        << QString() << QVariantMap{{"Message", QStringLiteral("Канал занят")}};
}

void tst_AmiMessage::parse()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, type);
    QFETCH(QString, head);
    QFETCH(QString, actionId);
    QFETCH(QVariantMap, fields);

    const Message message(frame);
    QCOMPARE(int(message.type()), type);
    QCOMPARE(message.headValue(), head);
    QCOMPARE(message.actionId(), actionId.isEmpty() ? QUuid() : QUuid(actionId));
    QMap<QString, QString> expected;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        expected.insert(it.key(), it.value().toString());
    QCOMPARE(message.fields(), expected);
}

void tst_AmiMessage::typeNames()
{
    QCOMPARE(Message::typeName(Message::None), QStringLiteral("None"));
    QCOMPARE(Message::typeName(Message::Wrong), QStringLiteral("Wrong"));
    QCOMPARE(Message::typeName(Message::Event), QStringLiteral("Event"));
    QCOMPARE(Message::typeName(Message::Type(9)), QStringLiteral("Unknown"));
    QVERIFY(!Message(QByteArray("Foo: bar\r\n\r\n")).isValid());
}

void tst_AmiMessage::toJsonHoldsOnlyFields()
{
    const Message message(QByteArray("Event: PeerlistComplete\r\nActionID: 0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a7b\r\n"
                                     "ListItems: 3\r\n\r\n"));
    QCOMPARE(message.toJson(), QJsonObject({{"ListItems", "3"}}));
}

void tst_AmiMessage::unsafeReason_data()
{
    QTest::addColumn<QString>("head");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain") << "Hangup" << "Channel" << "SIP/101-0000001f" << true;
    QTest::newRow("non-ascii value") << "Originate" << "Callerid" << QStringLiteral("Иван <101>") << true;
    QTest::newRow("CR LF in a value")
        << "Hangup" << "Channel" << "SIP/101\r\n\r\nAction: Command\r\nCommand: core stop now" << false;
    QTest::newRow("LF alone in a value") << "Hangup" << "Channel" << "x\nAction: Logoff" << false;
    QTest::newRow("CR alone in a value") << "Hangup" << "Channel" << "x\r" << false;
    QTest::newRow("NUL in a value") << "Hangup" << "Channel" << QString::fromLatin1("x\0y", 3) << false;
    QTest::newRow("LF in a key") << "Hangup" << "Channel\nAction" << "x" << false;
    QTest::newRow("CR LF in the head") << "Hangup\r\nCommand" << "Channel" << "x" << false;
}

void tst_AmiMessage::unsafeReason()
{
    QFETCH(QString, head);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(bool, safe);

    Message message(head, Message::Action);
    message.insert(key, value);
    QCOMPARE(message.unsafeReason().isEmpty(), safe);
}

void tst_AmiMessage::readerCutsFrames_data()
{
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QStringList>("heads");
    QTest::addColumn<int>("leftOver");

    const QByteArray login = "Response: Success\r\nActionID: login-1\r\nMessage: Authentication accepted\r\n\r\n";
    const QByteArray entry = "Event: PeerEntry\r\nObjectName: 101\r\n\r\n";

    QTest::newRow("greeting then answer in one read")
        << QList<QByteArray>{"Asterisk Call Manager/9.0.0\r\n" + login} << QStringList{"Success"} << 0;
    QTest::newRow("greeting alone waits") << QList<QByteArray>{"Asterisk Call Manager/9.0.0\r\n"} << QStringList{}
                                          << 29;
    QTest::newRow("frame split inside the closing empty line")
        << QList<QByteArray>{login.left(login.size() - 1), login.right(1)} << QStringList{"Success"} << 0;
    QTest::newRow("frame split byte by byte") << [&] {
        QList<QByteArray> bytes;
        for (char c : login)
            bytes.append(QByteArray(1, c));
        return bytes;
    }() << QStringList{"Success"} << 0;
    QTest::newRow("three frames and a half in one read")
        << QList<QByteArray>{login + entry + entry + entry.left(10)}
        << QStringList{"Success", "PeerEntry", "PeerEntry"} << 10;
    QTest::newRow("LF-only line endings are no frame end")
        << QList<QByteArray>{"Response: Success\nMessage: x\n\n"} << QStringList{} << 30;
}

void tst_AmiMessage::readerCutsFrames()
{
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QStringList, heads);
    QFETCH(int, leftOver);

    MessageReader reader;
    QStringList got;
    for (const QByteArray &bytes : reads) {
        reader.append(bytes);
        while (std::optional<Message> message = reader.next())
            got.append(message->headValue());
    }
    QCOMPARE(got, heads);
    QCOMPARE(reader.bufferedSize(), leftOver);
}

void tst_AmiMessage::readerKeepsLargeStreamsIntact()
{
    // Frames read in chunks that never line up with frame ends, across buffer compaction.
    QByteArray stream;
    const int count = 5000;
    for (int i = 0; i < count; ++i)
        stream += "Event: PeerEntry\r\nObjectName: " + QByteArray::number(i) + "\r\n\r\n";
    MessageReader reader;
    int next = 0;
    for (int pos = 0; pos < stream.size(); pos += 777) {
        reader.append(stream.mid(pos, 777));
        while (std::optional<Message> message = reader.next()) {
            QCOMPARE(message->fields().value(QStringLiteral("ObjectName")), QString::number(next));
            ++next;
        }
    }
    QCOMPARE(next, count);
    QCOMPARE(reader.bufferedSize(), 0);
}

QTEST_GUILESS_MAIN(tst_AmiMessage)
#include "tst_amimessage.moc"
