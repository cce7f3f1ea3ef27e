#include "crm/bitrix/connector.h"
#include "crm/bitrix/constants.h"
#include "crmtestsupport.h"
#include "entities/conversation.h"
#include "httpclient/httpclient.h"
#include "support/fakecrmserver.h"
#include "support/promisewatch.h"

#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <utility>

using Orvix::CRM::Bitrix::Connector;
using Orvix::Tests::FakeCrmReply;
using Orvix::Tests::FakeCrmRequest;
using Orvix::Tests::FakeCrmServer;
using Orvix::Tests::watch;
using Orvix::Utils::MsgBuilder;

namespace {

constexpr int kInterval = 5;
constexpr int kDefaultUser = 1;

// One step of a call-card scenario: "show 5", "hide 5", "except 5" (hide from all but 5), "held 5" (shown while
// the login is never answered, the link restarted meanwhile, the call ending before the restart), "wait 3" (the
// cards of three other calls, each waiting until this call's card has gone).
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

class tst_ConnectorCalls : public ConnectorTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void cardsByUser_data();
    void cardsByUser();
    void recordingUpload_data();
    void recordingUpload();
    void cardsByPhone_data();
    void cardsByPhone();
    void cardsForSeveralUsers_data();
    void cardsForSeveralUsers();
    void recordingLink_data();
    void recordingLink();

private:
    void start(Connector &connector);

};

void tst_ConnectorCalls::init()
{
    QVERIFY(setUpPortal());
}

void tst_ConnectorCalls::cleanup()
{
    tearDownPortal();
}

void tst_ConnectorCalls::start(Connector &connector)
{
    connector.setTokenBaseDirectory(m_dir->path());
    connector.setLocalesDirectory(m_dir->path());
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
    QTest::newRow("a finished call forgets its cards")
        << QList<CardStep>{{"show", 5}, {"show", 7}, {"finish", 7}} << "true" << true
        << QStringList{"show 5", "show 7"} << QList<int>{};
    QTest::newRow("a card held over a restart of the link is judged again: its call over, not sent")
        << QList<CardStep>{{"held", 5}} << "true" << true << QStringList() << QList<int>{};
    // They give their turn to this call's card in the same tick, rather than one tick each.
    QTest::newRow("three cards of other calls waiting at the start: this call's card goes in their tick")
        << QList<CardStep>{{"wait", 3}, {"show", 5}} << "true" << true << QStringList{"show 5"} << QList<int>{5};
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
    m_fake->setRestResult("telephony.externalcall.finish",
                          QJsonObject{{"CALL_ID", "externalCall.1"}, {"CRM_ACTIVITY_ID", "701"}});
    Orvix::Entities::Conversation answered("1700000000.2", "1700000000.2", "1700000000.1");
    answered.setFrom("74951234567", false);
    answered.setTo("101", true);
    answered.setState(Orvix::Entities::CallStatus::Talking, QDateTime::currentDateTime());
    answered.setState(Orvix::Entities::CallStatus::Hung, QDateTime::currentDateTime());
    const CardStep last = steps.last();
    // Asked when a card's turn comes: whether the call is over, whether this call's card went, and in which tick
    // of the connector: one the cards waiting were asked in, until the event loop turned.
    const auto ended = QSharedPointer<bool>::create(false);
    const auto went = QSharedPointer<bool>::create(false);
    const auto tickOpen = QSharedPointer<bool>::create(false);
    const auto wentInTick = QSharedPointer<bool>::create(false);
    const Connector::SendGuard waiting = [this, went, tickOpen]() {
        if (!std::exchange(*tickOpen, true))
            QTimer::singleShot(0, this, [tickOpen]() { *tickOpen = false; });
        return *went ? Connector::SendTurn::Skip : Connector::SendTurn::Wait;
    };

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationRequested, MsgBuilder::NoChildTask);
    QSharedPointer<Orvix::Tests::Outcome<void, void>> outcome;
    const bool othersWait = std::any_of(steps.cbegin(), steps.cend(), [](const CardStep &s) { return s.op == "wait"; });
    for (const CardStep &step : steps) {
        if (step.op == "show" && othersWait) {
            outcome = watch(connector.showCallCard("externalCall.1", step.user, msg, [went, tickOpen, wentInTick]() {
                *wentInTick = *tickOpen;
                *went = true;
                return Connector::SendTurn::Send;
            }));
        } else if (step.op == "show") {
            outcome = watch(connector.showCallCard("externalCall.1", step.user, msg));
        } else if (step.op == "held") {
            m_fake->pushReply("/oauth/authorize/", FakeCrmReply::silent());
            outcome = watch(connector.showCallCard("externalCall.1", step.user, msg, [ended]() {
                return *ended ? Connector::SendTurn::Skip : Connector::SendTurn::Send;
            }));
            QTRY_COMPARE(m_fake->requests("/oauth/authorize/").size(), 1);
            connector.stop(false);
            *ended = true;
            start(connector);
        } else if (step.op == "wait") {
            for (int call = 1; call <= step.user; ++call) {
                const MsgBuilder other(QStringLiteral("170000000%1.1").arg(call), MsgBuilder::ConversationRequested,
                                       MsgBuilder::NoChildTask);
                connector.showCallCard(QStringLiteral("externalCall.9%1").arg(call), 9, other, waiting);
            }
        } else if (step.op == "hide")
            outcome = watch(connector.hideCallCard("externalCall.1", step.user, msg));
        else if (step.op == "finish")
            connector.finishCall("externalCall.1", step.user, answered, false, QJsonObject(), msg);
        else
            connector.hideCallCardsExcept("externalCall.1", step.user, msg);
    }
    QTRY_COMPARE(received.size(), sent.size());
    if (last.op == "show" || last.op == "hide" || last.op == "held") {
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
    if (othersWait)
        QVERIFY(*wentInTick);
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

void tst_ConnectorCalls::cardsByPhone_data()
{
    QTest::addColumn<QStringList>("steps");    // "show 101", "hide 102" in order
    QTest::addColumn<int>("cacheMinutes");
    QTest::addColumn<QStringList>("sent");     // card requests
    QTest::addColumn<int>("lookups");          // batches asking for users
    QTest::addColumn<bool>("lastResolved");

    QTest::newRow("shown to the user of the number") << QStringList{"show 101"} << 0 << QStringList{"show 5"} << 1
                                                     << true;
    QTest::newRow("hidden from the user of the number")
        << QStringList{"hide 102"} << 0 << QStringList{"hide 8"} << 1 << true;
    QTest::newRow("a number without a user sends no card") << QStringList{"show 555"} << 0 << QStringList() << 1
                                                            << false;
    QTest::newRow("the cached user is not asked for again")
        << QStringList{"show 101", "hide 101"} << 5 << QStringList{"show 5", "hide 5"} << 1 << true;
    QTest::newRow("without the cache every card asks")
        << QStringList{"show 101", "hide 101"} << 0 << QStringList{"show 5", "hide 5"} << 2 << true;
}

void tst_ConnectorCalls::cardsByPhone()
{
    QFETCH(QStringList, steps);
    QFETCH(int, cacheMinutes);
    QFETCH(QStringList, sent);
    QFETCH(int, lookups);
    QFETCH(bool, lastResolved);

    m_fake->setRestResult("user.get", QJsonArray{QJsonObject{{"ID", "5"}, {"UF_PHONE_INNER", "101"}},
                                                 QJsonObject{{"ID", "8"}, {"UF_PHONE_INNER", "102"}}});
    m_fake->setRestResult("crm.duplicate.findbycomm", QJsonArray());
    QStringList received;
    for (const QString op : {"show", "hide"}) {
        m_fake->setRestHandler("telephony.externalcall." + op, [&received, op](const QJsonObject &params) {
            received.append(op + " " + params.value("USER_ID").toString());
            return FakeCrmReply::result(true);
        });
    }

    Connector connector(nullptr, m_client);
    start(connector);
    connector.setCacheStorageTime(cacheMinutes);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationRequested, MsgBuilder::NoChildTask);
    QSharedPointer<Orvix::Tests::Outcome<void, void>> outcome;
    for (const QString &step : steps) {
        const QString phone = step.section(' ', 1);
        outcome = step.startsWith("show") ? watch(connector.showCallCard("externalCall.1", phone, msg))
                                          : watch(connector.hideCallCard("externalCall.1", phone, msg));
        QTRY_VERIFY(outcome->settled); // the next card waits for the cache to be filled
    }
    QCOMPARE(outcome->resolved, lastResolved);
    QCOMPARE(received, sent);
    QCOMPARE(m_fake->restRequests("batch").size(), lookups);
}

void tst_ConnectorCalls::cardsForSeveralUsers_data()
{
    QTest::addColumn<QJsonArray>("users"); // the user list's answer
    QTest::addColumn<int>("listStatus");
    QTest::addColumn<bool>("cardAnswer");
    QTest::addColumn<QStringList>("shownTo"); // USER_ID of the card request, empty: none sent
    QTest::addColumn<bool>("resolved");

    const QJsonArray users{QJsonObject{{"ID", "5"}}, QJsonObject{{"ID", "0"}}, QJsonObject{{"ID", "8"}}};
    QTest::newRow("one request for every user found") << users << 200 << true << QStringList{"5", "8"} << true;
    QTest::newRow("the portal refuses the cards") << users << 200 << false << QStringList{"5", "8"} << false;
    QTest::newRow("no user with an id sends nothing")
        << QJsonArray{QJsonObject{{"ID", "0"}}, QJsonObject{{"NAME", "x"}}} << 200 << true << QStringList()
        << false;
    QTest::newRow("a failed user list sends nothing") << users << 400 << true << QStringList() << false;
}

void tst_ConnectorCalls::cardsForSeveralUsers()
{
    QFETCH(QJsonArray, users);
    QFETCH(int, listStatus);
    QFETCH(bool, cardAnswer);
    QFETCH(QStringList, shownTo);
    QFETCH(bool, resolved);

    if (listStatus != 200)
        m_fake->pushRestReply("user.get", FakeCrmReply::error(listStatus, "ERROR", "no"));
    m_fake->setRestResult("user.get", users);
    m_fake->setRestResult("telephony.externalcall.show", cardAnswer);

    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationRequested, MsgBuilder::NoChildTask);
    const auto outcome = watch(connector.showCallCards("externalCall.1", QJsonArray{"101", "102", "103"}, msg));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);

    const auto lists = m_fake->restRequests("user.get");
    QCOMPARE(lists.size(), 1);
    QCOMPARE(texts(lists.first().params().value("filter").toObject().value("UF_PHONE_INNER")),
             QStringList({"101", "102", "103"}));
    const auto cards = m_fake->restRequests("telephony.externalcall.show");
    QCOMPARE(cards.size(), shownTo.isEmpty() ? 0 : 1);
    if (!shownTo.isEmpty()) {
        QCOMPARE(cards.first().params().value("CALL_ID").toString(), QStringLiteral("externalCall.1"));
        QCOMPARE(texts(cards.first().params().value("USER_ID")), shownTo);
    }
    QList<int> shown = connector.shownUsers("externalCall.1").values();
    std::sort(shown.begin(), shown.end());
    QCOMPARE(shown, shownTo.isEmpty() ? QList<int>() : QList<int>({5, 8}));
}

void tst_ConnectorCalls::recordingLink_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QJsonArray>("activities"); // the activity list's answer; null entry: the read fails
    QTest::addColumn<bool>("updateAccepted");
    QTest::addColumn<QString>("description");   // sent, empty: no update
    QTest::addColumn<bool>("resolved");

    const QString url = "https://pbx.example/rec/1700000000.1.wav";
    const QString markup = " <audio src=\"" + url + "\" controls>" + url + "</audio><br/><br/><br/><a href=\"" + url
                           + "\" target=\"_blank\">Скачать запись</a>";
    const QJsonArray activity{QJsonObject{{"ID", "33"}, {"DESCRIPTION", "Call from a client"}}};
    QTest::newRow("appended to the old description") << url << activity << true << "Call from a client" + markup
                                                     << true;
    QTest::newRow("an empty description starts with the blank")
        << url << QJsonArray{QJsonObject{{"ID", "33"}, {"DESCRIPTION", ""}}} << true << markup << true;
    QTest::newRow("mark-up in the link is escaped")
        << "https://pbx.example/rec?from=\"><script>x</script>&a=1" << activity << true
        << "Call from a client <audio src=\"https://pbx.example/rec?from=&quot;&gt;&lt;script&gt;x&lt;/script&gt;"
           "&amp;a=1\" controls>https://pbx.example/rec?from=&quot;&gt;&lt;script&gt;x&lt;/script&gt;&amp;a=1"
           "</audio><br/><br/><br/><a href=\"https://pbx.example/rec?from=&quot;&gt;&lt;script&gt;x&lt;/script&gt;"
           "&amp;a=1\" target=\"_blank\">Скачать запись</a>"
        << true;
    QTest::newRow("a refused update rejects") << url << activity << false << "Call from a client" + markup << false;
    QTest::newRow("an empty URL sends nothing") << QString() << activity << true << QString() << false;
    QTest::newRow("an activity that is gone") << url << QJsonArray() << true << QString() << false;
    QTest::newRow("a failed read") << url << QJsonArray{QJsonValue::Null} << true << QString() << false;
}

void tst_ConnectorCalls::recordingLink()
{
    QFETCH(QString, url);
    QFETCH(QJsonArray, activities);
    QFETCH(bool, updateAccepted);
    QFETCH(QString, description);
    QFETCH(bool, resolved);

    if (activities.contains(QJsonValue::Null))
        m_fake->pushRestReply("crm.activity.list", FakeCrmReply::error(400, "ERROR", "no"));
    m_fake->setRestResult("crm.activity.list", activities);
    m_fake->setRestResult("crm.activity.update", updateAccepted);

    LogCapture capture;
    Connector connector(nullptr, m_client);
    start(connector);
    const MsgBuilder msg("1700000000.1", MsgBuilder::ConversationEnded, MsgBuilder::NoChildTask);
    const auto outcome = watch(connector.attachRecordingUrl(33, url, msg));
    QTRY_VERIFY(outcome->settled);
    QCOMPARE(outcome->resolved, resolved);

    QCOMPARE(m_fake->restRequests("crm.activity.list").size(), url.isEmpty() ? 0 : 1);
    const auto updates = m_fake->restRequests("crm.activity.update");
    QCOMPARE(updates.size(), description.isEmpty() ? 0 : 1);
    const QStringList warnings = LogCapture::matching("Failed to get activity to attach recording");
    if (!description.isEmpty()) {
        const QJsonObject params = updates.first().params();
        QCOMPARE(params.value("id").toString(), QStringLiteral("33"));
        QCOMPARE(params.value("fields").toObject().value("DESCRIPTION").toString(), description);
        QCOMPARE(params.value("fields").toObject().value("DESCRIPTION_TYPE").toString(), QStringLiteral("3"));
        QVERIFY(warnings.isEmpty());
    } else if (!url.isEmpty()) {
        MsgBuilder attach = msg;
        attach.setChildTask(MsgBuilder::RecordingAttach);
        QCOMPARE(warnings, QStringList{attach.build(MsgBuilder::Warning,
                                                    "Failed to get activity to attach recording. ActivityId = 33")});
    }
}

QTEST_GUILESS_MAIN(tst_ConnectorCalls)
#include "tst_connectorcalls.moc"
