#include "apitestsupport.h"
#include "callscenariosupport.h"
#include "config/generateddirectory.h"
#include "crmportalmodel.h"
#include "crmtestsupport.h"
#include "entities/clock.h"
#include "entities/telephonyeventloghandler.h"
#include "support/promisewatch.h"

#include <QSignalSpy>

#include <algorithm>

#include <unistd.h>

using Orvix::CRM::Bitrix::API;
using Orvix::Entities::Call;
using Orvix::Entities::CallStatus;
using Orvix::Entities::Conversation;

namespace {

const QString kOtherCallId = QStringLiteral("1700000100.1");

// The writes of each CRM call in their order, calls one after the other: the requests of different calls
// go side by side, so only the order within a call is kept. Writes of no CRM call come first.
QStringList byCall(const QStringList &writes)
{
    QMap<QString, QStringList> calls;
    for (const QString &write : writes)
        calls[write.section("CALL_ID=", 1).section(' ', 0, 0)].append(write);
    QStringList grouped;
    for (const QStringList &call : qAsConst(calls))
        grouped += call;
    return grouped;
}

} // namespace

// Whole calls through the CRM side against the fake portal: what the CRM is asked to do, in order.
class tst_ApiCalls : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Orvix::Entities::Clock::setSource({}); }
    void scenario_data();
    void scenario();
    void recordingLink_data();
    void recordingLink();
};

void tst_ApiCalls::scenario_data()
{
    QTest::addColumn<QJsonObject>("app");
    QTest::addColumn<QString>("portal"); // flags of CrmPortalModel
    QTest::addColumn<bool>("incoming");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("writes");

    const QStringList answered{"start", "ring a", "answer a", "end a", "finish"};
    const QStringList missed{"start", "ring a", "end a", "finish"};

    QTest::newRow("incoming answered, unknown number")
        << QJsonObject() << "" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming answered, the finish on disk before the portal gets it")
        << QJsonObject() << "savedfinish" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming answered among the facts of 2,000 calls up: its changes appended, the file not rewritten")
        << QJsonObject() << "manycalls" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming answered after the answers of 40 calls in one CEL batch: their facts saved in one write")
        << QJsonObject() << "burst" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming answered, unknown number, leads created")
        << QJsonObject{{"create_leads_for_incoming", true}} << "" << true << answered
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming answered, known contact")
        << QJsonObject() << "contact" << true << answered
        << QStringList{register_("2", "7", "1", "CONTACT:5"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("incoming missed")
        << QJsonObject() << "norecording" << true << missed
        << QStringList{register_("2", "1", "0"), show(1, 7), hide(1, 7), finish(1, 1, 304)};
    QTest::newRow("incoming missed, task for the contact's employee")
        << QJsonObject{{"create_task_for_unanswered", true}} << "contact norecording" << true << missed
        << QStringList{register_("2", "7", "1", "CONTACT:5"), show(1, 7), hide(1, 7),
                       "POST task.item.add TITLE=TASK_DESC \"Anna  Karenina\"",
                       finish(1, 7, 304)};
    QTest::newRow("a leg that rang two minutes ago gets no card")
        << QJsonObject() << "" << true << QStringList{"start", "ringold a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), finish(1, 7, 200), attach(1)};
    QTest::newRow("outgoing answered")
        << QJsonObject() << "" << false << answered
        << QStringList{register_("1", "7", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("outgoing unanswered")
        << QJsonObject() << "norecording" << false << missed
        << QStringList{register_("1", "7", "0"), show(1, 7), hide(1, 7), finish(1, 7, 304)};
    QTest::newRow("click-to-call reuses the CRM's call")
        << QJsonObject() << "" << false << QStringList{"c2c", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{finish("externalCall.c2c", 7, 200), attach("externalCall.c2c")};
    QTest::newRow("click-to-call dialled with a prefix")
        << QJsonObject{{"prefixes", QJsonArray{"9"}}} << "" << false
        << QStringList{"c2c prefixed", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{finish("externalCall.c2c", 7, 200), attach("externalCall.c2c")};
    QTest::newRow("click-to-call 61 s ago is a call of its own")
        << QJsonObject() << "" << false << QStringList{"c2c old", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{register_("1", "7", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("blind transfer, new activity")
        << QJsonObject() << "" << true
        << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a", "answer b", "end b", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), register_("2", "8", "0"), show(2, 8),
                       finish(1, 7, 200), attach(1), finish(2, 8, 200), attach(2)};
    QTest::newRow("blind transfer to a phone that does not answer, new activity")
        << QJsonObject() << "" << true
        << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end b", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), register_("2", "8", "0"), show(2, 8), hide(2, 8),
                       finish(1, 7, 200), attach(1), finish(2, 1, 304), attach(2)};
    QTest::newRow("blind transfer, one activity")
        << QJsonObject{{"create_new_activity_at_transfer", false}} << "" << true
        << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a", "answer b", "end b", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), show(1, 8), hide(1, 7), hide(1, 8), finish(1, 8, 200),
                       attach(1)};
    QTest::newRow("failed call registration, the leg's is finished once")
        << QJsonObject() << "failregister" << true << answered
        << QStringList{register_("2", "1", "0"), register_("2", "7", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("failed call registration, one activity, finished once")
        << QJsonObject{{"create_new_activity_at_transfer", false}} << "failregister" << true << answered
        << QStringList{register_("2", "1", "0"), register_("2", "7", "0"), show(1, 7), hide(1, 7), finish(1, 7, 200),
                       attach(1)};
    QTest::newRow("lead created by the register, finish failed: the lead is deleted")
        << QJsonObject() << "createslead failfinish" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), "GET crm.lead.delete ID=31"};
    QTest::newRow("lead created by the register, no-lead mode: still the lead is deleted")
        << QJsonObject{{"no_lead_mode", true}} << "createslead failfinish" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), "GET crm.lead.delete ID=31"};
    QTest::newRow("lead created by the register, its call closed before a restart: the lead stays")
        << QJsonObject() << "createslead closedcall" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), attach(1)};
    QTest::newRow("lead created by the register, finish unanswered then refused: its outcome unknown, the lead stays")
        << QJsonObject() << "createslead silentfinish failfinish" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), finish(1, 7, 200)};
    QTest::newRow("lead we added, finish refused once: the lead stays, one finish")
        << QJsonObject{{"create_leads_for_incoming", true}} << "failfinish" << true << answered
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(1, 7, 200)};
    const QStringList transferred{"start", "ring a", "answer a", "transfer", "ring b", "end a", "answer b", "end b",
                                  "finish"};
    QTest::newRow("lead we added, every finish of a transferred call refused: the lead stays")
        << QJsonObject{{"create_leads_for_incoming", true}} << "failallfinishes" << true << transferred
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", register_("2", "1", "1", "LEAD:31"),
                       show(2, 8), finish(1, 7, 200), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(2, 8, 200)};
    QTest::newRow("blind transfer after a lead was added: the second leg leaves its comments, title and address")
        << QJsonObject{{"create_leads_for_incoming", true}} << "company" << true << transferred
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"),
                       "GET crm.lead.update id=31 fields=ADDRESS,TITLE", show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", register_("2", "1", "1", "LEAD:31"),
                       show(2, 8), finish(1, 7, 200), attach(1), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(2, 8, 200), attach(2)};
    QTest::newRow("missed call from an unknown number: a task to call that number back")
        << QJsonObject{{"create_task_for_unanswered", true}} << "norecording" << true << missed
        << QStringList{register_("2", "1", "0"), show(1, 7), hide(1, 7),
                       "POST task.item.add TITLE=TASK_DESC \"74951234567, <time>\" "
                       "DESCRIPTION=INCOMING_ENTITY_NAME 74951234567, <time>",
                       finish(1, 1, 304)};
    QTest::newRow("missed call from a withheld number: no call-back task, nobody could call it back")
        << QJsonObject{{"create_task_for_unanswered", true}} << "norecording withheld" << true << missed
        << QStringList{register_("2", "1", "0"), show(1, 7), hide(1, 7), finish(1, 1, 304)};
    QTest::newRow("30 lookups during a call: ten wait in the queue, the call goes on")
        << QJsonObject() << "" << true << QStringList{"start", "lookups", "ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("activity fields from the hook")
        << QJsonObject() << "activityhook" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), "POST crm.activity.update id=701",
                       attach(1)};
    QTest::newRow("analytics data handed to the lead hook of a created lead")
        << QJsonObject{{"create_leads_for_incoming", true}} << "leadhook" << true
        << QStringList{"roistat", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(1, 7, 200), attach(1),
                       "GET crm.lead.update id=31 fields=UF_VISIT"};
    QTest::newRow("lead hook unchanged: the lead keeps its fields")
        << QJsonObject{{"create_leads_for_incoming", true}} << "" << true
        << QStringList{"roistat", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), show(1, 7),
                       "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(1, 7, 200), attach(1)};
    QTest::newRow("analytics data of a call that created nothing is not sent")
        << QJsonObject() << "leadhook" << true << QStringList{"roistat", "start", "ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("answered at an extension without a CRM user: finished for the default user")
        << QJsonObject() << "" << true << QStringList{"start", "ring c", "answer c", "end c", "finish"}
        << QStringList{register_("2", "1", "0"), finish(1, 1, 200), attach(1)};
    const QStringList second{"+start", "+ring a", "+answer a", "+end a", "+finish"};
    QTest::newRow("two calls from one number at once: two CRM calls")
        << QJsonObject() << "" << true
        << QStringList{"start", "+start", "ring a", "+ring b", "answer a", "+answer b", "end a", "+end b", "finish",
                       "+finish"}
        << QStringList{register_("2", "1", "0"), register_("2", "1", "0"), show(1, 7), show(2, 8), finish(1, 7, 200),
                       attach(1), finish(2, 8, 200), attach(2)};
    QTest::newRow("two calls from one new number at once, leads created: one lead, both calls bound to it")
        << QJsonObject{{"create_leads_for_incoming", true}} << "norecording slow" << true
        << QStringList{"start", "+start", "ring a", "+ring b", "end a", "+end b", "finish", "+finish"}
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), register_("2", "1", "1", "LEAD:31"),
                       show(1, 7), hide(1, 7), finish(1, 1, 304), show(2, 8), hide(2, 8), finish(2, 1, 304)};
    QTest::newRow("two calls at once from one new number, written with 7 and with 8: one lead, both calls bound to it")
        << QJsonObject{{"create_leads_for_incoming", true}, {"prefixes", QJsonArray{"7", "8"}}}
        << "norecording slow other8" << true
        << QStringList{"start", "+start", "ring a", "+ring b", "end a", "+end b", "finish", "+finish"}
        << QStringList{"POST crm.lead.add", register_("2", "1", "1", "LEAD:31"), register_("2", "1", "1", "LEAD:31"),
                       show(1, 7), hide(1, 7), finish(1, 1, 304), show(2, 8), hide(2, 8), finish(2, 1, 304)};
    QTest::newRow("a finish without an answer is sent again; the next call is a call of its own")
        << QJsonObject() << "hangfinish" << true << answered + second
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), finish(1, 7, 200), attach(1),
                       register_("2", "1", "0"), show(2, 7), finish(2, 7, 200), attach(2)};
    QTest::newRow("finish sent again after a lost answer, link mode: the recording link reaches its activity")
        << QJsonObject{{"store_recordings_in_crm", false}} << "hangfinish" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), finish(1, 7, 200),
                       "POST crm.activity.update id=701"};
    QTest::newRow("finish answered nothing, then refused in another wording: the lead stays, the recording goes")
        << QJsonObject() << "createslead hangfinish localised" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), finish(1, 7, 200), attach(1)};
    QTest::newRow("call closed before a restart, refused in another wording: the lead stays, the recording goes")
        << QJsonObject() << "createslead closedcall localised" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), attach(1)};
    QTest::newRow("the PBX link starts again while the finish waits for its answer: the recording attached once")
        << QJsonObject() << "pbxrestart" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("an upload taken and never answered twice: the next call goes first, the upload stays owed")
        << QJsonObject() << "hangupload" << true
        << QStringList{"start", "ring a", "answer a", "end a", "hangup", "+start", "+ring a", "+answer a", "+end a",
                       "+finish"}
        << QStringList{register_("2", "1", "0"), finish(1, 7, 200), attach(1), register_("2", "1", "0"), show(2, 7),
                       finish(2, 7, 200), attach(2), attach(1), attach(1)};
    QTest::newRow("a portal silent from the card on: three tries of each request, each run counts it lost")
        << QJsonObject() << "silentportal" << true << answered + QStringList{"restart"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 1, 200), finish(1, 1, 200), finish(1, 1, 200),
                       finish(1, 7, 200), attach(1)};
    QTest::newRow("a finish unanswered until the portal is lost: sent again once after the restart; the lead stays")
        << QJsonObject() << "createslead lostfinish" << true << answered + QStringList{"restart"}
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                       finish(1, 7, 200), finish(1, 7, 200), finish(1, 7, 200), finish(1, 7, 200), attach(1)};
    QTest::newRow("a finish answered 503 until the portal is lost: the lead stays, sent again after the restart")
        << QJsonObject() << "createslead lostfinish 503" << true << answered + QStringList{"restart"}
        << QStringList{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID"}
               + QVector<QString>(7, finish(1, 7, 200)).toList() + QStringList{attach(1)};
    QTest::newRow("the link stopped while two calls' finishes wait for their answers: each sent again once")
        << QJsonObject() << "stopped" << true
        << QStringList{"start", "+start", "ring a", "+ring b", "answer a", "+answer b", "end a", "+end b", "stop",
                       "restart", "finish", "+finish"}
        << QStringList{register_("2", "1", "0"), register_("2", "1", "0"), show(1, 7), show(2, 8), finish(1, 7, 200),
                       finish(2, 8, 200), finish(1, 7, 200), attach(1), finish(2, 8, 200), attach(2)};
    // The portal's host goes down: its requests are tried until it counts as lost, then wait for the restart.
    const QStringList refusedFromStart{"refuse", "start", "ring a", "answer a", "end a", "hangup"};
    QTest::newRow("the portal refuses connections from the call's start on: registered and finished after the restart")
        << QJsonObject() << "contact" << true << refusedFromStart
        << QStringList{register_("2", "7", "1", "CONTACT:5"), finish(1, 7, 200), attach(1)};
    QTest::newRow("the portal refuses connections through the first restart, its login too: registered after the second")
        << QJsonObject() << "contact twice" << true << refusedFromStart
        << QStringList{register_("2", "7", "1", "CONTACT:5"), finish(1, 7, 200), attach(1)};
    QTest::newRow("the portal refuses connections from the finish on: finished for its employee after the restart")
        << QJsonObject() << "" << true << QStringList{"start", "ring a", "answer a", "refuse", "end a", "hangup"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("a call that ended while its card waited: registered and finished, no card")
        << QJsonObject() << "" << true << QStringList{"start", "ring a", "answer a", "end a", "hangup"}
        << QStringList{register_("2", "1", "0"), finish(1, 7, 200), attach(1)};
    // A day is counted from when the work was handed over, not on the PBX's time of the backlog's rows.
    QTest::newRow("a call of a backlog handed over, run once the PBX link reached rows two days on: nothing given up")
        << QJsonObject() << "" << true << QStringList{"start", "ring a", "answer a", "end a", "hangup", "present"}
        << QStringList{register_("2", "1", "0"), finish(1, 7, 200), attach(1)};
    QTest::newRow("a recording not given while the PBX link reads a backlog, asked again two days on: attached")
        << QJsonObject() << "pbxjump" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("one server error on the upload: sent again")
        << QJsonObject() << "attach500" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1), attach(1)};
    QTest::newRow("token unknown to the portal mid-call: one new login")
        << QJsonObject() << "noauth" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), finish(1, 7, 200), attach(1)};
    QTest::newRow("transfer: the first leg's recording named only at the call's end")
        << QJsonObject() << "latecdr" << true
        << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a", "answer b", "end b", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), register_("2", "8", "0"), show(2, 8),
                       finish(1, 7, 200), finish(2, 8, 200), attach(2), attach(1)};
    QTest::newRow("transfer: the first leg's late recording is attached once, though the link started again")
        << QJsonObject() << "latecdr" << true
        << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a", "relink", "answer b", "end b",
                       "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), register_("2", "8", "0"), show(2, 8),
                       finish(1, 7, 200), finish(2, 8, 200), attach(2), attach(1)};
    QTest::newRow("the look-up of the answering employee gets a server error once: sent again")
        << QJsonObject() << "lookupfails" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("a recording without audio is not uploaded")
        << QJsonObject() << "emptywav" << true << answered
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("a transferred local leg does not stall the queue")
        << QJsonObject() << "" << true
        << QStringList{"start", "ring a", "answer a", "ring l", "end l", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
}

void tst_ApiCalls::scenario()
{
    QFETCH(QJsonObject, app);
    QFETCH(QString, portal);
    QFETCH(bool, incoming);
    QFETCH(QStringList, steps);
    QFETCH(QStringList, writes);

    ApiHarness harness;
    QVERIFY(harness.setUp(app));
    CrmPortalModel model(harness.portal);
    model.knownContact = portal.contains("contact");
    model.registerCreatesLead = portal.contains("createslead");
    model.registerCreatesLead = portal.contains("createslead");
    model.failRegisters = portal.contains("failregister") ? 1 : 0;
    model.failFinishes = portal.contains("failallfinishes") ? 99 : portal.contains("failfinish") ? 1 : 0;
    // A finish refused after a try that went unanswered is not logged as refused: its outcome is unknown.
    const int refusedFinishes = portal.contains("silentfinish") ? 0 : model.failFinishes;
    model.closedFinishes = portal.contains("closedcall") ? 1 : 0;
    model.hangFinishes = portal.contains("hangfinish") ? 1 : portal.contains("stopped") ? 2 : 0;
    // Every try of a finish unanswered, or refused as unavailable, until the portal counts as lost.
    const bool unavailable = portal.contains("503");
    for (int i = portal.contains("lostfinish") ? (unavailable ? 6 : 3) : 0; i > 0; --i)
        harness.portal.pushRestReply("telephony.externalcall.finish",
                                     unavailable ? Orvix::Tests::FakeCrmReply::error(503, "SERVICE_UNAVAILABLE", "x")
                                                 : Orvix::Tests::FakeCrmReply::silent());
    if (portal.contains("slow")) // both calls' searches are under way before either is answered
        harness.portal.setAnswerDelay(50);
    if (portal.contains("localised"))
        model.notFoundText = QStringLiteral("Звонок не найден");
    if (portal.contains("hangupload"))
        model.hangUploads.insert("externalCall.1", 2);
    if (portal.contains("silentfinish"))
        harness.portal.pushRestReply("telephony.externalcall.finish", Orvix::Tests::FakeCrmReply::silent());
    harness.api->setRecordingRetryPause(std::chrono::milliseconds(10));
    if (!steps.filter(QRegularExpression("^\\+")).isEmpty())
        model.callNumbers = {{kCallId, 1}, {kOtherCallId, 2}};
    if (portal.contains(QRegularExpression("hang|silent|lost"))) // instead of 15 s
        harness.api->connector().setRequestTimeout(std::chrono::milliseconds(500));
    if (portal.contains("stopped")) // the links stop while the finishes wait
        harness.api->connector().setRequestTimeout(std::chrono::milliseconds(3000));
    if (portal.contains("silentportal")) {
        // From the card on, every look-up and finish is taken and never answered.
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [&harness](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() != "telephony.externalcall.show")
                        return;
                    for (int i = 0; i < 6; ++i)
                        harness.portal.pushRestReply("batch", Orvix::Tests::FakeCrmReply::silent());
                    for (int i = 0; i < 3; ++i)
                        harness.portal.pushRestReply("telephony.externalcall.finish", Orvix::Tests::FakeCrmReply::silent());
                });
    }
    // Rows whose finish is never confirmed; a silent portal is lost once per run of lost answers.
    const bool unconfirmed = portal.contains(QRegularExpression("failfinish|failallfinishes|silentportal|lost|stop"));
    int lostRuns = portal.contains("silentportal") ? 3 : portal.contains("lostfinish") ? 1 : 0;
    if (steps.contains("refuse")) // once for each start that found the host down
        lostRuns = portal.contains("twice") ? 2 : 1;
    // Finishes that did not reach the portal, kept for the next start of the link.
    const int kept = portal.contains("stopped") ? 2 : portal.contains(QRegularExpression("silentportal|lost")) ? 1 : 0;
    // Written whole at the first change after the start, the file is appended to from then on: a link to it made
    // then still reads what it holds at the end, as a file written anew (renamed into place) is another file.
    const QString registrations = harness.api->registrationsFilePath();
    if (portal.contains("manycalls")) {
        Orvix::CRM::Bitrix::RegistrationStore::Facts facts;
        for (int i = 0; i < 2000; ++i)
            facts.insert(QStringLiteral("17000%1.0").arg(i, 5, 10, QLatin1Char('0')),
                         {false, {QStringLiteral("x")}, {}, false, {}, QDateTime::currentDateTimeUtc()});
        Orvix::CRM::Bitrix::RegistrationStore saved;
        saved.setFilePath(registrations);
        QVERIFY(saved.save({}, {}, facts));
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [registrations](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() == "telephony.externalcall.show")
                        ::link(qPrintable(registrations), qPrintable(registrations + ".link"));
                });
    }
    if (portal.contains("pbxrestart")) {
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [&harness](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() == "telephony.externalcall.finish")
                        harness.api->attachOwedRecordings();
                });
    }
    if (portal.contains("attach500"))
        harness.portal.pushRestReply("telephony.externalcall.attachRecord",
                                     Orvix::Tests::FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "x"));
    if (portal.contains("noauth"))
        harness.portal.pushRestReply("telephony.externalcall.finish",
                                     Orvix::Tests::FakeCrmReply::error(401, "NO_AUTH_FOUND", "Wrong authorization data"));
    const QString recording = portal.contains("norecording") ? QString() : harness.dir.filePath("call.wav");
    if (!recording.isEmpty()) {
        QFile file(recording);
        QVERIFY(file.open(QIODevice::WriteOnly));
        // A header alone is what a call that was never answered leaves.
        file.write(portal.contains("emptywav") ? QByteArray("RIFF$...WAVEfmt ").leftJustified(44, '\0')
                                               : QByteArray("RIFF....WAVEfmt "));
    }
    if (portal.contains("lookupfails")) {
        // The fourth look-up is the finish's; it gets a server error.
        auto batches = QSharedPointer<int>::create(0);
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [&harness, batches](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() == "batch" && ++*batches == 3)
                        harness.portal.pushRestReply("batch", Orvix::Tests::FakeCrmReply::error(500, "INTERNAL_SERVER_ERROR", "x"));
                });
    }
    if (portal.contains("pbxjump")) {
        // Neither at the leg's end nor at the call's: the PBX link is lost, and reads a backlog when it is back.
        auto asked = QSharedPointer<int>::create(0);
        API *const api = harness.api.get();
        connect(api, &API::conversationRecordingPathRequest, this,
                [api, asked](const QString &, const QString &, const QString &,
                             Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> path) {
                    if (++*asked > 2)
                        return;
                    if (*asked == 2) // at the call's end, once the link has reached rows two days on
                        api->setPbxClock([] { return QDateTime::currentDateTime().addDays(2); });
                    path.reject(Orvix::Entities::RecordingFailure::failed(QStringLiteral("Lost connection to Asterisk")));
                });
    }
    if (portal.contains("latecdr")) {
        // The first lookup of the first leg's recording comes before the PBX wrote the record naming it.
        auto asked = QSharedPointer<bool>::create(false);
        connect(harness.api.get(), &API::conversationRecordingPathRequest, this,
                [asked](const QString &, const QString &, const QString &to,
                        Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> path) {
                    if (to == "101" && !std::exchange(*asked, true))
                        path.reject(Orvix::Entities::RecordingFailure::missing(QStringLiteral("no CDR row")));
                });
    }
    // Hooks that do change something answer first; the rest answer unchanged, as with the customizer off.
    if (portal.contains("activityhook")) {
        connect(harness.api.get(), &API::activityFieldsCustomizationRequest, this,
                [](const QJsonObject &, Orvix::Utils::Promise<QJsonObject, QString> fields) {
                    fields.resolve(QJsonObject{{"DESCRIPTION", "Talked about the order"}});
                });
    }
    if (portal.contains("leadhook")) {
        connect(harness.api.get(), &API::leadFieldsCustomizationRequest, this,
                [](const QJsonObject &call, Orvix::Utils::Promise<QJsonObject, QString> fields) {
                    if (call.contains("roistat"))
                        fields.resolve(QJsonObject{{"UF_VISIT", call.value("roistat").toObject().value("visit")}});
                    else
                        fields.reject("no analytics data");
                });
    }
    if (portal.contains("company")) {
        connect(harness.api.get(), &API::findCompanyInDoubleGisRequest, this,
                [](const QStringList &, Orvix::Utils::Promise<Orvix::CRM::Entity> company) {
                    Orvix::CRM::Entity found(Orvix::CRM::EntityType::DoubleGisCompany, 0, "Horns and Hooves", {}, true);
                    found.setAddress("Moscow, Tverskaya 1");
                    company.resolve(found);
                });
    }
    answerHooksUnchanged(harness.api.get(), this, &recording);

    if (steps.contains("refuse")) { // the links stop at the loss and start again, as the App has them
        const int down = portal.contains("twice") ? 2 : 1;
        const auto losses = QSharedPointer<int>::create(0);
        connect(harness.api.get(), &API::connectionLost, this, [&harness, down, losses]() {
            harness.api->stop();
            harness.portal.setRefusing(++*losses < down);
            QTimer::singleShot(100, harness.api.get(), [&harness]() {
                harness.api->start(false);
                harness.api->attachOwedRecordings();
            });
        });
    }

    // What the saved registrations say of the finish when the portal receives it.
    const auto finishingOnDisk = QSharedPointer<int>::create(-1);
    if (portal.contains("savedfinish")) {
        connect(&harness.portal, &Orvix::Tests::FakeCrmServer::requestReceived, this,
                [&harness, finishingOnDisk](const Orvix::Tests::FakeCrmRequest &request) {
                    if (request.restMethod() != "telephony.externalcall.finish")
                        return;
                    const QJsonArray entries =
                        savedRegistrations(harness.api->registrationsFilePath())["registrations"].toArray();
                    *finishingOnDisk = entries.size() == 1 && entries[0].toObject().contains("finishing") ? 1 : 0;
                });
    }
    LogCapture log;
    QSignalSpy lost(harness.api.get(), &API::connectionLost);
    harness.api->start(false);
    const QString number = CrmPortalModel::kCallerNumber;
    CallDriver driver(*harness.api, incoming, kCallId, portal.contains("withheld") ? "anonymous" : number);
    CallDriver other(*harness.api, incoming, kOtherCallId, portal.contains("other8") ? "8" + number.mid(1) : number);
    if (portal.contains("burst")) {
        // Calls that never reached the CRM, their facts changed all the same; each write of the file is a line.
        using Orvix::Utils::MsgBuilder;
        for (int i = 0; i < 40; ++i) {
            const QString callId = QStringLiteral("17000090%1.1").arg(i, 2, 10, QLatin1Char('0'));
            Conversation leg(callId.left(10) + ".2", callId.left(10) + ".2", callId);
            leg.setFrom(number, false);
            leg.setTo("101", true);
            leg.setState(CallStatus::Talking, QDateTime::currentDateTime());
            harness.api->conversationAccepted(leg, MsgBuilder(callId, MsgBuilder::ConversationAccepted,
                                                              MsgBuilder::NoChildTask), 100 + i);
        }
        const auto onDisk = [&registrations]() {
            int calls = 0;
            for (const QJsonValue &facts : savedRegistrations(registrations).value("calls").toArray())
                calls += facts["id"].toString().startsWith("17000090") ? 1 : 0;
            return calls;
        };
        QTRY_COMPARE(onDisk(), 40);
        QFile file(registrations);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(std::count_if(lines.cbegin(), lines.cend(),
                               [](const QByteArray &line) { return line.contains("\"17000090"); }),
                 1);
    }
    for (const QString &step : steps) {
        if (step == "refuse") { // once what went before has been answered
            QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
            QTRY_VERIFY(harness.api->connector().pendingRequests() == 0 && !harness.api->connector().isBusy());
            harness.portal.setRefusing(true);
        } else if (step == "stop") { // as a lost PBX stops the links, while the finishes wait for their answers
            QTRY_COMPARE(harness.portal.restRequests("telephony.externalcall.finish").size(), 2);
            harness.api->stop();
        } else if (step.startsWith('+'))
            other.step(step.mid(1));
        else
            driver.step(step);
    }

    QTRY_COMPARE_WITH_TIMEOUT(byCall(model.writes()), byCall(writes), kScenarioTimeoutMsec);
    QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
    // The summary closes the call, and nothing of it stays behind.
    const QString ended = unconfirmed ? "N" : "Y";
    QTRY_COMPARE_WITH_TIMEOUT(log.matching("[" + kCallId + "]\tCall ended\t\t" + ended + "\tCall: {").size(), 1, 30000);
    // What the call's end sends after its summary (a lead deleted) is in the writes as well.
    QTRY_VERIFY(harness.api->connector().pendingRequests() == 0 && !harness.api->connector().isBusy());
    QCOMPARE(byCall(model.writes()), byCall(writes));
    if (portal.contains("savedfinish"))
        QCOMPARE(*finishingOnDisk, 1);
    // A refused or lost request is sent again: the links are restarted only for a portal that stays away.
    QCOMPARE(lost.count(), lostRuns);
    QCOMPARE(log.matching("did not reach the portal; it is sent again when the link to the CRM starts").size(), kept);
    // A stopped link drops its token: its next start logs in anew.
    const bool login = portal.contains("noauth") || steps.contains("restart") || steps.contains("refuse");
    QCOMPARE(harness.portal.requests("/oauth/authorize/").size(), login ? 1 : 0);
    // Nothing is owed once the call is done, nor kept of what a stop of the link refused of its work.
    QCOMPARE(harness.api->connector().stopRefusals(kCallId), quint64(0));
    QCOMPARE(savedRegistrations(registrations).value("uploads").toArray().size(), 0);
    if (portal.contains("manycalls")) {
        // The call's end forgets its facts with the kept events' next write.
        QTRY_COMPARE(savedRegistrations(registrations).value("calls").toArray().size(), 2000);
        QFile file(registrations);
        QFile link(registrations + ".link");
        QVERIFY(file.open(QIODevice::ReadOnly) && link.open(QIODevice::ReadOnly));
        QVERIFY(link.readAll() == file.readAll());
    }
    // A refused finish is logged with the call and the CRM call it leaves open.
    int refused = refusedFinishes;
    for (const QString &write : writes) {
        if (refused > 0 && write.contains("externalcall.finish")) {
            const QString crmCall = write.section("CALL_ID=", 1).section(' ', 0, 0);
            QCOMPARE(log.matching(QString("Failed to finish CRM call [%1] of call [%2]").arg(crmCall, kCallId)).size(),
                     1);
            --refused;
        }
    }
    if (steps.contains("lookups")) {
        // Twenty were refused at once; only the ten taken reached the portal, so the call's requests never
        // queued behind more than those.
        QCOMPARE(driver.lookups->busy, 20);
        QTRY_COMPARE(driver.lookups->settled, 30);
        int asked = 0;
        for (const auto &request : harness.portal.restRequests("batch"))
            asked += request.body.contains("4990000000") || request.rawQuery.contains("4990000000") ? 1 : 0;
        QCOMPARE(asked, 10);
        QVERIFY(!Orvix::Tests::watch(harness.api->getResponsibleData(kLookedUpNumber))->settled);
    }
    // Lines filed under a leg (its finishing user) leave with the call.
    for (const QString &leg : {QStringLiteral("1700000000.2"), QStringLiteral("1700000000.3")}) {
        const QString summary = Orvix::Entities::TelephonyEventLogHandler::instance()->callSummary(Call(leg));
        QVERIFY2(!summary.contains("User"), qPrintable(summary));
    }
}

void tst_ApiCalls::recordingLink_data()
{
    QTest::addColumn<QJsonObject>("webServer");
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("link");

    QTest::newRow("internal address, plain http")
        << QJsonObject{{"address_int", "10.0.0.5"}, {"use_http", true}, {"listen_port", 8077}} << "74951234567"
        << "http://10.0.0.5:8077/get_conversation_recording?id=1700000000.1&from=74951234567&to=101";
    QTest::newRow("internal address with scheme and port")
        << QJsonObject{{"address_int", "https://10.0.0.5:9000"}} << "74951234567"
        << "https://10.0.0.5:9000/get_conversation_recording?id=1700000000.1&from=74951234567&to=101";
    QTest::newRow("listen host over https")
        << QJsonObject{{"listen_host", "10.0.0.7"}, {"use_http", false}, {"listen_port_secure", 8078}} << "74951234567"
        << "https://10.0.0.7:8078/get_conversation_recording?id=1700000000.1&from=74951234567&to=101";
    QTest::newRow("a plus stays a plus")
        << QJsonObject{{"address_int", "10.0.0.5"}, {"listen_port", 8077}} << "+74951234567"
        << "http://10.0.0.5:8077/get_conversation_recording?id=1700000000.1&from=%2B74951234567&to=101";
    QTest::newRow("prefix stripped, ampersand encoded")
        << QJsonObject{{"address_int", "10.0.0.5"}, {"listen_port", 8077}} << "9&1"
        << "http://10.0.0.5:8077/get_conversation_recording?id=1700000000.1&from=%261&to=101";
}

void tst_ApiCalls::recordingLink()
{
    QFETCH(QJsonObject, webServer);
    QFETCH(QString, from);
    QFETCH(QString, link);
    ApiHarness harness;
    QVERIFY(harness.setUp({{"prefixes", QJsonArray{"9"}}}, {}, webServer));
    harness.portal.setRestResult("event.bind", true);
    harness.api->start(false);
    Conversation leg("1700000000.2", "1700000000.2", kCallId);
    leg.setFrom(from, false);
    leg.setTo("101", true);
    // Signed, over the values the link reads back to: the numbers it was built from.
    const QString number = harness.api->connector().phoneWithoutPrefixes(from);
    QCOMPARE(harness.api->recordingUrl(leg),
             link + "&sig=" + Orvix::Config::GeneratedDirectory::recordingSignature(kCallId, number, "101"));
    const QUrlQuery query(QUrl(link).query());
    QCOMPARE(query.queryItemValue("from", QUrl::FullyDecoded), number);
}

QTEST_GUILESS_MAIN(tst_ApiCalls)
#include "tst_apicalls.moc"
