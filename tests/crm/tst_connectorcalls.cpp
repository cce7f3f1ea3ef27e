#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using Orvix::CRM::Bitrix::Connector;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;

namespace {

constexpr int kInterval = 5;
constexpr int kDefaultUser = 1;

// One step of a call-card scenario: "show 5", "hide 5", "except 5" (hide from all but 5).
struct CardStep
{
    QString op;
    int user;
};

FakeCrmReply cardAnswer(const QString &kind)
{
    if (kind == "true")
        return FakeCrmReply::result(true);
    if (kind == "false")
        return FakeCrmReply::result(false);
    if (kind == "text")
        return FakeCrmReply::result("Y");
    return FakeCrmReply::error(400, "ERROR_ARGUMENT", "no such call");
}

} // namespace

Q_DECLARE_METATYPE(QList<CardStep>)

class tst_ConnectorCalls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void cardsByUser_data();
    void cardsByUser();
    void recordingUpload_data();
    void recordingUpload();

private:
    void start(Connector &connector);

    QScopedPointer<FakeCrmServer> m_fake;
    QScopedPointer<QTemporaryDir> m_dir;
    QSharedPointer<Orvix::HttpClient::HttpClient> m_client;
};

void tst_ConnectorCalls::init()
{
    m_fake.reset(new FakeCrmServer);
    QVERIFY(m_fake->isListening());
    qputenv(Orvix::CRM::Bitrix::kTokenUrlVariable, m_fake->tokenUrl().toString().toUtf8());
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_client.reset(new Orvix::HttpClient::HttpClient);
}

void tst_ConnectorCalls::cleanup()
{
    m_client.reset();
    m_fake.reset();
}

void tst_ConnectorCalls::start(Connector &connector)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setRequestTimeout(std::chrono::milliseconds(2000));
    connector.start(m_fake->baseUrl(), kDefaultUser, "admin", "secret", "_c", "en", false, kInterval, 0);
}

void tst_ConnectorCalls::cardsByUser_data()
{
    QTest::addColumn<QList<CardStep>>("steps");
    QTest::addColumn<QString>("answer"); // of the last step
    QTest::addColumn<bool>("lastResolved");
    QTest::addColumn<QStringList>("sent"); // "show 5" per card request, in order
    QTest::addColumn<QList<int>>("shown"); // afterwards

    QTest::newRow("shown to one user") << QList<CardStep>{{"show", 5}} << "true" << true << QStringList{"show 5"}
                                       << QList<int>{5};
    QTest::newRow("user 0 sends nothing and changes nothing")
        << QList<CardStep>{{"show", 5}, {"show", 0}} << "true" << false << QStringList{"show 5"} << QList<int>{5};
    QTest::newRow("hiding from user -1 sends nothing")
        << QList<CardStep>{{"show", 5}, {"hide", -1}} << "true" << false << QStringList{"show 5"} << QList<int>{5};
    QTest::newRow("false answer rejects") << QList<CardStep>{{"show", 5}} << "false" << false
                                          << QStringList{"show 5"} << QList<int>{5};
    QTest::newRow("non-boolean answer rejects") << QList<CardStep>{{"show", 5}} << "text" << false
                                                << QStringList{"show 5"} << QList<int>{5};
    QTest::newRow("refused request rejects") << QList<CardStep>{{"hide", 5}} << "error" << false
                                             << QStringList{"hide 5"} << QList<int>{};
    QTest::newRow("the last user hidden drops the call")
        << QList<CardStep>{{"show", 5}, {"show", 7}, {"hide", 5}, {"hide", 7}} << "true" << true
        << QStringList{"show 5", "show 7", "hide 5", "hide 7"} << QList<int>{};
    QTest::newRow("hidden from all but the answering user")
        << QList<CardStep>{{"show", 5}, {"show", 7}, {"show", 9}, {"except", 7}} << "true" << true
        << QStringList{"show 5", "show 7", "show 9", "hide 5", "hide 9"} << QList<int>{7};
}

void tst_ConnectorCalls::cardsByUser()
{
    QFETCH(QList<CardStep>, steps);
    QFETCH(QString, answer);
    QFETCH(bool, lastResolved);
    QFETCH(QStringList, sent);
    QFETCH(QList<int>, shown);

    QStringList received;
    const int expected = sent.size();
    for (const QString op : {"show", "hide"}) {
        m_fake->setRestHandler("telephony.externalcall." + op,
                               [&received, op, expected, answer](const QJsonObject &params) {
                                   if (params.value("CALL_ID").toString() == "externalCall.1")
                                       received.append(op + " " + params.value("USER_ID").toString());
                                   return received.size() == expected ? cardAnswer(answer)
                                                                       : FakeCrmReply::result(true);
                               });
    }
    const CardStep last = steps.last();

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationRequested, MsgBuilder::NoChildTask);
    QSharedPointer<Orvix::Tests::Outcome<void, void>> outcome;
    for (const CardStep &step : steps) {
        if (step.op == "show")
            outcome = watch(connector.showCallCard("externalCall.1", step.user, msg));
        else if (step.op == "hide")
            outcome = watch(connector.hideCallCard("externalCall.1", step.user, msg));
        else
            connector.hideCallCardsExcept("externalCall.1", step.user, msg);
    }
    QTRY_COMPARE(received.size(), sent.size());
    if (last.op != "except") {
        QTRY_VERIFY(outcome->settled);
        QCOMPARE(outcome->resolved, lastResolved);
    }
    QTRY_COMPARE(connector.pendingRequests(), 0);
    QTRY_VERIFY(!connector.isBusy());

    if (last.op == "except") // the order of the hidden users is the set's own
        std::sort(received.begin() + steps.size() - 1, received.end());
    QCOMPARE(received, sent);
    QList<int> nowShown = connector.shownUsers("externalCall.1").values();
    std::sort(nowShown.begin(), nowShown.end());
    QCOMPARE(nowShown, shown);
    for (const FakeCrmRequest &request : m_fake->requests())
        QVERIFY(request.restMethod().isEmpty() || request.verb == "GET");
    // Each card request is logged under its own child task.
    for (const QString &line : LogCapture::matching("\"1_request\":\"telephony.externalcall.show\""))
        QVERIFY2(line.contains("Call card show"), qPrintable(line));
    for (const QString &line : LogCapture::matching("\"1_request\":\"telephony.externalcall.hide\""))
        QVERIFY2(line.contains("Call card hide"), qPrintable(line));
}

void tst_ConnectorCalls::recordingUpload_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("content"); // null: no file at all
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("resolved");

    const QByteArray wave = QByteArray("RIFF\x24\0\0\0WAVEfmt ", 16) + QByteArray(300, '\x7f');
    QTest::newRow("uploaded as Base64") << "rec.wav" << wave << 200 << true;
    QTest::newRow("any answer value resolves") << "rec.wav" << QByteArray("x") << 200 << true;
    QTest::newRow("refused upload rejects") << "rec.wav" << wave << 400 << false;
    QTest::newRow("empty file sends nothing") << "rec.wav" << QByteArray("") << 200 << false;
    QTest::newRow("missing file sends nothing") << "rec.wav" << QByteArray() << 200 << false;
}

void tst_ConnectorCalls::recordingUpload()
{
    QFETCH(QString, fileName);
    QFETCH(QByteArray, content);
    QFETCH(int, status);
    QFETCH(bool, resolved);

    const QString path = m_dir->filePath(fileName);
    if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }
    m_fake->setRestResult("telephony.externalcall.attachRecord",
                          content.size() == 1 ? QJsonValue(false) : QJsonValue(QJsonObject{{"FILE_ID", "12"}}));
    if (status != 200)
        m_fake->pushRestReply("telephony.externalcall.attachRecord", FakeCrmReply::error(status, "ERR", "no"));

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationEnded, MsgBuilder::NoChildTask);
    const auto outcome = watch(connector.attachRecording("externalCall.9", path, msg));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);

    const auto sent = m_fake->restRequests("telephony.externalcall.attachRecord");
    if (content.isEmpty()) {
        QCOMPARE(sent.size(), 0);
        MsgBuilder attach = msg;
        attach.setChildTask(MsgBuilder::RecordingAttach);
        QCOMPARE(LogCapture::matching("Recording file was not found"),
                 QStringList{attach.build(MsgBuilder::Warning, "Recording file was not found: " + path)});
        return;
    }
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().verb, QByteArray("POST"));
    const QJsonObject form = sent.first().form;
    QCOMPARE(form.value("CALL_ID").toString(), QStringLiteral("externalCall.9"));
    QVERIFY2(QRegularExpression("^\\d+-rec\\.wav$").match(form.value("FILENAME").toString()).hasMatch(),
             qPrintable(form.value("FILENAME").toString()));
    QVERIFY(form.value("FILENAME").toString().section('-', 0, 0).toULongLong() <= 0xFFFFFFFFULL);
    QCOMPARE(QByteArray::fromBase64(form.value("FILE_CONTENT").toString().toLatin1()), content);

    const QStringList logged = LogCapture::matching("telephony.externalcall.attachRecord");
    QCOMPARE(logged.size(), 1);
    QVERIFY(logged.first().contains("\"FILE_CONTENT\":\"--redacted--\""));
    QVERIFY(!logged.first().contains(form.value("FILE_CONTENT").toString()));
}

QTEST_GUILESS_MAIN(tst_ConnectorCalls)
#include "tst_connectorcalls.moc"
