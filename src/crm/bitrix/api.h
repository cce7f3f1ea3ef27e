#pragma once

#include "config/manager.h"
#include "crm/bitrix/callregistration.h"
#include "crm/bitrix/clientc2c.h"
#include "crm/bitrix/connector.h"
#include "crm/bitrix/eventjournal.h"
#include "crm/bitrix/lookupfailure.h"
#include "crm/bitrix/registrationfailedreason.h"
#include "crm/bitrix/registrationledger.h"
#include "crm/bitrix/rememberedcalls.h"
#include "crm/bitrix/taskqueue.h"
#include "crm/entity.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/legoutlook.h"
#include "entities/recordingfailure.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

namespace Orvix::HttpClient {
class HttpClient;
}

namespace Orvix::CRM::Bitrix {

// The CRM side of the service as the App sees it: starts the CRM connector with the configured
// settings, binds the CRM's click-to-call events to our server or to the relay, keeps the portal's
// external lines in step with the trunks, and turns every PBX call event into one task of its queue
// (registration, call cards, finish, recording, final updates). The open registrations are saved
// beside the PBX link's state, so a call that outlives a restart of the service is still finished
// once. Main thread only; owned by the App; owns the connector and the relay client.
class API : public QObject
{
    Q_OBJECT

public:
    API(QObject *parent, Config::Manager config, const QSharedPointer<HttpClient::HttpClient> &client);
    ~API() override;

    // Returns at once: a normal start ends with started(), a clean one with unbindEnded().
    void start(bool clean);
    // Stops the connector (its token dropped) and the relay poll; queued tasks stay and keep running.
    void stop();

    // Where the saved registrations live: by default "generated" plus the App setting generated_postfix
    // beside the executable, like the PBX link's state. A non-empty path replaces the directory.
    void setGeneratedDirectory(const QString &path);
    QString registrationsFilePath() const;

    Connector &connector() { return m_connector; }
    ClientC2C &relayClient() { return m_relayClient; }
    TaskQueue &taskQueue() { return m_taskQueue; }

    // Call events of the PBX link; each becomes one queued task, kept (see keptEventsFilePath) until it is
    // done. `row`: the CEL row that made the event, 0 when none did; an event of a row the kept events cover
    // already (the PBX link read it again after a stop) is dropped.
    void callStarted(const Entities::Call &call, const Utils::MsgBuilder &trace, qint64 row = 0);
    void conversationRequested(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace,
                               qint64 row = 0);
    void conversationAccepted(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace,
                              qint64 row = 0);
    void conversationEnded(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace,
                           qint64 row = 0);
    void callEnded(const Entities::Call &call, const Utils::MsgBuilder &trace, qint64 row = 0);
    void callTransferred(const QString &callId, const Utils::MsgBuilder &trace, qint64 row = 0);
    // The call events not done yet, with the CEL position their events cover, beside the registrations.
    QString keptEventsFilePath() const;
    // A debug run over chosen CEL rows (an events query of the command line): its events are done as they
    // come, none is taken for one read again, and the kept events' file is neither read nor written.
    void setDebugReplay(bool on) { m_journal.setDebugReplay(on); }
    // The time on the PBX's clock as its link keeps it (invalid while it does not know it): every age of a call
    // or of its work is taken on it, since this host's clock may be hours off the PBX's, or set while the
    // service was down. Without it, this host's clock.
    void setPbxClock(std::function<QDateTime()> now) { m_pbxClock = std::move(now); }
    // The end of a clean run, once the portal's handlers are unbound: it forgets the PBX link's calls, so
    // their saved registrations, owed recordings and kept events are emptied with the PBX link's state.
    void discardSavedWork();
    // A stop of the service: nothing new starts, the requests on their way get up to `wait` for their
    // answers, then the kept events are written. Resolves then; the work left goes again at the next start.
    Utils::Promise<void> shutDown(std::chrono::milliseconds wait);
    void enqueueTask(const Utils::MsgBuilder &trace, TaskQueue::Function function);

    // Asked when a call card's turn comes: what the PBX link knows of its leg then. Unset, the cards of calls
    // whose end was handed over are skipped, every other card goes.
    using LegProbe = std::function<Entities::LegOutlook(const Entities::Conversation &leg)>;
    void setLegProbe(LegProbe probe) { m_legProbe = std::move(probe); }

    // Click-to-calls of the CRM and analytics data handed in by the actions.
    void rememberCall(const QString &phone, const QJsonObject &event);
    bool hasRememberedCall(const QString &phone);
    CallRegistration findRememberedCall(const QString &phone) const;
    void setRoistatData(const QString &callId, const QJsonObject &data);
    bool wasEntityCreated(const QString &id, const Utils::MsgBuilder &trace) const;
    bool wasTransferred(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace) const;

    // Requests of the App's clients, passed to the connector. Refused at once with why while the link waits
    // for its restart (a request queued until then would be done after its client was told it failed); a
    // failure says why in words.
    Utils::Promise<QJsonArray, QString> getSourceList();
    Utils::Promise<QJsonArray, QString> getUserList(const QJsonObject &filter);
    Utils::Promise<void, QString> updateExternalLine(const QString &number, const QString &name);
    Utils::Promise<QJsonArray, QString> getExternalLines();
    void sendAnyRequest(const QString &method, const QJsonObject &params, const QString &httpMethod,
                        Utils::Promise<QJsonValue, QString> promise);
    Utils::Promise<Entity> getUser(int userId);
    // Lookups of the public routes: at most kMaxWaitingLookups of them wait in the CRM queue at once,
    // so a client that loops on them never holds up the calls; one more is refused with Busy at once.
    static constexpr int kMaxWaitingLookups = 10;
    Utils::Promise<QString, LookupFailure> getResponsibleForPhone(const QString &phone);
    Utils::Promise<QJsonObject, LookupFailure> getResponsibleData(const QString &phone);

    // Attaches the recordings still owed by a previous run of the service: called once the PBX link has
    // started and can say where they are. Those this run has in hand already are left alone, so a
    // restart of the links sends nothing twice; but those waiting for their next try are asked for now.
    void attachOwedRecordings();
    // The first pause before an owed recording the PBX could not give yet is asked for again (1 min by
    // default); it doubles up to an hour, and the recording is given up a day after it was owed.
    void setRecordingRetryPause(std::chrono::milliseconds pause) { m_recordingRetryPause = pause; }
    // How long a lookup of the public routes waits for the portal before it answers that it cannot be
    // reached (4 s by default).
    void setLookupDeadline(std::chrono::milliseconds deadline) { m_lookupDeadline = deadline; }

    // Where the service's own server listens, as the App opened it at the service's start. The click-to-call
    // handlers and the recording links name it where address_ext and address_int leave it to them: the saved
    // listen settings take effect only at the next start, so the server is not there yet. Unset, the saved
    // settings are named.
    void setOwnServer(const QString &host, int port, int securePort, bool useHttp);
    // The base URL the CRM calls back for click-to-call events.
    QString serverUrl(bool useRelay) const;
    // The link to a conversation's recording on our own server, written into its activity when the
    // recordings are not stored in the CRM.
    QString recordingUrl(const Entities::Conversation &conversation) const;

public Q_SLOTS:
    void onBitrixConnectorStart();
    // The PBX link is about to save its state at this CEL position: every event up to it was handed over,
    // and the kept events are written first. False when they could not be: the PBX link keeps its saved
    // position until they are.
    bool keepEventsUpTo(qint64 position);
    void executeNextTask();
    void onConnectionLost();
    void onNewEntityCreated(const QString &id);

Q_SIGNALS:
    void started();
    void entityFound(const QString &phone, const Orvix::CRM::Entity &entity);
    void phoneCustomizationRequest(const QString &phone, Orvix::Utils::Promise<QString, QString> promise);
    void searchParamsCustomizationRequest(const QJsonObject &params,
                                          Orvix::Utils::Promise<QJsonObject, QString> promise);
    void finalParamsCustomizationRequest(const QJsonObject &params,
                                         Orvix::Utils::Promise<QJsonObject, QString> promise);
    void createEntityCustomizationRequest(const QJsonObject &fields,
                                          Orvix::Utils::Promise<QJsonObject, QString> promise);
    void taskAddCustomizationRequest(const QJsonObject &fields, Orvix::Utils::Promise<QJsonObject, QString> promise);
    void leadFieldsCustomizationRequest(const QJsonObject &call, Orvix::Utils::Promise<QJsonObject, QString> fields);
    void activityFieldsCustomizationRequest(const QJsonObject &conversation,
                                            Orvix::Utils::Promise<QJsonObject, QString> fields);
    void findCompanyInDoubleGisRequest(const QStringList &phones, Orvix::Utils::Promise<Orvix::CRM::Entity> result);
    // Rejected with why: a recording that is missing is not asked for again, one that failed is.
    void conversationRecordingPathRequest(const QString &callId, const QString &from, const QString &to,
                                          Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> path);
    void unbindEnded();
    void connectionLost(const QString &reason);
    void externalCallStartRequest(int userId, const QString &phone, const QString &lineNumber,
                                  const QJsonObject &event);
    void externalCallBackStartRequest(const QString &phone, const QString &lineNumber);
    void getLocales(Orvix::Utils::Promise<QJsonObject> promise);
    void getLocale(const QString &name, Orvix::Utils::Promise<QJsonObject> promise);
    void saveLocale(const QString &name, const QJsonObject &dictionary, Orvix::Utils::Promise<QString> promise);
    void deleteLocale(const QString &name, Orvix::Utils::Promise<void> promise);
    void localeChanged(const QString &locale);

private:
    template <typename T>
    Utils::Promise<T, QString> forClient(const std::function<Utils::Promise<T>()> &work);
    using Registration = Utils::Promise<CallRegistration, RegistrationFailedReason>;

    void readSettings();
    void unbindAll();
    // The handler of one of the portal's events: the relay's route, or our own with the event key.
    void bindEvent(const QString &event, const QString &route, const QString &relayRoute, bool useRelay);
    QString eventHandlerUrl(const QString &route) const;
    void unbindStaleHandlers(const QString &event, const QString &route, bool useRelay);
    void addExternalLines();
    void loadSavedRegistrations();
    QString ownServerAddress(const QString &host) const;

    // Stages, each the body of one task.
    // `sequence`: the kept event the stage is the work of (see registerMemo).
    Utils::Promise<void> onCallStartedTask(const Entities::Call &call, const Utils::MsgBuilder &trace,
                                           quint64 sequence);
    Utils::Promise<void> onConversationRequestedTask(const Entities::Conversation &conversation,
                                                     const Utils::MsgBuilder &trace, quint64 sequence);
    Utils::Promise<void> onConversationAcceptedTask(const Entities::Conversation &conversation,
                                                    const Utils::MsgBuilder &trace);
    Utils::Promise<void> onConversationEndedTask(const Entities::Conversation &conversation,
                                                 const Utils::MsgBuilder &trace);
    Utils::Promise<void> onCallEndedTask(const Entities::Call &call, const Utils::MsgBuilder &trace, quint64 sequence);
    Utils::Promise<void> onCallTransferredTask(const QString &callId, const Utils::MsgBuilder &trace);

    Registration registerCallStart(const Entities::Call &call, const Entity &responsible,
                                   const Utils::MsgBuilder &trace, quint64 sequence);
    Registration registerConversationStart(const Entities::Conversation &conversation, const Entity &responsible,
                                           const Utils::MsgBuilder &trace, quint64 sequence);
    Registration registerTransferredConversationStart(const Entities::Conversation &conversation,
                                                      const Entity &responsible, const Utils::MsgBuilder &trace,
                                                      quint64 sequence);
    void onRegistered(const QString &key, const QString &callId, const CallRegistration &registration,
                      const QString &externalNumber, const Utils::MsgBuilder &trace, bool commentLead);
    void updateLeadFromDoubleGis(const CallRegistration &registration, const QString &phone,
                                 const Utils::MsgBuilder &trace);
    Registration findRegistration(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace);
    Utils::Promise<void> showCallCard(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace);
    Utils::Promise<void> showCallCardIfRecent(const QString &crmCallId, const Entities::Conversation &conversation,
                                              const Utils::MsgBuilder &trace);
    Utils::Promise<void> hideCallCard(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace);
    // Whether the card of the leg goes when its turn comes in the connector's queue.
    Connector::SendGuard cardGuard(const Entities::Conversation &conversation, const Utils::MsgBuilder &trace);
    // The registration goes under key too (a leg, or the call), and leaves it should it be refused.
    void fileRegistration(const QString &key, const QString &callId, const Registration &registration);

    Utils::Promise<int> registerConversationEnd(const QString &key, const Entities::Conversation &conversation,
                                                const Utils::MsgBuilder &trace);
    void finishRegistration(const QString &key, const CallRegistration &registration,
                            const Entities::Conversation &conversation, const Utils::MsgBuilder &trace,
                            Utils::Promise<int> result);
    // A finish that did not reach the portal: kept on disk with its recording, and sent again at the next
    // start of the link. One owed for more than a day is given up (abandoned with the failed finish).
    void keepFinish(const QString &callId, const QString &crmCallId, const Utils::MsgBuilder &trace);
    // A finish whose answer a stop cut off, or kept: it goes again as a task.
    void resendOwedFinish(const QString &key, const RegistrationStore::Entry &entry);
    // The employee of the extension; rejects when there is none or the look-up failed.
    Utils::Promise<Entity> findFinishingUser(const QString &phone, const Utils::MsgBuilder &trace);
    void sendFinish(const CallRegistration &registration, int userId, const Entities::Conversation &conversation,
                    const Utils::MsgBuilder &trace, Utils::Promise<int> result);
    Utils::Promise<void> customUpdateActivity(int activityId, const Entities::Conversation &conversation,
                                              const Utils::MsgBuilder &trace);
    // Asks for the recording's file and uploads it, or links it; settles once the file was asked for and
    // the upload had its first try. What became of it is dealt with here: attached, missing or refused, it
    // is forgotten; with deferIfMissing, a file not given is asked for again at the call's end, when the PBX
    // has written the record that names it; one the PBX could not give yet is asked for again later.
    Utils::Promise<void> sendRecording(const RegistrationStore::Upload &upload, const Utils::MsgBuilder &trace,
                                       bool deferIfMissing);
    // One upload of the file; a portal that may have taken it without a word gets it once more, behind the
    // calls' work; one that it never reached, or left unanswered twice, stays owed and goes later.
    Utils::Promise<void> uploadRecording(const RegistrationStore::Upload &upload, const QString &file,
                                         const Utils::MsgBuilder &trace, bool resent);
    void recordingNotGiven(const RegistrationStore::Upload &upload, const Entities::RecordingFailure &failure,
                           const Utils::MsgBuilder &trace, bool deferIfMissing);
    // Asks again after a pause that grows at each try, and at the call's end if the call is still up.
    void retryRecording(const RegistrationStore::Upload &upload, const Utils::MsgBuilder &trace,
                        const QString &reason);
    // Attached or given up: no longer owed, nor tried again.
    void forgetRecording(const QString &crmCallId);
    Utils::Promise<void> attachMissingRecordings(const QString &callId, const Utils::MsgBuilder &trace);

    Utils::Promise<int> registerCallEnd(const Entities::Call &call, const Utils::MsgBuilder &trace);
    void updateAndClearAll(const Entities::Call &call, const Utils::MsgBuilder &trace);
    Utils::Promise<void> customUpdateLead(const Entities::Call &call, const Utils::MsgBuilder &trace);
    void clearCallData(const Entities::Call &call, const Utils::MsgBuilder &trace);

    // Writes to the entity a registration is bound to, chosen by its type; nothing for ids below 1.
    Utils::Promise<void> updateBoundEntity(const CallRegistration &registration, const QJsonObject &fields,
                                           const Utils::MsgBuilder &trace);
    void deleteBoundEntity(const CallRegistration &registration, const Utils::MsgBuilder &trace);
    // Rejects with Busy, asking nothing, while kMaxWaitingLookups lookups are under way.
    Utils::Promise<Entity, LookupFailure> loadResponsible(const QString &phone);

    // The pending registration under key is gone: so is its saved copy.
    void dropPending(const QString &key);

    // The PBX's time now (see setPbxClock); before its link knows it, the newest the kept events hold, which it
    // is no earlier than; invalid when nothing tells it.
    QDateTime pbxNow() const;
    // Whole seconds from `at` to the PBX's time now; 0 when either is not known.
    qint64 ageSecs(const QDateTime &at) const;
    // How long the event's work, or the recording, has waited: for those of this run on the monotonic clock,
    // since the PBX's time is days behind while its link reads a backlog after a long stop; for those a
    // previous run left, on the PBX's clock.
    qint64 keptSecs(const KeptEvents::Event &event) const;
    qint64 owedSecs(const RegistrationStore::Upload &upload) const;
    // Changes the facts of a call (or a leg) kept beside its registrations; saved with the kept events' next
    // write (at the latest a second after the event that changed them is done), before it marks them done.
    void changeFacts(const QString &id, const std::function<void(RegistrationLedger::CallFacts &)> &change);

    // Kept call events (api_kept.cpp).
    using EventWork = std::function<Utils::Promise<void>(const Utils::MsgBuilder &, quint64 sequence)>;
    void keepEvent(KeptEvents::Kind kind, const QString &callId, qint64 row, const QJsonObject &data,
                   const Utils::MsgBuilder &trace, EventWork work);
    Utils::Promise<void> eventBody(const KeptEvents::Event &event, const Utils::MsgBuilder &trace);
    // The register of the kept event `sequence` of call callId: sent again as the event keeps it, or kept with
    // the event (on disk) before it is sent, with whether the record it binds was added for the call.
    Connector::RegisterMemo registerMemo(quint64 sequence, const QString &callId);
    // Whether the conversation's call was transferred, as the stage of the kept event `sequence` read it when it
    // first ran: a later event of the call may have changed it since, and be on disk.
    bool wasTransferredWhenKept(quint64 sequence, const Entities::Conversation &conversation,
                                const Utils::MsgBuilder &trace);
    // Runs the event once the link to the CRM runs, after the events of its call cut short by a stop.
    Utils::Promise<void> runKeptEvent(quint64 sequence, const Utils::MsgBuilder &trace);
    Utils::Promise<void> runCallEvents(const QString &callId, quint64 upTo);
    Utils::Promise<void> runInOrder(QList<quint64> sequences, quint64 last, bool lastFailed);
    // Done, or cut short when the link is stopped and the stop refused or held back a request of its work.
    void eventSettled(quint64 sequence, quint64 refusalsBefore);
    // Its work done or given up: it leaves the file with the next write.
    void dropKept(quint64 sequence);
    void loadKeptEvents();
    // At a start: what waited for it goes, and the events cut short go again first of their calls.
    void resumeKeptEvents();
    void useKeptEventsFile();

    Config::Manager m_config;

    bool m_clean = false;
    bool m_noLeadMode = false;
    bool m_createContactsForIncoming = false;
    bool m_createContactsForOutgoing = false;
    bool m_createDealsForIncoming = false;
    bool m_createDealsForOutgoing = false;
    bool m_createLeadsForIncoming = false;
    bool m_createLeadsForOutgoing = false;
    bool m_createNewActivityAtTransfer = true;
    bool m_createTaskForUnanswered = false;
    bool m_postLeadInfoToChat = false;
    bool m_storeRecordingsInCrm = true;
    QString m_listenHost;
    QString m_addressExt;
    QString m_addressInt;
    int m_listenPort = 0;
    int m_listenPortSecure = 0;
    bool m_useHttp = true;
    struct OwnServer
    {
        QString host;
        int port = 0;
        int securePort = 0;
        bool useHttp = true;
    };
    std::optional<OwnServer> m_ownServer;

    Connector m_connector;
    ClientC2C m_relayClient;

    QHash<QString, Registration> m_pendingRegistrations;
    RememberedCalls m_rememberedCalls;
    // Calls for which the connector added a record while building a registration whose answer is due:
    // that registration made its entity, the later ones of the call did not.
    QSet<QString> m_newEntityCalls;
    QHash<QString, QJsonObject> m_roistatData;
    int m_waitingLookups = 0;

    QString m_generatedDirectory;
    RegistrationLedger m_ledger;
    // Per PBX call, by CRM call id: the finished registrations whose recording was not found yet.
    QHash<QString, QHash<QString, RegistrationStore::Upload>> m_missingRecordings;
    // The PBX link has started once (attachOwedRecordings): it can say where a recording is.
    bool m_pbxStarted = false;
    // Per owed recording waiting for its next try: the ticket of the timer that will ask, and the tries so far.
    QHash<QString, quint64> m_recordingRetries;
    QHash<QString, int> m_recordingTries;
    quint64 m_lastRetryTicket = 0;
    std::chrono::milliseconds m_recordingRetryPause{60000};
    std::chrono::milliseconds m_lookupDeadline{4000};
    // Calls whose end is being processed: a recording not found now will not be found later.
    QSet<QString> m_endingCalls;
    // Calls whose end the PBX reported, until it has been processed: a card shown now would come too late.
    QSet<QString> m_endedCalls;
    LegProbe m_legProbe;
    // Calls with a finish that failed: their summary says so.
    QSet<QString> m_unfinishedCalls;

    std::function<QDateTime()> m_pbxClock;

    EventJournal m_journal;
    // The work of the events handed over in this run, and since when.
    struct HandedOver
    {
        EventWork work;
        QElapsedTimer since;
    };
    QHash<quint64, HandedOver> m_eventWork;
    QList<std::function<void()>> m_heldForStart;
    bool m_shuttingDown = false;

    TaskQueue m_taskQueue;
};

} // namespace Orvix::CRM::Bitrix
