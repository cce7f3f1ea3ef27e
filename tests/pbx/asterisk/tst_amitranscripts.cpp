#include "support/fakeamiserver.h"

#include <QFile>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QtTest>

using Orvix::Tests::FakeAmiServer;

namespace {

// One recorded exchange: what the client wrote, and the bytes the real server answered with.
struct Exchange
{
    QByteArray request;
    QByteArray answer;
};

// Splits a recorded session into its greeting line and exchanges. Every frame ends with an empty line; the client's
// frames are those whose head is "Action".
bool readTranscript(const QString &path, QByteArray *greeting, QList<Exchange> *exchanges)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray bytes = file.readAll();
    const int greetingEnd = bytes.indexOf("\r\n");
    if (greetingEnd < 0)
        return false;
    *greeting = bytes.left(greetingEnd + 2);
    bytes.remove(0, greetingEnd + 2);
    while (!bytes.isEmpty()) {
        const int end = bytes.indexOf("\r\n\r\n");
        if (end < 0)
            return false;
        const QByteArray frame = bytes.left(end + 4);
        bytes.remove(0, end + 4);
        if (frame.startsWith("Action:"))
            exchanges->append({frame, QByteArray()});
        else if (!exchanges->isEmpty())
            exchanges->last().answer += frame;
        else
            return false;
    }
    return true;
}

// The fake gives every SIP peer the phones' port; the recorded trunk had one of its own.
QByteArray maskPorts(QByteArray bytes)
{
    static const QRegularExpression port(QStringLiteral("\\r\\nIPport: \\d+\\r\\n"));
    return QString::fromLatin1(bytes).replace(port, QStringLiteral("\r\nIPport: (port)\r\n")).toLatin1();
}

} // namespace

// The fake AMI server against sessions recorded from a real Asterisk 20: the same requests must get the same bytes.
class tst_AmiTranscripts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void fakeServerAnswersLikeAsterisk_data();
    void fakeServerAnswersLikeAsterisk();
};

void tst_AmiTranscripts::fakeServerAnswersLikeAsterisk_data()
{
    QTest::addColumn<QString>("transcript");
    QTest::addColumn<bool>("serverCloses");

    QTest::newRow("login, connection kept") << "ami-login.txt" << false;
    QTest::newRow("wrong password: refused, then hung up") << "ami-login-wrong-password.txt" << true;
    QTest::newRow("logoff: goodbye, then hung up") << "ami-logoff.txt" << true;
    QTest::newRow("SIP peer list") << "ami-sippeers.txt" << true;
    QTest::newRow("IAX peer list, entries without ActionID") << "ami-iaxpeers.txt" << true;
    QTest::newRow("command output, then hangup") << "ami-hangup.txt" << true;
    QTest::newRow("command output") << "ami-command-core-show-version.txt" << true;
    QTest::newRow("originate") << "ami-originate-sync-success.txt" << true;
}

void tst_AmiTranscripts::fakeServerAnswersLikeAsterisk()
{
    QFETCH(QString, transcript);
    QFETCH(bool, serverCloses);

    QByteArray greeting;
    QList<Exchange> exchanges;
    const QString path = QFINDTESTDATA(QStringLiteral("../../fixtures/asterisk20/") + transcript);
    QVERIFY2(readTranscript(path, &greeting, &exchanges), qPrintable(path));
    QVERIFY(!exchanges.isEmpty());

    FakeAmiServer ami;
    // What this PBX had (tests/fixtures/asterisk20/README.md); the rest is the fake's own.
    ami.setCommandOutput(QStringLiteral("core show channels concise"),
                         {QStringLiteral("SIP/101-0000001f!from-internal!!1!Up!AppDial!(Outgoing Line)!101!!!3!5!"
                                         "807a2d50-efae-4823-a8d4-1140ebab02f6!1796630489.34"),
                          QStringLiteral("SIP/trunk-0000001e!ext-local!101!5!Up!Dial!SIP/101,30,tTkK!79161234567!!!3!"
                                         "5!807a2d50-efae-4823-a8d4-1140ebab02f6!1796630489.33")});
    ami.setCommandOutput(QStringLiteral("core show version"),
                         {QStringLiteral("Asterisk 20.20.1 built by root @ vm on a x86_64 running Linux on "
                                         "2026-12-07 07:14:30 UTC")});
    QVERIFY(ami.listen());

    // The fake lives on this thread: wait with the event loop running, never with the socket's blocking calls.
    QTcpSocket client;
    QByteArray received;
    connect(&client, &QTcpSocket::readyRead, this, [&client, &received] { received += client.readAll(); });
    QSignalSpy disconnected(&client, &QTcpSocket::disconnected);
    client.connectToHost(ami.host(), ami.port());
    QTRY_VERIFY(received.size() >= greeting.size());
    QCOMPARE(received, greeting);

    for (const Exchange &exchange : qAsConst(exchanges)) {
        received.clear();
        client.write(exchange.request);
        // A refused login is answered after about a second.
        QTRY_VERIFY_WITH_TIMEOUT(received.size() >= exchange.answer.size(), 5000);
        QCOMPARE(maskPorts(received), maskPorts(exchange.answer));
    }
    if (serverCloses) {
        QTRY_VERIFY_WITH_TIMEOUT(!disconnected.isEmpty(), 5000);
        QCOMPARE(received.size(), exchanges.last().answer.size());
    } else {
        QCOMPARE(client.state(), QAbstractSocket::ConnectedState);
    }
}

QTEST_GUILESS_MAIN(tst_AmiTranscripts)
#include "tst_amitranscripts.moc"
