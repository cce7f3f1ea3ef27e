#include "apitestsupport.h"
#include "crmportalmodel.h"
#include "crmtestsupport.h"
#include "entities/clock.h"
#include "pbx/asterisk/event.h"
#include "pbx/asterisk/eventhandler.h"

#include <QFile>
#include <QJsonDocument>

using Orvix::CRM::Bitrix::API;
using Orvix::Entities::Call;
using Orvix::Entities::Clock;
using Orvix::Entities::Conversation;
using Orvix::PBX::Asterisk::Event;
using Orvix::PBX::Asterisk::EventHandler;
using Orvix::Utils::MsgBuilder;

namespace {

// firstMember: a phone without a CRM user rings in the queue first, on the channel of 101's queue leg, whose
// rows follow under the next id.
QList<Event> readCel(const QString &name, const QString &firstMember = QString())
{
    QList<Event> events;
    QFile file(QFINDTESTDATA("../fixtures/asterisk20/" + name));
    if (!file.open(QIODevice::ReadOnly))
        return events;
    QList<QJsonObject> rows;
    for (const QByteArray &line : file.readAll().split('\n')) {
        QByteArray text = line;
        if (!firstMember.isEmpty() && text.contains("\"1796724848.177\"")) {
            QByteArray member = text;
            member.replace("\"101\"", '"' + firstMember.toLatin1() + '"').replace("SIP/101-", "SIP/" + firstMember.toLatin1() + '-');
            rows.append(QJsonDocument::fromJson(member).object());
            text.replace("1796724848.177", "1796724848.179");
        }
        rows.append(QJsonDocument::fromJson(text).object());
    }
    int id = 0;
    for (QJsonObject row : qAsConst(rows)) {
        if (row.isEmpty())
            continue;
        if (!firstMember.isEmpty()) // in the order written
            row.insert("id", 2000 + ++id);
        events.append(Event(QString::number(row.value("id").toInt()), row.value("eventtype").toString(),
                            row.value("eventtime").toString(), row.value("cid_num").toString(),
                            row.value("exten").toString(), row.value("uniqueid").toString(),
                            row.value("linkedid").toString(), row.value("channame").toString()));
    }
    return events;
}

} // namespace

// Calls recorded on a real Asterisk 20, through the call tracker into the CRM side, against the fake portal.
class tst_ApiReplay : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Clock::setSource({}); }
    void replay_data();
    void replay();
};

void tst_ApiReplay::replay_data()
{
    QTest::addColumn<QString>("cel");
    // When 101's card asks for its user, the rows up to this CEL id are written at once: the card's request
    // waits behind that look-up while the call goes on (0: each row once the CRM work of the earlier ones is done).
    QTest::addColumn<int>("rushTo");
    QTest::addColumn<QStringList>("writes");
    QTest::newRow("inbound answered")
        << "cel-a-inbound-answered.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=5",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    QTest::newRow("outbound answered")
        << "cel-c-outbound-answered.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=1 USER_ID=7 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=6",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    // Between two extensions: nothing for the CRM.
    QTest::newRow("internal") << "cel-g-internal.jsonl" << 0 << QStringList();
    // 101 consults 102 and takes the customer back: 102 never talked to the customer, nothing for 102.
    QTest::newRow("attended transfer abandoned")
        << "cel-e2-attended-transfer-abandoned.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=20",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    // Completed: 102's own call with the customer from the transfer on.
    QTest::newRow("attended transfer")
        << "cel-e-attended-transfer.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "POST telephony.externalcall.register TYPE=2 USER_ID=8 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.2 USER_ID=8",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=10",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.2 USER_ID=8 STATUS_CODE=200 DURATION=20",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.2"};
    // The PBX writes the record naming 101's recording only when the whole call ends.
    QTest::newRow("attended transfer, the first recording named at the end")
        << "cel-e-attended-transfer.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "POST telephony.externalcall.register TYPE=2 USER_ID=8 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.2 USER_ID=8",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=10",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.2 USER_ID=8 STATUS_CODE=200 DURATION=20",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.2",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    // "anonymous": under a number the portal takes, bound to no record, and carded, finished, recorded as any.
    const QStringList withheld{
        "POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
        "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
        "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=6",
        "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    QTest::newRow("withheld caller") << "cel-i-inbound-withheld.jsonl" << 0 << withheld;
    // No caller id at all, on a line to one of our numbers: the same.
    QTest::newRow("no caller id") << "cel-o-inbound-no-caller-id.jsonl" << 0 << withheld;
    // 101 parks the customer (talk until the park, not the announcement after it); 102 picks the call up from
    // the lot: a CRM call of 102's own, as after a blind transfer.
    QTest::newRow("park, picked up by a colleague")
        << "cel-j-park-pickup.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=2",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1",
                       "POST telephony.externalcall.register TYPE=2 USER_ID=8 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.2 USER_ID=8",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.2 USER_ID=8 STATUS_CODE=200 DURATION=10",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.2"};
    // Both members ring for one transfer: 101, who does not answer, sees the card of the transfer's CRM call
    // come and go; no missed CRM call of 101's own for a customer served throughout.
    const QStringList queueTransfer{
        "POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
        "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
        "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=7 STATUS_CODE=200 DURATION=2",
        "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1",
        "POST telephony.externalcall.register TYPE=2 USER_ID=7 CRM_CREATE=0",
        "GET telephony.externalcall.show CALL_ID=externalCall.2 USER_ID=7",
        "GET telephony.externalcall.show CALL_ID=externalCall.2 USER_ID=8",
        "GET telephony.externalcall.hide CALL_ID=externalCall.2 USER_ID=7",
        "GET telephony.externalcall.finish CALL_ID=externalCall.2 USER_ID=8 STATUS_CODE=200 DURATION=10"};
    QTest::newRow("blind transfer into a queue, one member rings out")
        << "cel-k-blind-transfer-to-queue.jsonl" << 0
        << queueTransfer + QStringList{"POST telephony.externalcall.attachRecord CALL_ID=externalCall.2"};
    // 103, first to ring, registers nothing: 101 registers the transfer's CRM call, and 102 shares it.
    QTest::newRow("blind transfer into a queue, a member without a CRM user rings first")
        << "cel-k-blind-transfer-to-queue.jsonl" << 0
        << queueTransfer + QStringList{"POST telephony.externalcall.attachRecord CALL_ID=externalCall.2"};
    // The CRM call stays open, as the log says: 101's rung-out leg does not finish it as missed.
    QTest::newRow("blind transfer into a queue, the answering member's finish refused")
        << "cel-k-blind-transfer-to-queue.jsonl" << 0 << queueTransfer;
    QTest::newRow("ring group")
        << "cel-m-ring-group.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=8",
                       "GET telephony.externalcall.hide CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=8 STATUS_CODE=200 DURATION=8",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    QTest::newRow("queue, rrmemory: 101 rings out, then 102 answers")
        << "cel-n-queue-rrmemory.jsonl" << 0
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.hide CALL_ID=externalCall.1 USER_ID=7",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=8",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=8 STATUS_CODE=200 DURATION=8",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    // 101's card waits for its user while 102 answers: it is not sent when its turn comes, nor its hide.
    QTest::newRow("ring group, 101's card held up while 102 answers")
        << "cel-m-ring-group.jsonl" << 279
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.show CALL_ID=externalCall.1 USER_ID=8",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=8 STATUS_CODE=200 DURATION=8",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
    // ... and while the whole call goes by: no card at all.
    QTest::newRow("ring group, 101's card held up while the call ends")
        << "cel-m-ring-group.jsonl" << 292
        << QStringList{"POST telephony.externalcall.register TYPE=2 USER_ID=1 CRM_CREATE=0",
                       "GET telephony.externalcall.finish CALL_ID=externalCall.1 USER_ID=8 STATUS_CODE=200 DURATION=8",
                       "POST telephony.externalcall.attachRecord CALL_ID=externalCall.1"};
}

void tst_ApiReplay::replay()
{
    QFETCH(QString, cel);
    QFETCH(int, rushTo);
    QFETCH(QStringList, writes);
    const QString tag = QTest::currentDataTag();
    const QList<Event> events = readCel(cel, tag.contains("rings first") ? "103" : "");
    QVERIFY(!events.isEmpty());
    // The calls are judged as they happened: a card is shown only for a leg that rang just now.
    const QDateTime recorded = events.first().occurredAt();
    Clock::setSource([recorded] { return recorded.addSecs(10); });

    ApiHarness harness;
    QVERIFY(harness.setUp());
    CrmPortalModel model(harness.portal);
    model.withDurations = true;
    const QString recording = harness.dir.filePath("call.wav");
    QFile file(recording);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("RIFF....WAVEfmt ");
    file.close();
    if (tag.contains("finish refused")) { // the finish after 102's card
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [&model](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() == "telephony.externalcall.show"
                        && request.params().value("USER_ID").toString() == "8")
                        model.failFinishes = 1;
                });
    }
    if (tag.contains("named at the end")) {
        // Asked for at the leg's end, before the call ended, 101's recording is not found.
        auto asked = QSharedPointer<bool>::create(false);
        connect(harness.api.get(), &API::conversationRecordingPathRequest, this,
                [asked](const QString &, const QString &from, const QString &to,
                        Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> path) {
                    if ((from == "101" || to == "101") && !std::exchange(*asked, true))
                        path.reject(Orvix::Entities::RecordingFailure::missing(QStringLiteral("no CDR row")));
                });
    }
    answerHooksUnchanged(harness.api.get(), this, &recording);

    EventHandler tracker;
    tracker.setTrunks({"74950000000", "74950000301"});
    tracker.setPeers({"101", "102", "103", "trunk"});
    API *api = harness.api.get();
    const auto trace = [](const QString &id, MsgBuilder::TaskName task) {
        return MsgBuilder(id, task, MsgBuilder::NoChildTask);
    };
    connect(&tracker, &EventHandler::callStarted, this,
            [api, trace](const Call &call) { api->callStarted(call, trace(call.id(), MsgBuilder::CallStarted)); });
    connect(&tracker, &EventHandler::conversationRequested, this, [api, trace](const Conversation &leg) {
        api->conversationRequested(leg, trace(leg.callId(), MsgBuilder::ConversationRequested));
    });
    connect(&tracker, &EventHandler::conversationAccepted, this, [api, trace](const Conversation &leg) {
        api->conversationAccepted(leg, trace(leg.callId(), MsgBuilder::ConversationAccepted));
    });
    connect(&tracker, &EventHandler::conversationEnded, this, [api, trace](const Conversation &leg) {
        api->conversationEnded(leg, trace(leg.callId(), MsgBuilder::ConversationEnded));
    });
    connect(&tracker, &EventHandler::callEnded, this,
            [api, trace](const Call &call) { api->callEnded(call, trace(call.id(), MsgBuilder::CallEnded)); });
    connect(&tracker, &EventHandler::callTransferred, this, [api, trace](const QString &id) {
        api->callTransferred(id, trace(id, MsgBuilder::CallTransferred));
    });

    // A card goes when the call is up and nobody else has taken it, as the tracker knows the call then.
    api->setLegProbe([&tracker](const Conversation &leg) { return tracker.legOutlook(leg.id(), leg.callId()); });
    int next = 0;
    const auto writeUpTo = [&tracker, &events, &next](int id) {
        while (next < events.size() && events.at(next).id() <= id)
            tracker.process(events.at(next++));
    };
    connect(api, &API::phoneCustomizationRequest, this, [writeUpTo, rushTo](const QString &phone) mutable {
        if (phone == "101" && rushTo > 0)
            writeUpTo(std::exchange(rushTo, 0));
    });

    LogCapture log;
    harness.api->start(false);
    // Each event once the CRM work of the earlier ones is done, as when the call was live: a call's end known
    // before its card went out would rightly leave the card out.
    while (next < events.size()) {
        QTRY_VERIFY(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy());
        if (next < events.size()) // the rush may have taken the rest
            tracker.process(events.at(next++));
    }

    QTRY_VERIFY_WITH_TIMEOUT(!log.matching("\tCall ended\t\tY\tCall: {").isEmpty()
                                 || !log.matching("\tCall ended\t\tN\tCall: {").isEmpty()
                                 || !log.matching("Do not register call, because it is local").isEmpty(),
                             15000);
    QTRY_VERIFY(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy());
    QTRY_COMPARE(model.writes(), writes);
}

QTEST_GUILESS_MAIN(tst_ApiReplay)
#include "tst_apireplay.moc"
