#include "apitestsupport.h"
#include "callscenariosupport.h"
#include "crmportalmodel.h"
#include "entities/clock.h"

#include <QRegularExpression>

using Orvix::CRM::Bitrix::API;
using Orvix::Entities::CallStatus;
using Orvix::Entities::Conversation;

// Calls that the service was stopped in, or killed, and that go on after its start from what it saved: the
// registrations, the finishes on their way, the recordings it owes.
class tst_ApiRestart : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Orvix::Entities::Clock::setSource({}); }
    void registrationSurvivesRestart_data();
    void registrationSurvivesRestart();
};

void tst_ApiRestart::registrationSurvivesRestart_data()
{
    QTest::addColumn<QString>("portal"); // flags of CrmPortalModel
    QTest::addColumn<QStringList>("before");
    QTest::addColumn<QStringList>("writesBefore");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<QStringList>("writes");

    QTest::newRow("killed while the register waits for its answer, the contact reassigned: sent again as it was")
        << "contact reassigned" << QStringList{"start"} << QStringList{register_("2", "7", "1", "CONTACT:5")}
        << QStringList{"ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "7", "1", "CONTACT:5"), register_("2", "7", "1", "CONTACT:5"), show(1, 7),
                       finish(1, 7, 200)};
    // The day a kept event is tried for is counted on the PBX's clock, not on this host's.
    QTest::newRow("killed while the register waits for its answer, this host's clock set a day ahead: sent again")
        << "hostahead" << QStringList{"start"} << QStringList{register_("2", "1", "0")}
        << QStringList{"ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)};
    // Nor on this host's clock when the PBX's is not known yet.
    QTest::newRow("killed while the register waits, kept before the PBX's time was known, this host two days behind")
        << "hostbehind" << QStringList{"start"} << QStringList{register_("2", "1", "0")}
        << QStringList{"ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("answered before the restart, finished after it")
        << "" << QStringList{"start", "ring a", "answer a"} << QStringList{register_("2", "1", "0"), show(1, 7)}
        << QStringList{"ring a", "answer a", "end a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("a leg filed under its call too, finished before the restart, is not finished again")
        << "failregister" << QStringList{"start", "ring a", "answer a", "end a"}
        << QStringList{register_("2", "1", "0"), register_("2", "7", "0"), show(1, 7), finish(1, 7, 200)}
        << QStringList{"talked a", "finish"}
        << QStringList{register_("2", "1", "0"), register_("2", "7", "0"), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("finished before the restart, its recording uploaded after it")
        << "holdrecording" << QStringList{"start", "ring a", "answer a", "end a"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)} << QStringList{"talked a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), attach(1)};
    QTest::newRow("killed while the activity is updated after the finish: its recording uploaded after the start")
        << "holdactivity" << QStringList{"start", "ring a", "answer a", "end a"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), "POST crm.activity.update id=701"}
        << QStringList{"talked a", "finish"}
        << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200), "POST crm.activity.update id=701",
                       attach(1)};
    const QStringList finished{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("killed while the finish waits for its answer: sent again after the start, then the recording")
        << "holdfinish" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{finish(1, 7, 200), attach(1)};
    const QStringList leadFinished{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                                   finish(1, 7, 200)};
    QTest::newRow("a finish sent again at the start forgets its call: the next call of that id deletes its refused lead")
        << "holdfinish createslead sameid" << QStringList{"start", "ring a", "answer a", "end a"} << leadFinished
        << QStringList{"start", "ring a", "answer a", "end a", "finish"}
        << leadFinished + QStringList{finish(1, 7, 200), attach(1), register_("2", "1", "0"), show(2, 7),
                                      "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(2, 7, 200),
                                      "GET crm.lead.delete ID=31"};
    QTest::newRow("stopped while the finish waits for a renewed token: sent again after the start, then the recording")
        << "holdtoken" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{finish(1, 7, 200), attach(1)};
    QTest::newRow("a card's event kept for two days: given up, not shown after the start")
        << "stalecard" << QStringList{"start", "ring a", "answer a"} << QStringList{register_("2", "1", "0"), show(1, 7)}
        << QStringList{"talked a", "finish"} << QStringList{register_("2", "1", "0"), show(1, 7), finish(1, 7, 200)};
    QTest::newRow("owed in a file of an older version: its owed time kept from the first start on")
        << "holdrecording oldfile" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{attach(1)};
    QTest::newRow("owed at the start: asked for once the PBX link has started, attached once")
        << "holdrecording pbxlate" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{attach(1)};
    QTest::newRow("owed at the start, its look-up fails once: still owed, attached at the next try")
        << "holdrecording sqlerror" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{attach(1)};
    QTest::newRow("killed while the finish waits, owed for two days, the portal away at the start: given up")
        << "holdfinish dayold" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QVector<QString>(6, finish(1, 7, 200)).toList();
    QTest::newRow("killed after a whole call, a start that handles none and a clean stop: the file whole again")
        << "cleanstop" << QStringList{"start", "ring a", "answer a", "end a", "finish"} << finished << QStringList()
        << finished;
    const QStringList transferred{register_("2", "1", "0"), show(1, 7), register_("2", "8", "0"), show(2, 8),
                                  finish(1, 7, 200)};
    QTest::newRow("owed at the start, the portal unavailable for two uploads: still owed, attached at the third")
        << "holdrecording attach503" << QStringList{"start", "ring a", "answer a", "end a"} << finished
        << QStringList{"talked a", "finish"} << finished + QStringList{attach(1), attach(1), attach(1)};
    // The lead the register made holds the first leg's finished activity: it stays, though nothing in this run
    // finished the call.
    const QStringList leadTransferred{register_("2", "1", "0"), show(1, 7), "GET crm.lead.update id=31 fields=ASSIGNED_BY_ID",
                                      register_("2", "8", "0"), "GET crm.lead.update id=31 fields=COMMENTS", show(2, 8),
                                      finish(1, 7, 200)};
    QTest::newRow("a lead made by the register, the first leg of a transfer finished, killed, the next finish refused")
        << "createslead refuseafter" << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a"}
        << leadTransferred << QStringList{"answer b", "end b", "finish"}
        << leadTransferred + QStringList{"GET crm.lead.update id=31 fields=ASSIGNED_BY_ID", finish(2, 8, 200)};
    QTest::newRow("restarted in a blind transfer after the first leg's finish: both legs' recordings attached")
        << "liveleg" << QStringList{"start", "ring a", "answer a", "transfer", "ring b", "end a"} << transferred
        << QStringList{"answer b", "end b", "finish"}
        << transferred + QStringList{finish(2, 8, 200), attach(2), attach(1)};
}

void tst_ApiRestart::registrationSurvivesRestart()
{
    QFETCH(QString, portal);
    QFETCH(QStringList, before);
    QFETCH(QStringList, writesBefore);
    QFETCH(QStringList, after);
    QFETCH(QStringList, writes);

    ApiHarness harness;
    QVERIFY(harness.setUp());
    CrmPortalModel model(harness.portal);
    model.failRegisters = portal.contains("failregister") ? 1 : 0;
    model.knownContact = portal.contains("contact");
    model.registerCreatesLead = portal.contains("createslead");
    model.hangRegisters = portal.contains(QRegularExpression("reassigned|hostahead|hostbehind")) ? 1 : 0;
    model.hangFinishes = portal.contains("holdfinish") ? 1 : 0;
    if (portal.contains("holdtoken")) { // the finish finds its token expired, and the renewal is never answered
        harness.portal.pushRestReply("telephony.externalcall.finish", Orvix::Tests::FakeCrmReply::expiredToken());
        harness.portal.pushReply("/oauth/token/", Orvix::Tests::FakeCrmReply::silent());
    }
    // Held: the service is killed between the finish and the upload, or before the finish's answer.
    QString recording = portal.contains("hold") ? "-" : portal.contains("liveleg") ? harness.dir.filePath("call.wav") : "";
    // What the PBX link answers before its start, after a failed query, and for a leg of a call still up.
    const auto pbxStarted = QSharedPointer<bool>::create(true);
    const auto sqlErrors = QSharedPointer<int>::create(0);
    const auto callUp = QSharedPointer<bool>::create(portal.contains("liveleg"));
    // The PBX link has read no row yet: its time is not known.
    const auto pbxTimeKnown = QSharedPointer<bool>::create(!portal.contains("hostbehind"));
    if (portal.contains("hostbehind"))
        Orvix::Entities::Clock::setSource([] { return QDateTime::currentDateTime().addDays(-2); });
    const auto answerHooks = [&, pbxStarted, sqlErrors, callUp, pbxTimeKnown](API *api) {
        // The PBX keeps the real time, whatever this host's clock says.
        api->setPbxClock([pbxTimeKnown] { return *pbxTimeKnown ? QDateTime::currentDateTime() : QDateTime(); });
        connect(api, &API::conversationRecordingPathRequest, this,
                [pbxStarted, sqlErrors, callUp](const QString &, const QString &, const QString &to,
                                                Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> path) {
                    using Orvix::Entities::RecordingFailure;
                    if (!*pbxStarted)
                        path.reject(RecordingFailure::failed(QStringLiteral("the PBX link has not started")));
                    else if (*sqlErrors > 0 && (*sqlErrors)-- > 0)
                        path.reject(RecordingFailure::failed(QStringLiteral("Lost connection to the database")));
                    else if (*callUp && to == "101")
                        path.reject(RecordingFailure::failed(QStringLiteral("the call is still up")));
                });
        answerHooksUnchanged(api, this, &recording);
    };
    if (portal.contains("holdactivity")) { // the hook changes the activity; the portal never answers that
        harness.portal.pushRestReply("crm.activity.update", Orvix::Tests::FakeCrmReply::silent());
        connect(harness.api.get(), &API::activityFieldsCustomizationRequest, this,
                [](const QJsonObject &, Orvix::Utils::Promise<QJsonObject, QString> fields) {
                    fields.resolve(QJsonObject{{"DESCRIPTION", "Talked about the order"}});
                });
    }
    answerHooks(harness.api.get());
    harness.api->start(false);
    CallDriver first(*harness.api, true);
    for (const QString &step : before)
        first.step(step);
    QTRY_COMPARE(model.writes(), writesBefore);
    QFile state(harness.api->registrationsFilePath());
    const auto savedState = [&state]() { return savedRegistrations(state.fileName()); };
    const auto finishing = [&savedState]() {
        int count = 0;
        for (const QJsonValue &entry : savedState().value("registrations").toArray())
            count += entry.toObject().contains("finishing") ? 1 : 0;
        return count;
    };
    const bool keptEvents = portal.contains(QRegularExpression("reassigned|hostahead|hostbehind"));
    if (keptEvents) { // in the CRM before the start; the PBX link has saved its state
        if (portal.contains("reassigned"))
            model.contactOwner = "8";
        harness.api->keepEventsUpTo(1);
    } else if (recording != "-") {
        QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
    } else {
        // The upload owed; the finish answered, or on its way and on disk to be sent again.
        QTRY_COMPARE(savedState().value("uploads").toArray().size(), 1);
        QTRY_COMPARE(finishing(), portal.contains(QRegularExpression("holdfinish|holdtoken")) ? 1 : 0);
        if (portal.contains("holdtoken"))
            QTRY_COMPARE(harness.portal.requests("/oauth/token/").size(), 1);
        recording = harness.dir.filePath("call.wav");
    }
    QFile file(harness.dir.filePath("call.wav"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("RIFF....WAVEfmt ");
    file.close();

    // The service stops and starts again; the PBX link goes on with the call from its saved state, past the
    // events the steps before handed over (the steps after replay what it reads then).
    harness.api.reset();
    *pbxTimeKnown = true;
    Orvix::Entities::Clock::setSource({});
    if (!keptEvents)
        QFile::remove(harness.generatedDirectory() + "/crm_events.json");
    if (portal.contains("hostahead"))
        Orvix::Entities::Clock::setSource([] { return QDateTime::currentDateTime().addSecs(25 * 3600); });
    if (portal.contains("stalecard")) {
        Conversation leg("1700000000.2", "1700000000.2", kCallId);
        leg.setFrom(CrmPortalModel::kCallerNumber, false);
        leg.setTo("101", true);
        leg.setState(CallStatus::Ringing, QDateTime::currentDateTime());
        const QJsonObject event{{"kind", "conversation_requested"}, {"call", kCallId}, {"row", 0},
                                {"at", QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODate)},
                                {"data", leg.toJson()}};
        QFile kept(harness.generatedDirectory() + "/crm_events.json");
        QVERIFY(kept.open(QIODevice::WriteOnly));
        kept.write(QJsonDocument(QJsonObject{{"position", 0}, {"events", QJsonArray{event}}}).toJson());
    }
    // As an older version wrote it, without the time it was owed since nor what the call's work read of it; or
    // owed for two days.
    if (portal.contains(QRegularExpression("oldfile|dayold"))) {
        QJsonObject old = savedState();
        if (portal.contains("oldfile"))
            old.remove("calls");
        QJsonArray uploads;
        for (const QJsonValue &upload : old.value("uploads").toArray()) {
            QJsonObject written{{"CALL_ID", upload["CALL_ID"]}, {"conversation", upload["conversation"]}};
            if (portal.contains("dayold"))
                written.insert("owed_since", QDateTime::currentDateTimeUtc().addDays(-2).toString(Qt::ISODate));
            uploads.append(written);
        }
        old.insert("uploads", uploads);
        QVERIFY(state.open(QIODevice::WriteOnly));
        state.write(QJsonDocument(old).toJson());
        state.close();
    }
    harness.api = std::make_unique<API>(nullptr, Orvix::Config::Manager(), harness.http);
    harness.api->connector().setTokenBaseDirectory(harness.dir.path());
    harness.api->setGeneratedDirectory(harness.generatedDirectory());
    harness.api->setRecordingRetryPause(std::chrono::milliseconds(10));
    harness.api->connector().setRateLimitBackoff(std::chrono::milliseconds(5));
    answerHooks(harness.api.get());
    *pbxStarted = !portal.contains("pbxlate");
    *sqlErrors = portal.contains("sqlerror") ? 1 : 0;
    for (int i = portal.contains("attach503") ? 2 : 0; i > 0; --i) // refused before it was taken
        harness.portal.pushRestReply("telephony.externalcall.attachRecord",
                                     Orvix::Tests::FakeCrmReply::error(503, "SERVICE_UNAVAILABLE", "x"));
    for (int i = portal.contains("dayold") ? 6 : 0; i > 0; --i) // every try of the finish sent again
        harness.portal.pushRestReply("telephony.externalcall.finish",
                                     Orvix::Tests::FakeCrmReply::error(503, "SERVICE_UNAVAILABLE", "x"));
    harness.api->start(false);
    // The time each recording is owed since is on disk from the start on: a day from then it is given up.
    for (const QJsonValue &upload : savedState().value("uploads").toArray())
        QVERIFY(QDateTime::fromString(upload["owed_since"].toString(), Qt::ISODate).isValid());
    *pbxStarted = true;
    harness.api->attachOwedRecordings(); // the PBX link has started
    CallDriver second(*harness.api, true);
    if (portal.contains("refuseafter"))
        model.failFinishes = 1;
    if (portal.contains("sameid")) { // once the finish sent again is done; the next call's finish is refused
        QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
        model.failFinishes = 1;
    }
    for (const QString &step : after) {
        if (step == "finish") { // the call ends once its other events were handled
            QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
            *callUp = false;
        }
        second.step(step);
    }
    QTRY_COMPARE_WITH_TIMEOUT(model.writes(), writes, kScenarioTimeoutMsec);
    QTRY_VERIFY_WITH_TIMEOUT(harness.api->taskQueue().size() == 0 && !harness.api->taskQueue().isBusy(), 30000);
    // What the call's end sends after its task (a lead deleted) is in the writes as well.
    QTRY_VERIFY(harness.api->connector().pendingRequests() == 0 && !harness.api->connector().isBusy());
    QCOMPARE(model.writes(), writes);

    // Finished: nothing is left to restore, once the last upload's answer is in.
    QTRY_COMPARE(savedState().value("uploads").toArray().size(), 0);
    QCOMPARE(savedState().value("registrations").toArray().size(), 0);
    if (portal.contains("cleanstop")) { // the killed run's records, then the one line the last release reads
        QVERIFY(state.open(QIODevice::ReadOnly));
        QVERIFY(state.readAll().count('\n') > 1);
        state.close();
        auto stopped = QSharedPointer<bool>::create(false);
        harness.api->shutDown(std::chrono::milliseconds(1000)).onResolve([stopped]() { *stopped = true; });
        QTRY_VERIFY(*stopped);
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QByteArray whole = state.readAll();
        QCOMPARE(whole.count('\n'), 1);
        QVERIFY(QJsonDocument::fromJson(whole).isObject());
    }
}

QTEST_GUILESS_MAIN(tst_ApiRestart)
#include "tst_apirestart.moc"
