#include "pbx/asterisk/actions/hangup.h"
#include "pbx/asterisk/connector.h"
#include "support/fakeamiserver.h"
#include "support/promisewatch.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using Orvix::PBX::Asterisk::Connector;
using Orvix::PBX::Asterisk::kNoAnswerInTime;
using Orvix::Tests::FakeAmiServer;
using Orvix::Tests::watch;
using Orvix::Utils::Promise;

namespace {

struct LogLine
{
    QtMsgType type;
    QString text;
};
QList<LogLine> g_log;

void captureLog(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    g_log.append({type, text});
}

QStringList logLines(QtMsgType type, const QString &start)
{
    QStringList lines;
    for (const LogLine &line : qAsConst(g_log)) {
        if (line.type == type && line.text.startsWith(start))
            lines.append(line.text);
    }
    return lines;
}

const QString kUser = QStringLiteral("crm");
const QString kSecret = QStringLiteral("crmsecret");

QByteArray maskId(QByteArray raw)
{
    static const QRegularExpression id(QStringLiteral("ActionID:\\{[0-9a-f-]{36}\\}"));
    return QString::fromLatin1(raw).replace(id, QStringLiteral("ActionID:{ID}")).toLatin1();
}

} // namespace

class tst_AmiConnector : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void loginFrameMatchesByteForByte();
    void serviceModeReadsPeersThenAnnouncesConnected();
    void checkModeAnnouncesAtOnce_data();
    void checkModeAnnouncesAtOnce();
    void iaxListWaitsForSipListEnd();
    void featureCodes();
    void refusedLogin_data();
    void refusedLogin();
    void connectionFails_data();
    void connectionFails();
    void callControlFrames_data();
    void callControlFrames();
    void framesSplitOverReads();
    void severalFramesInOneRead();
    void serverCloseRejectsPendingHangup();
    void unsafeActionIsNotWritten_data();
    void unsafeActionIsNotWritten();
    void actionWithoutConnectionFails();
    void connectedTimerDiesWithItsConnection_data();
    void connectedTimerDiesWithItsConnection();
    void ownDisconnectionIsNotReported();
    void reconnectReportsAndFailsOldActions();
    void unknownAnswers();
    void wrongFrameStillReachesItsAction();
    void peersAccumulateAcrossLogins();
    void failedSipListAsksNoIaxList();
    void unansweredCheckLoginIsRejected_data();
    void unansweredCheckLoginIsRejected();
    void destroyedConnectorFailsPendingActions();
    void credentialsThatWouldBreakTheFrameFailTheLogin_data();
    void credentialsThatWouldBreakTheFrameFailTheLogin();

private:
    // Service-mode login against the server, up to the received peers.
    void logInService(Connector &connector, FakeAmiServer &ami);

    QtMessageHandler m_previousHandler = nullptr;
};

void tst_AmiConnector::initTestCase()
{
    m_previousHandler = qInstallMessageHandler(captureLog);
}

void tst_AmiConnector::init()
{
    g_log.clear();
}

void tst_AmiConnector::cleanupTestCase()
{
    qInstallMessageHandler(m_previousHandler);
}

void tst_AmiConnector::logInService(Connector &connector, FakeAmiServer &ami)
{
    QSignalSpy peers(&connector, &Connector::peersReceived);
    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QVERIFY(peers.wait());
}

void tst_AmiConnector::loginFrameMatchesByteForByte()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    QSignalSpy frames(&ami, &FakeAmiServer::frameReceived);
    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QVERIFY(frames.wait());

    const FakeAmiServer::Frame login = ami.frames().first();
    QCOMPARE(maskId(login.raw), QByteArray("Action:Login\r\nActionID:{ID}\r\nEvents:off\r\nSecret:crmsecret\r\n"
                                           "Username:crm\r\n\r\n"));
    // The log shows the frame with the secret masked, nothing else changed.
    const QStringList sent = logLines(QtDebugMsg, QStringLiteral("Message has been sent to Asterisk: Action:Login"));
    QCOMPARE(sent.size(), 1);
    QCOMPARE(maskId(sent.first().toLatin1()),
             QByteArray("Message has been sent to Asterisk: Action:Login\r\nActionID:{ID}\r\nEvents:off\r\n"
                        "Secret:********\r\nUsername:crm\r\n\r\n"));
    for (const LogLine &line : qAsConst(g_log))
        QVERIFY2(!line.text.contains(kSecret), qPrintable(line.text));
}

void tst_AmiConnector::serviceModeReadsPeersThenAnnouncesConnected()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    QSignalSpy connected(&connector, &Connector::connected);
    QSignalSpy loggedIn(&connector, &Connector::loggedIn);
    QSignalSpy peers(&connector, &Connector::peersReceived);
    QElapsedTimer sinceLogin;
    connect(&ami, &FakeAmiServer::frameReceived, this, [&sinceLogin](const FakeAmiServer::Frame &frame) {
        if (frame.action == QLatin1String("Login"))
            sinceLogin.start();
    });

    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QVERIFY(peers.wait());
    QCOMPARE(peers.size(), 1);
    QCOMPARE(peers.first().first().value<QSet<QString>>(), (QSet<QString>{"101", "102", "trunk", "103"}));
    QCOMPARE(connector.peers(), (QSet<QString>{"101", "102", "trunk", "103"}));

    QStringList order;
    for (const FakeAmiServer::Frame &frame : ami.frames())
        order << frame.action;
    QCOMPARE(order, (QStringList{"Login", "SIPPeers", "IAXPeers"}));

    // The peers are in, yet `connected` waits for its second.
    QCOMPARE(connected.size(), 0);
    QVERIFY(connected.wait(3000));
    QVERIFY2(sinceLogin.elapsed() >= 900, qPrintable(QString::number(sinceLogin.elapsed())));
    QCOMPARE(loggedIn.size(), 0);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::checkModeAnnouncesAtOnce_data()
{
    QTest::addColumn<QByteArray>("greeting");
    QTest::newRow("Asterisk 20") << QByteArray("Asterisk Call Manager/9.0.0");
    QTest::newRow("older manager") << QByteArray("Asterisk Call Manager/5.0.2");
}

void tst_AmiConnector::checkModeAnnouncesAtOnce()
{
    QFETCH(QByteArray, greeting);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setGreeting(greeting);
    Connector connector;
    QStringList signalOrder;
    connect(&connector, &Connector::connected, this, [&] { signalOrder << "connected"; });
    connect(&connector, &Connector::loggedIn, this, [&] { signalOrder << "loggedIn"; });
    Promise<void> loginWaiting;
    const auto outcome = watch(loginWaiting);

    connector.tryConnect(ami.host(), ami.port(), kUser, kSecret, loginWaiting);
    QTRY_VERIFY(outcome->resolved);
    QCOMPARE(signalOrder, (QStringList{"connected", "loggedIn"}));
    QCOMPARE(ami.frames().size(), 1); // no peer list in check mode
}

void tst_AmiConnector::iaxListWaitsForSipListEnd()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    QString sipId;
    ami.setResponder(QStringLiteral("SIPPeers"), [&sipId](const FakeAmiServer::Frame &frame) {
        sipId = frame.actionId;
        return FakeAmiServer::response(QStringLiteral("Success"), frame.actionId,
                                       {{QStringLiteral("EventList"), QStringLiteral("start")}})
            + FakeAmiServer::event(QStringLiteral("PeerEntry"), {{QStringLiteral("ActionID"), frame.actionId},
                                                                 {QStringLiteral("ObjectName"), QStringLiteral("101")}});
    });
    Connector connector;
    QSignalSpy peers(&connector, &Connector::peersReceived);
    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QTRY_COMPARE(ami.frames(QStringLiteral("SIPPeers")).size(), 1);
    // Asking the server for something else proves the entry has been read meanwhile.
    const auto hangup = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_VERIFY(hangup->resolved);
    QCOMPARE(ami.frames(QStringLiteral("IAXPeers")).size(), 0);

    ami.send(FakeAmiServer::event(QStringLiteral("PeerlistComplete"), {{QStringLiteral("ActionID"), sipId},
                                                                       {QStringLiteral("ListItems"), QStringLiteral("1")}}));
    QVERIFY(peers.wait());
    QCOMPARE(ami.frames(QStringLiteral("IAXPeers")).size(), 1);
    QCOMPARE(peers.first().first().value<QSet<QString>>(), (QSet<QString>{"101", "103"}));
}

void tst_AmiConnector::featureCodes()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setCommandOutput(QStringLiteral("features show"),
                         {QStringLiteral("Builtin Feature           Default                   Current"),
                          QStringLiteral("Pickup                    *8                        *8"),
                          QStringLiteral("blindxfer                 #                         ##")});
    Connector connector;
    logInService(connector, ami);
    QSignalSpy codes(&connector, &Connector::combReceived);
    QHash<QString, QString> table;
    connect(&connector, &Connector::combReceived, this, [&table](const QHash<QString, QString> &codes) { table = codes; });
    connector.loadServiceCombinations();
    QVERIFY(codes.wait());
    QCOMPARE(table, (QHash<QString, QString>{{"Pickup", "*8"}, {"blindxfer", "##"}}));
    QCOMPARE(maskId(ami.frames().last().raw), QByteArray("Action:Command\r\nActionID:{ID}\r\nCommand:features show\r\n\r\n"));
}

void tst_AmiConnector::refusedLogin_data()
{
    QTest::addColumn<bool>("serverCloses");
    QTest::newRow("Asterisk: refused after a second, then hung up") << true;
    QTest::newRow("refused, connection left open") << false;
}

void tst_AmiConnector::refusedLogin()
{
    QFETCH(bool, serverCloses);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    if (!serverCloses)
        ami.setReply(QStringLiteral("Login"), QStringLiteral("Error"), QStringLiteral("Authentication failed"));
    Connector connector;
    QSignalSpy errors(&connector, &Connector::hasError);
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    QSignalSpy connected(&connector, &Connector::connected);
    Promise<void> loginWaiting;
    const auto outcome = watch(loginWaiting);

    connector.tryConnect(ami.host(), ami.port(), kUser, QStringLiteral("wrong-secret"), loginWaiting);
    QVERIFY(errors.wait(5000));
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Authentication failed"));
    QVERIFY(outcome->rejected);
    if (serverCloses) {
        QVERIFY(disconnected.wait());
        QCOMPARE(errors.size(), 2);
        QCOMPARE(errors.last().first().toString(), QStringLiteral("closed by the other side"));
    } else {
        QCOMPARE(ami.openConnections(), 1);
    }
    QCOMPARE(connected.size(), 0);
    QCOMPARE(ami.frames().size(), 1); // nothing after the refused login
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::connectionFails_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<bool>("checkMode");
    QTest::addColumn<QString>("error");
    const QString refused = QStringLiteral("connection refused");
    QTest::newRow("closed port, check") << "closed" << true << refused;
    QTest::newRow("closed port, service") << "closed" << false << refused;
    // Accepted and then nothing: no greeting, no login answer.
    QTest::newRow("silent peer, check") << "silent" << true << QString(kNoAnswerInTime);
    QTest::newRow("silent peer, service") << "silent" << false << QString(kNoAnswerInTime);
    QTest::newRow("greeting, login unanswered") << "unanswered" << false << QString(kNoAnswerInTime);
    // The port of another server, which answers in its own way.
    QTest::newRow("a web server, check") << "web" << true << QString(kNoAnswerInTime);
    QTest::newRow("a web server, service") << "web" << false << QString(kNoAnswerInTime);
}

void tst_AmiConnector::connectionFails()
{
    QFETCH(QString, peer);
    QFETCH(bool, checkMode);
    QFETCH(QString, error);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    quint16 port = ami.port();
    if (peer == QLatin1String("closed")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        port = probe.serverPort();
    } else if (peer == QLatin1String("silent")) {
        ami.setSilent(true);
    } else if (peer == QLatin1String("web")) {
        ami.setResponder(QStringLiteral("Login"), [](const FakeAmiServer::Frame &) {
            return QByteArray("HTTP/1.1 400 Bad Request\r\nServer: nginx\r\nContent-Type: text/html\r\n\r\n"
                              "<html>\r\n<head><title>400 Bad Request</title></head>\r\n\r\n<body></body>\r\n\r\n");
        });
    } else {
        ami.setResponder(QStringLiteral("Login"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    }
    Connector connector;
    connector.setAnswerTimeout(std::chrono::milliseconds(300));
    QSignalSpy errors(&connector, &Connector::hasError);
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    QSignalSpy connected(&connector, &Connector::connected);
    Promise<void> loginWaiting;
    const auto outcome = watch(loginWaiting);
    if (checkMode)
        connector.tryConnect(QStringLiteral("127.0.0.1"), port, kUser, kSecret, loginWaiting);
    else
        connector.connectToHost(QStringLiteral("127.0.0.1"), port, kUser, kSecret);

    QVERIFY(errors.wait(10000));
    QCOMPARE(errors.first().first().toString(), error);
    QCOMPARE(outcome->rejected, checkMode);
    // An action asked for now fails at once, saying where and why.
    const auto hangup = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QCOMPARE(hangup->error, QStringLiteral("no connection to Asterisk at 127.0.0.1:%1 (%2)").arg(port).arg(error));
    // Told as a failed connection, never as the loss of a working one.
    QCOMPARE(disconnected.size(), 0);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(connector.pendingCount(), 0);
    if (peer != QLatin1String("closed")) {
        QCOMPARE(ami.frames(QStringLiteral("Login")).size(), 1);
        QTRY_COMPARE(ami.openConnections(), 0);
    }
    QCOMPARE(errors.size(), 1);
    QCOMPARE(disconnected.size(), 0);
    // The link tries again every minute: what a wrong peer sends is told once, on one line, not at every try.
    if (!checkMode && peer == QLatin1String("web")) {
        connector.connectToHost(QStringLiteral("127.0.0.1"), port, kUser, kSecret);
        QVERIFY(errors.wait(10000));
    }
    QCOMPARE(logLines(QtWarningMsg, QStringLiteral("INVALID MESSAGE:")).size(), peer == QLatin1String("web") ? 1 : 0);
    for (const QString &line : logLines(QtWarningMsg, QString()))
        QVERIFY2(!line.contains(QLatin1Char('\n')), qPrintable(line));
}

void tst_AmiConnector::callControlFrames_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("hangup") << "hangup" << "Success" << QByteArray("Action:Hangup\r\nActionID:{ID}\r\n"
                                                                   "Channel:SIP/101-0000001f\r\n\r\n")
                            << true;
    QTest::newRow("hangup of a gone channel")
        << "hangup" << "Error" << QByteArray("Action:Hangup\r\nActionID:{ID}\r\nChannel:SIP/101-0000001f\r\n\r\n")
        << false;
    QTest::newRow("blind transfer") << "blind" << "Success"
                                    << QByteArray("Action:BlindTransfer\r\nActionID:{ID}\r\nChannel:SIP/101-0000001f\r\n"
                                                  "Context:from-internal\r\nExten:102\r\n\r\n")
                                    << true;
    QTest::newRow("attended transfer") << "attended" << "Error"
                                       << QByteArray("Action:Atxfer\r\nActionID:{ID}\r\nChannel:SIP/101-0000001f\r\n"
                                                     "Context:from-internal\r\nExten:102\r\n\r\n")
                                       << false;
    QTest::newRow("redirect") << "redirect" << "Success"
                              << QByteArray("Action:Redirect\r\nActionID:{ID}\r\nChannel:SIP/101-0000001f\r\n"
                                            "Context:from-internal\r\nExten:102\r\nPriority:1\r\n\r\n")
                              << true;
    QTest::newRow("originate") << "originate" << "Success"
                               << QByteArray("Action:Originate\r\nActionID:{ID}\r\nCallerid:79161234567\r\n"
                                             "Channel:SIP/101\r\nContext:from-internal\r\nExten:79161234567\r\n"
                                             "Priority:1\r\nVariable:CRM_CALL_ID=crm-0001\r\n\r\n")
                               << true;
}

void tst_AmiConnector::callControlFrames()
{
    QFETCH(QString, operation);
    QFETCH(QString, status);
    QFETCH(QByteArray, frame);
    QFETCH(bool, succeeds);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    const QString message = succeeds ? QStringLiteral("answered") : QStringLiteral("Channel specified does not exist");
    for (const char *action : {"Hangup", "BlindTransfer", "Atxfer", "Redirect", "Originate"})
        ami.setReply(QString::fromLatin1(action), status, message);
    Connector connector;
    logInService(connector, ami);

    Promise<void, QString> promise;
    const QString channel = QStringLiteral("SIP/101-0000001f");
    const QString context = QStringLiteral("from-internal");
    if (operation == QLatin1String("hangup"))
        promise = connector.hangup(channel);
    else if (operation == QLatin1String("blind"))
        promise = connector.transfer(channel, context, QStringLiteral("102"), true);
    else if (operation == QLatin1String("attended"))
        promise = connector.transfer(channel, context, QStringLiteral("102"), false);
    else if (operation == QLatin1String("redirect"))
        promise = connector.redirect(channel, context, QStringLiteral("102"), QStringLiteral("1"));
    else
        promise = connector.originate({{"channel", "SIP/101"},
                                       {"context", "from-internal"},
                                       {"extension", "79161234567"},
                                       {"caller_id", "79161234567"},
                                       {"priority", "1"},
                                       {"variable", "CRM_CALL_ID=crm-0001"}});
    const auto outcome = watch(promise);
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, succeeds);
    QCOMPARE(outcome->error, succeeds ? QString() : message);
    QCOMPARE(maskId(ami.frames().last().raw), frame);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::framesSplitOverReads()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Hangup"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    Connector connector;
    logInService(connector, ami);

    const auto outcome = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_COMPARE(ami.frames(QStringLiteral("Hangup")).size(), 1);
    const QString id = ami.frames(QStringLiteral("Hangup")).first().actionId;
    ami.sendInPieces(FakeAmiServer::response(QStringLiteral("Success"), id,
                                             {{QStringLiteral("Message"), QStringLiteral("Channel Hungup")}}),
                     5);
    QTRY_VERIFY(outcome->resolved);
}

void tst_AmiConnector::severalFramesInOneRead()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    const auto silent = [](const FakeAmiServer::Frame &) { return QByteArray(); };
    ami.setResponder(QStringLiteral("Hangup"), silent);
    ami.setResponder(QStringLiteral("Redirect"), silent);
    Connector connector;
    logInService(connector, ami);

    const auto hangup = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    const auto redirect = watch(connector.redirect(QStringLiteral("SIP/102-00000020"), QStringLiteral("from-internal"),
                                                   QStringLiteral("103"), QStringLiteral("1")));
    QTRY_COMPARE(ami.frames().size(), 5);
    const QString hangupId = ami.frames(QStringLiteral("Hangup")).first().actionId;
    const QString redirectId = ami.frames(QStringLiteral("Redirect")).first().actionId;
    ami.send(FakeAmiServer::response(QStringLiteral("Error"), redirectId,
                                     {{QStringLiteral("Message"), QStringLiteral("Channel does not exist: SIP/102")}})
             + FakeAmiServer::event(QStringLiteral("FullyBooted"), {{QStringLiteral("Status"), QStringLiteral("x")}})
             + FakeAmiServer::response(QStringLiteral("Success"), hangupId));
    QTRY_VERIFY(hangup->settled);
    QVERIFY(hangup->resolved);
    QVERIFY(redirect->rejected);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::serverCloseRejectsPendingHangup()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Hangup"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    Connector connector;
    logInService(connector, ami);
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    QSignalSpy errors(&connector, &Connector::hasError);

    const auto outcome = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_COMPARE(ami.frames(QStringLiteral("Hangup")).size(), 1);
    QVERIFY(!outcome->settled);
    ami.closeConnections();
    QVERIFY(disconnected.wait());
    QVERIFY(outcome->rejected);
    QCOMPARE(connector.pendingCount(), 0);
    QCOMPARE(errors.first().first().toString(), QStringLiteral("closed by the other side"));
}

void tst_AmiConnector::unsafeActionIsNotWritten_data()
{
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QString>("context");
    QTest::newRow("CR LF in the channel")
        << "SIP/101\r\n\r\nAction: Command\r\nCommand: core stop now" << "from-internal";
    QTest::newRow("LF in the context") << "SIP/101-0000001f" << "from-internal\nAction: Logoff";
    QTest::newRow("NUL in the channel") << QString::fromLatin1("SIP/101\0x", 9) << "from-internal";
}

void tst_AmiConnector::unsafeActionIsNotWritten()
{
    QFETCH(QString, channel);
    QFETCH(QString, context);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    logInService(connector, ami);
    const int framesBefore = ami.frames().size();

    const auto refused = watch(connector.redirect(channel, context, QStringLiteral("102"), QStringLiteral("1")));
    QVERIFY(refused->rejected); // at once: nothing to wait for
    QCOMPARE(connector.pendingCount(), 0);
    QCOMPARE(logLines(QtWarningMsg, QStringLiteral("AMI action Redirect refused:")).size(), 1);

    // A safe action afterwards is the only thing the server sees.
    const auto hangup = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_VERIFY(hangup->resolved);
    QCOMPARE(ami.frames().size(), framesBefore + 1);
    QCOMPARE(ami.frames().last().action, QStringLiteral("Hangup"));
}

void tst_AmiConnector::actionWithoutConnectionFails()
{
    Connector connector;
    const auto outcome = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QVERIFY(outcome->rejected);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::connectedTimerDiesWithItsConnection_data()
{
    QTest::addColumn<bool>("byServer");
    QTest::newRow("we disconnect") << false;
    QTest::newRow("server hangs up") << true;
}

void tst_AmiConnector::connectedTimerDiesWithItsConnection()
{
    QFETCH(bool, byServer);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    QSignalSpy connected(&connector, &Connector::connected);
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    logInService(connector, ami);
    QCOMPARE(connected.size(), 0);
    if (byServer) {
        ami.closeConnections();
        QVERIFY(disconnected.wait());
    } else {
        connector.disconnectFromHost();
    }
    QVERIFY(!connected.wait(1500));
}

void tst_AmiConnector::ownDisconnectionIsNotReported()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    QSignalSpy serverSide(&ami, &FakeAmiServer::clientDisconnected);
    logInService(connector, ami);
    connector.disconnectFromHost();
    QVERIFY(serverSide.wait());
    QCOMPARE(disconnected.size(), 0);

    // Reporting is armed again for the next connection.
    logInService(connector, ami);
    ami.closeConnections();
    QVERIFY(disconnected.wait());
    QCOMPARE(disconnected.size(), 1);
}

void tst_AmiConnector::reconnectReportsAndFailsOldActions()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Hangup"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    Connector connector;
    QSignalSpy disconnected(&connector, &Connector::disconnected);
    logInService(connector, ami);
    const auto old = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_COMPARE(ami.frames(QStringLiteral("Hangup")).size(), 1);

    QSignalSpy peers(&connector, &Connector::peersReceived);
    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QVERIFY(old->rejected);
    QCOMPARE(disconnected.size(), 1);
    QVERIFY(peers.wait());
    QCOMPARE(ami.frames(QStringLiteral("Login")).last().connection, 1);
}

void tst_AmiConnector::unknownAnswers()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    logInService(connector, ami);
    g_log.clear();

    ami.send(FakeAmiServer::response(QStringLiteral("Success"), QStringLiteral("{0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a7b}"))
             + FakeAmiServer::event(QStringLiteral("Hangup"),
                                    {{QStringLiteral("ActionID"), QStringLiteral("0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a70")}})
             + FakeAmiServer::event(QStringLiteral("PeerEntry"), {{QStringLiteral("ObjectName"), QStringLiteral("104")}}));
    QTRY_COMPARE(logLines(QtWarningMsg, QStringLiteral("ACTION NOT IN PENDING LIST:")).size(), 1);
    QVERIFY(logLines(QtWarningMsg, QStringLiteral("ACTION NOT IN PENDING LIST:"))
                .first()
                .contains(QStringLiteral("{0b8f6a3e-3c5d-4d7e-9a1b-2c3d4e5f6a7b}")));
    // Events that match nothing leave no line, and a stray entry adds no peer.
    const auto ping = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_VERIFY(ping->resolved);
    QCOMPARE(logLines(QtWarningMsg, QString()).size(), 1);
    QVERIFY(!connector.peers().contains(QStringLiteral("104")));
}

void tst_AmiConnector::wrongFrameStillReachesItsAction()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Hangup"), [](const FakeAmiServer::Frame &frame) {
        return FakeAmiServer::response(QStringLiteral("Success"), frame.actionId,
                                       {{QStringLiteral("Event"), QStringLiteral("Hangup")}});
    });
    Connector connector;
    logInService(connector, ami);
    const auto outcome = watch(connector.hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_VERIFY(outcome->settled);
    QVERIFY(outcome->rejected); // its head is the later "Hangup", not a success
    QCOMPARE(logLines(QtWarningMsg, QStringLiteral("INVALID MESSAGE:")).size(), 1);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::peersAccumulateAcrossLogins()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setSipPeers({QStringLiteral("101")});
    ami.setIaxPeers({});
    Connector connector;
    QSignalSpy peers(&connector, &Connector::peersReceived);
    logInService(connector, ami);
    QCOMPARE(peers.last().first().value<QSet<QString>>(), QSet<QString>{"101"});

    ami.setSipPeers({QStringLiteral("102")});
    ami.setIaxPeers({QStringLiteral("103")});
    connector.disconnectFromHost();
    logInService(connector, ami);
    QCOMPARE(peers.last().first().value<QSet<QString>>(), (QSet<QString>{"101", "102", "103"}));
}

void tst_AmiConnector::failedSipListAsksNoIaxList()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    // A PBX without chan_sip.
    ami.setReply(QStringLiteral("SIPPeers"), QStringLiteral("Error"),
                 QStringLiteral("Invalid/unknown command: SIPPeers. Use Action: ListCommands to show available commands."));
    Connector connector;
    QSignalSpy peers(&connector, &Connector::peersReceived);
    QSignalSpy connected(&connector, &Connector::connected);
    connector.connectToHost(ami.host(), ami.port(), kUser, kSecret);
    QVERIFY(connected.wait(3000));
    QCOMPARE(peers.size(), 0);
    QCOMPARE(ami.frames(QStringLiteral("IAXPeers")).size(), 0);
    QCOMPARE(connector.pendingCount(), 0);
}

void tst_AmiConnector::unansweredCheckLoginIsRejected_data()
{
    QTest::addColumn<QString>("ending");
    QTest::newRow("we disconnect") << "disconnect";
    QTest::newRow("connector destroyed") << "destroy";
    QTest::newRow("a second check starts") << "retry";
}

void tst_AmiConnector::unansweredCheckLoginIsRejected()
{
    QFETCH(QString, ending);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Login"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    auto connector = std::make_unique<Connector>();
    QSignalSpy errors(connector.get(), &Connector::hasError);
    Promise<void> loginWaiting;
    const auto outcome = watch(loginWaiting);

    connector->tryConnect(ami.host(), ami.port(), kUser, kSecret, loginWaiting);
    QTRY_COMPARE(ami.frames(QStringLiteral("Login")).size(), 1);
    QVERIFY(!outcome->settled);
    if (ending == QLatin1String("disconnect")) {
        connector->disconnectFromHost();
    } else if (ending == QLatin1String("destroy")) {
        connector.reset();
    } else {
        Promise<void> second;
        connector->tryConnect(ami.host(), ami.port(), kUser, kSecret, second);
    }
    QVERIFY(outcome->rejected);
    // Nobody refused the credentials.
    for (const QList<QVariant> &error : qAsConst(errors))
        QVERIFY(error.first().toString() != QLatin1String("Authentication failed"));
}

void tst_AmiConnector::destroyedConnectorFailsPendingActions()
{
    FakeAmiServer ami;
    QVERIFY(ami.listen());
    ami.setResponder(QStringLiteral("Hangup"), [](const FakeAmiServer::Frame &) { return QByteArray(); });
    auto connector = std::make_unique<Connector>();
    logInService(*connector, ami);
    const auto outcome = watch(connector->hangup(QStringLiteral("SIP/101-0000001f")));
    QTRY_COMPARE(ami.frames(QStringLiteral("Hangup")).size(), 1);
    QVERIFY(!outcome->settled);
    connector.reset();
    QVERIFY(outcome->rejected);
}

void tst_AmiConnector::credentialsThatWouldBreakTheFrameFailTheLogin_data()
{
    QTest::addColumn<bool>("checkMode");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("secret");
    QTest::newRow("check, secret with CR LF") << true << kUser << "crmsecret\r\nAction: Logoff";
    QTest::newRow("check, user with LF") << true << "crm\nAction: Logoff" << kSecret;
    QTest::newRow("service, secret with NUL") << false << kUser << QString::fromLatin1("crm\0secret", 10);
}

void tst_AmiConnector::credentialsThatWouldBreakTheFrameFailTheLogin()
{
    QFETCH(bool, checkMode);
    QFETCH(QString, user);
    QFETCH(QString, secret);

    FakeAmiServer ami;
    QVERIFY(ami.listen());
    Connector connector;
    QSignalSpy errors(&connector, &Connector::hasError);
    QSignalSpy connected(&connector, &Connector::connected);
    QSignalSpy serverSide(&ami, &FakeAmiServer::clientConnected);
    Promise<void> loginWaiting;
    const auto outcome = watch(loginWaiting);
    if (checkMode)
        connector.tryConnect(ami.host(), ami.port(), user, secret, loginWaiting);
    else
        connector.connectToHost(ami.host(), ami.port(), user, secret);

    // Told like a refused login, so that the owner does not wait for ever.
    QVERIFY(errors.wait());
    QCOMPARE(errors.first().first().toString(), QStringLiteral("Authentication failed"));
    QCOMPARE(outcome->rejected, checkMode);
    QCOMPARE(logLines(QtWarningMsg, QStringLiteral("AMI action Login refused:")).size(), 1);
    for (const LogLine &line : qAsConst(g_log))
        QVERIFY2(!line.text.contains(QLatin1String("Logoff")) && !line.text.contains(QLatin1String("secret")),
                 qPrintable(line.text));
    QTRY_COMPARE(serverSide.size(), 1);
    QCOMPARE(ami.frames().size(), 0);
    QCOMPARE(connected.size(), 0);
    QCOMPARE(connector.pendingCount(), 0);
}

QTEST_GUILESS_MAIN(tst_AmiConnector)
#include "tst_amiconnector.moc"
