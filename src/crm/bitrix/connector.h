#pragma once

#include "crm/bitrix/activity.h"
#include "crm/bitrix/callregistration.h"
#include "crm/bitrix/registrationfailedreason.h"
#include "crm/bitrix/requestfailure.h"
#include "crm/entity.h"
#include "entities/entities.h"
#include "httpclient/request.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkReply>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <type_traits>

class QTimer;

namespace Orvix::Entities {
class Call;
class Conversation;
} // namespace Orvix::Entities

namespace Orvix::HttpClient {
class HttpClient;
class Response;
} // namespace Orvix::HttpClient

namespace Orvix::CRM::Bitrix {

class Auth;
class LocalesHandler;

// True when a has more characters than b: the order of the phone prefixes, longest first.
bool longer(const QString &a, const QString &b);

// Client of the CRM portal's REST interface. Every request goes through one queue: run() only queues it,
// and a timer starts one queued request per tick. The requests of one call (the id of their trace) go one
// after the other, in queue order; those of different calls go side by side, a few at most, so one that
// the portal is slow to answer holds no other call. Recording uploads have a lane of their own, one at a
// time, and read their file only when their turn comes. Credentials are added just before sending. Main
// thread only; owned by value by the CRM call flow, or by the CRM check.
class Connector : public QObject
{
    Q_OBJECT

public:
    Connector(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client);
    ~Connector() override;

    void setBusinessLogicSettings(const QMap<QString, QString> &trunkToSource, const QList<int> &fallbackUsers);
    void setUseExternalLines(bool use);

    // Where the "generated" directory of the token file lives; empty (the default) means beside the
    // executable. Takes effect at the next start.
    void setTokenBaseDirectory(const QString &directory);
    // The token file of the last start (or of the next, before any).
    QString tokenFilePath() const;
    // Transfer time-out of every REST and OAuth request (15 s by default): the time without a byte moving,
    // so a large upload that still moves is never cut. Takes effect at the next start.
    void setRequestTimeout(std::chrono::milliseconds timeout);
    // First pause before a request refused by the portal's rate limit goes again (1 s by default); the
    // pause doubles at each refusal up to 30 times this, and is back to it after a success. A server error
    // or a lost answer waits this long before the first of its further tries (5 after server errors, 2
    // after lost answers), twice as long before each next.
    void setRateLimitBackoff(std::chrono::milliseconds base);
    std::chrono::milliseconds retryPause() const { return m_rateLimitBackoff; }

    void start(const QString &host, int userId, const QString &login, const QString &password,
               const QString &generatedPostfix, const QString &locale, bool noLeadMode,
               int executionLoopIntervalMsec, int cacheStorageTimeMin);
    void startForCheck(const QString &host, int userId, const QString &login, const QString &password,
                       const QString &generatedPostfix, int executionLoopIntervalMsec);
    void stop(bool resetToken);
    bool isStarted() const { return m_auth != nullptr; }

    // Queues one REST request; resolves with its "result" (for "batch": the per-command results),
    // rejects without reason when it fails. Nothing is sent before the timer takes it.
    virtual Utils::Promise<QJsonValue> run(const QString &method, QJsonObject params,
                                           HttpClient::Request::Method httpMethod, const Utils::MsgBuilder &msg);
    // The same, rejecting with why.
    Utils::Promise<QJsonValue, RequestFailure> runWithReason(const QString &method, const QJsonObject &params,
                                                             HttpClient::Request::Method httpMethod,
                                                             const Utils::MsgBuilder &msg);
    // A request an administrator or a script wrote: after a lost answer it goes again only when its method
    // reads, since a write of unknown effect may well have been done.
    Utils::Promise<QJsonValue> makeCustomRequest(const QString &method, const QJsonObject &params,
                                                 HttpClient::Request::Method httpMethod);
    // "the CRM portal at <portal> cannot be reached: <why>", the portal named by its scheme, host and port as
    // saved; without a why, the last failure seen.
    QString unreachableReason(const QString &why = QString()) const;
    // Why the last request failed, for a client that asked: unreachableReason(), or "the CRM portal at <portal>
    // answered: <why>" when the portal refused it.
    QString failureReason() const;
    // Why the portal was last seen unreachable, until a request succeeds; empty when it was not.
    QString lastUnreachable() const
    {
        return m_lastFailureKind == RequestFailure::Unreachable ? m_lastFailure : QString();
    }

    // ---- Calls, call cards, recordings, external lines and event bindings ----

    // A register whose answer may never have come goes again as it was first sent: built again, it could
    // bind another record or user, and the portal would open a second CRM call for the same call. With
    // `sent`, those parameters go as they are, nothing searched or added; without, the parameters built are
    // handed to `sending` before the register is queued.
    struct RegisterMemo
    {
        QJsonObject sent;
        std::function<void(const QJsonObject &params)> sending;
    };
    // What a call from a withheld caller (a caller id without digits: anonymous, unknown, empty) is registered
    // under: the portal refuses a number without digits, and no record is searched for or added for this one.
    static inline const QString kWithheldCallerNumber = QStringLiteral("0000000000");
    static bool isWithheldNumber(const QString &number);
    // Registers the call (or one of its conversations) in the CRM's telephony. Rejects with Failed when
    // the call must not be registered or the request fails. A call's "deal_id" parameter is kept on the
    // registration instead of being sent; a conversation sends it.
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    registerCall(bool createEntity, bool createDeal, const Entities::Call &call, const CRM::Entity &user,
                 const Utils::MsgBuilder &msg, const RegisterMemo &memo = {});
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    registerConversation(bool createEntity, bool createDeal, const Entities::Conversation &conversation,
                         const CRM::Entity &user, const Utils::MsgBuilder &msg, const RegisterMemo &memo = {});
    // Closes the CRM call; a user id below 1 means the default user. When the final-parameters
    // customization answers the action "delete", the call's activity is deleted and the promise rejects
    // with ActivityDeleted.
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    finishCall(const QString &callId, int userId, const Entities::Conversation &conversation, bool addToChat,
               const QJsonObject &entityData, const Utils::MsgBuilder &msg);

    // Asked when a request's turn comes in the queue: it goes, waits for a later turn (what it hangs on is not
    // known yet; the other calls' requests go first, its own call's stay behind it), or is not sent at all.
    enum class SendTurn { Send, Wait, Skip };
    using SendGuard = std::function<SendTurn()>;

    // Call cards. A user id below 1 rejects without a request; the portal must answer true. A card its guard
    // skips resolves without a request, and so does its hide: nothing was shown.
    Utils::Promise<void> showCallCard(const QString &callId, int userId, const Utils::MsgBuilder &msg,
                                      const SendGuard &guard = {});
    Utils::Promise<void> hideCallCard(const QString &callId, int userId, const Utils::MsgBuilder &msg);
    // The same for the CRM user whose phone is the given internal number.
    Utils::Promise<void> showCallCard(const QString &callId, const QString &phone, const Utils::MsgBuilder &msg,
                                      const SendGuard &guard = {});
    Utils::Promise<void> hideCallCard(const QString &callId, const QString &phone, const Utils::MsgBuilder &msg);
    // One card request for the users of all these internal numbers.
    Utils::Promise<void> showCallCards(const QString &callId, const QJsonArray &internalNumbers,
                                       const Utils::MsgBuilder &msg);
    // Hides the card from every user it was shown to for this call but the given one.
    void hideCallCardsExcept(const QString &callId, int userId, const Utils::MsgBuilder &msg);
    // Users the call's card is shown to, as far as this connector showed and hid it.
    QSet<int> shownUsers(const QString &callId) const { return m_shownUsers.value(callId); }

    // Uploads the recording file to the CRM call, once: a failed upload is not sent again here. The file is
    // read when the upload's turn comes in its lane, not before. An empty or unreadable file sends nothing
    // and rejects as refused.
    Utils::Promise<void, RequestFailure> attachRecording(const QString &callId, const QString &filePath,
                                                         const Utils::MsgBuilder &msg);
    // Appends a player and a download link for the recording to the activity's description.
    Utils::Promise<void> attachRecordingUrl(int activityId, const QString &url, const Utils::MsgBuilder &msg);
    // The whole file; empty when it is missing or cannot be read.
    static QByteArray readRecordingFile(const QString &filePath);

    // External lines of the portal, number to name.
    Utils::Promise<QHash<QString, QString>> getExternalLines();
    // Sends every batch even when one fails; rejects when any line was not added.
    Utils::Promise<void> addExternalLines(const QStringList &numbers);
    Utils::Promise<void> updateExternalLine(const QString &number, const QString &name);
    // Deletes every line of the portal; resolves with their number, rejects when any was not deleted.
    Utils::Promise<int> deleteExternalLines();

    Utils::Promise<void> subscribeToEvent(const QString &event, const QString &handler);
    // Handler URLs bound to the event (a lower-case name); empty when the portal cannot be asked.
    Utils::Promise<QStringList> getEventHandlers(const QString &event);
    // Unbinds every handler of the event; resolves with the number unbound, 0 when that failed.
    Utils::Promise<int> unbindEventHandlers(const QString &event);
    // The same for these handlers of the event only.
    Utils::Promise<int> unbindEventHandlers(const QString &event, const QStringList &handlers);

    int pendingRequests() const { return m_queuedCount; }
    // A request or an upload is between its start and its outcome.
    bool isBusy() const { return m_inFlight > 0 || m_uploadInFlight; }
    // The requests of the call `key` that ended without an answer while the link was stopped: the work of a
    // call event that saw one more of them was cut short by the stop.
    quint64 stopRefusals(const QString &key) const { return m_stopRefusals.value(key); }
    // The call's work is done: nothing compares its count any more.
    void forgetStopRefusals(const QString &key) { m_stopRefusals.remove(key); }

    // ---- Records, phone numbers, customization, lookups, writes, activities, tasks, portal lists, locales ----

    // Records of "crm.<type>.list" and "user.get" answers. Never fail: a missing or mistyped member gives
    // an empty text or id 0, an empty object an invalid entity.
    static Entity parseLead(const QJsonObject &json, bool linkedLoaded);
    static Entity parseDeal(const QJsonObject &json, bool linkedLoaded);
    static Entity parseContact(const QJsonObject &json, bool linkedLoaded);
    static Entity parseCompany(const QJsonObject &json, bool linkedLoaded);
    static Entity parseUser(const QJsonObject &json, bool linkedLoaded);
    static Entity parseEntity(EntityType type, const QJsonObject &json, bool linkedLoaded);
    // Only leads, contacts and companies may be bound to a registered call.
    static bool isRegistrableEntityType(EntityType type);
    void addEntityToRegistrationParams(QJsonObject &params, const Entity &entity, const Utils::MsgBuilder &msg) const;

    // Phone numbers: the configured dialling prefixes are stripped and added, never anything else.
    void setPhonePrefixes(const QStringList &prefixes);
    QStringList phonePrefixes() const { return m_phonePrefixes; }
    QString phoneWithoutPrefixes(const QString &phone) const;
    QStringList phoneVariants(const QString &phone) const;
    static QString stripLeadingZeros(const QString &phone);
    static QJsonObject makeDuplicateSearchParams(const QStringList &phones);
    static QString makeBatchCommand(const QString &method, const QJsonObject &params);
    static Entity findEntityWithPhones(const QStringList &phones, const QList<Entity> &entities);
    // mode 1: by internal extension (first phone only), 2: by the users' own phones; else {}.
    static QJsonObject makeUserPhoneFilter(const QStringList &phones, int mode);
    // The "user.get" query over a copy of the filter, active users only.
    static QJsonObject makeUserListParams(const QJsonObject &filter);

    // Customization: each emits its request signal and resolves with the answer, or with the value as
    // given when the customizer refuses; the returned promises never reject.
    virtual Utils::Promise<QString> customizePhone(const QString &phone, const Utils::MsgBuilder &msg);
    virtual Utils::Promise<QJsonObject> customizeSearchParams(const QJsonObject &params, const Utils::MsgBuilder &msg);
    virtual Utils::Promise<QJsonObject> customizeFinalParams(const QJsonObject &params, const Utils::MsgBuilder &msg);
    virtual Utils::Promise<QJsonObject> customizeEntityCreationFields(const QJsonObject &fields,
                                                                      const Utils::MsgBuilder &msg);
    Utils::Promise<QJsonObject> customizeTaskFields(const QJsonObject &fields, const Utils::MsgBuilder &msg);

    // Lookups. Every promise settles; a rejection means "not found" (or the request failed).
    // customFilters: lower-case type name -> CRM filter replacing the id filter of that type.
    Utils::Promise<Entity> findEntityByPhone(const QStringList &phones, const QJsonObject &customFilters,
                                             const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> findEntityByPhone(const QString &phone, const QJsonObject &customFilters,
                                             const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> findUserByPhone(const QStringList &phones);
    Utils::Promise<Entity> findUserByPhone(const QString &phone, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> findUserByPhoneCached(const QString &phone, const Utils::MsgBuilder &msg);
    // The same look-ups, rejecting with true when the look-up itself failed (the portal did not answer
    // it) and with false when the number has no employee.
    Utils::Promise<Entity, bool> searchUser(const QString &phone, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity, bool> searchUserCached(const QString &phone, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity, bool> searchByPhone(const QStringList &phones, const QJsonObject &customFilters,
                                               const Utils::MsgBuilder &msg);
    // Rejects with true when the request failed, with false when nothing matched.
    Utils::Promise<Entity, bool> listEntities(const QJsonObject &foundIds, const QJsonObject &customFilters,
                                              const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> getUser(int id);
    Utils::Promise<QList<Entity>> findEntities(EntityType type, QJsonObject filter, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> getEntity(EntityType type, int id, bool withLinked, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> getLead(int id, bool withLinked, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> getContact(int id, bool withLinked, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> getCompany(int id, bool withLinked, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> loadEntityConnectedEntities(const Entity &entity);
    // How long a user found by phone is remembered; 0 switches the cache off. Set by start() too.
    void setCacheStorageTime(int minutes) { m_cacheStorageTimeMin = minutes; }
    int cachedUsers() const { return m_userCache.size(); }

    // Record writes; adds and updates resolve with the record read back from the CRM.
    Utils::Promise<Entity> addEntity(EntityType type, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> addLeadEntity(const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> addDealEntity(const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> addContactEntity(const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> updateEntity(EntityType type, int id, const QJsonObject &fields,
                                        const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> updateLead(int id, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> updateContact(int id, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> updateDeal(int id, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    void deleteEntity(EntityType type, int id, const Utils::MsgBuilder &msg);
    void deleteLead(int id, const Utils::MsgBuilder &msg);
    void deleteContact(int id, const Utils::MsgBuilder &msg);
    void deleteDeal(int id, const Utils::MsgBuilder &msg);

    // New records for numbers the CRM does not know: fields built, customized, then added.
    Utils::Promise<QJsonObject> makeLeadCreationFields(const QString &phone, Entities::CallType type,
                                                       const QString &source, int responsibleId,
                                                       const Utils::MsgBuilder &msg);
    Utils::Promise<QJsonObject> makeContactCreationFields(const QString &phone, const QString &source,
                                                          int responsibleId, const Utils::MsgBuilder &msg);
    Utils::Promise<QJsonObject> makeDealCreationFields(const QString &phone, Entities::CallType type,
                                                       const QString &source, int contactId, int responsibleId,
                                                       const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> createLead(const QString &phone, Entities::CallType type, const QString &source,
                                      int responsibleId, const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> createContact(const QString &phone, const QString &source, int responsibleId,
                                         const Utils::MsgBuilder &msg);
    Utils::Promise<Entity> createDeal(const QString &phone, Entities::CallType type, const QString &source,
                                      int contactId, int responsibleId, const Utils::MsgBuilder &msg);

    // Activities and tasks.
    Utils::Promise<Activity> getActivity(int id, const Utils::MsgBuilder &msg);
    Utils::Promise<void> updateActivity(int id, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    void deleteActivity(int id, const Utils::MsgBuilder &msg);
    // Resolves with the new activity's id.
    Utils::Promise<int> createActivity(const QJsonObject &fields);
    // A non-empty description goes into the task as its "DESCRIPTION".
    Utils::Promise<QJsonObject> makeTaskCreationParams(const Entity &entity, const Utils::MsgBuilder &msg,
                                                       const QString &description = QString());
    Utils::Promise<int> createTask(const Entity &entity, const Utils::MsgBuilder &msg,
                                   const QString &description = QString());
    // The task to call back a missed caller bound to no record: the number and the time of the call in
    // its title and description.
    Utils::Promise<int> createCallBackTask(const QString &phone, const QDateTime &calledAt,
                                           const Utils::MsgBuilder &msg);

    // Portal lists, asked as GET and passed on unchanged.
    Utils::Promise<QJsonObject> currentUserProfile();
    Utils::Promise<QJsonObject> appInfo();
    Utils::Promise<QJsonArray> getSourceList();
    Utils::Promise<QJsonArray> getUserList(const QJsonObject &filter, const Utils::MsgBuilder &msg);

    // Locale dictionaries: start() makes a new handler over this directory (empty, the default: "locales"
    // beside the executable). Null before the first start.
    void setLocalesDirectory(const QString &directory) { m_localesDirectory = directory; }
    QSharedPointer<LocalesHandler> localesHandler() const { return m_localesHandler; }

public Q_SLOTS:
    // Each rejects while no handler exists (before the first start).
    void getLocales(Orvix::Utils::Promise<QJsonObject> promise);
    void getLocale(const QString &name, Orvix::Utils::Promise<QJsonObject> promise);
    void saveLocale(const QString &name, const QJsonObject &dictionary, Orvix::Utils::Promise<QString> promise);
    void deleteLocale(const QString &name, Orvix::Utils::Promise<void> promise);

Q_SIGNALS:
    void started();
    void connectionLost();
    void authorizationFailed(const QJsonObject &error);
    void newEntityWasCreated(const QString &id);
    void localeChanged(const QString &locale);
    // Customization requests: whoever answers settles the promise with the changed value, or rejects it
    // with an error text. Every request must be answered.
    void phoneCustomizationRequest(const QString &phone, Orvix::Utils::Promise<QString, QString> promise);
    void searchParamsCustomizationRequest(const QJsonObject &params,
                                          Orvix::Utils::Promise<QJsonObject, QString> promise);
    void finalParamsCustomizationRequest(const QJsonObject &params,
                                         Orvix::Utils::Promise<QJsonObject, QString> promise);
    void createEntityCustomizationRequest(const QJsonObject &fields,
                                          Orvix::Utils::Promise<QJsonObject, QString> promise);
    void taskAddCustomizationRequest(const QJsonObject &fields, Orvix::Utils::Promise<QJsonObject, QString> promise);

private Q_SLOTS:
    void sendNextRequest();

protected:
    // The entity a registration binds the call to: findEntityByPhone unless a subclass knows better.
    virtual Utils::Promise<CRM::Entity> findEntityForRegistration(const QString &phone, const QJsonObject &filter,
                                                                  const Utils::MsgBuilder &msg);

private:
    // critical or warning, or debug for a check's connector.
    QDebug failureLog(QtMsgType type) const;

    // Runs the request and resolves with what convert(value) makes of its result (a Promise<void> with nothing,
    // whatever the result); rejects when the request fails.
    template <typename T, typename Convert = std::nullptr_t>
    Utils::Promise<T> runAndConvert(const QString &method, const QJsonObject &params,
                                    HttpClient::Request::Method httpMethod, const Utils::MsgBuilder &msg,
                                    Convert convert = nullptr)
    {
        Utils::Promise<T> result;
        run(method, params, httpMethod, msg)
            .onResolve([result, convert](const QJsonValue &value) {
                if constexpr (std::is_void_v<T>) {
                    Q_UNUSED(convert)
                    Q_UNUSED(value)
                    result.resolve();
                } else {
                    result.resolve(convert(value));
                }
            })
            .onReject([result]() { result.reject(); });
        return result;
    }

    // Runs the request and resolves only when the portal answers true: it answers false when it did not do it.
    // Also resolves when its guard skips it.
    Utils::Promise<void> runExpectingTrue(const QString &method, const QJsonObject &params,
                                          HttpClient::Request::Method httpMethod, const Utils::MsgBuilder &msg,
                                          const SendGuard &guard = {});

    // Ends a run still going, then takes the portal and login of the next one and makes its Auth.
    void beginRun(const QString &host, int userId, const QString &login, const QString &password,
                  const QString &generatedPostfix);
    void startTimer(int intervalMsec);
    // One request on its way through the engine, with what its tries so far have used up.
    struct PendingRequest
    {
        QString method;
        QJsonObject params;
        HttpClient::Request::Method httpMethod;
        Utils::MsgBuilder msg;
        Utils::Promise<QJsonValue, RequestFailure> result;
        bool custom = false;
        qint64 triedAt = 0;
        bool tokenRenewed = false;
        int tries = 0;      // sent again after a server error, a closed connection or a lost answer
        int unanswered = 0; // tries that got no answer in time
        bool mayHaveBeenDone = false;
        QString sentToken{}; // the access token of the last try
        QString filePath{};  // an upload's recording, read when the upload goes
        QByteArray content{}; // the file as read at the upload's turn, until its first try takes it
        // Its queued form's: a request held for the next start is judged again when its turn comes then.
        SendGuard guard{};
        std::function<void()> skip{};
    };
    // A queued request, started by the timer when its lane has room and its call has nothing in flight.
    struct QueuedRequest
    {
        bool upload = false;
        std::function<void()> start;
        qint64 order = 0; // its place among all queued requests
        SendGuard guard{};
        std::function<void()> skip{}; // settles it when its guard skips it
    };
    // The requests of one call (its trace's id; empty for requests of no call): one in flight at a time, the
    // next waiting in either lane holds every later one.
    struct CallRequests
    {
        std::deque<QueuedRequest> waiting;
        bool inFlight = false;
    };

    Utils::Promise<QJsonValue, RequestFailure> enqueue(const QString &method, const QJsonObject &params,
                                                       HttpClient::Request::Method httpMethod,
                                                       const Utils::MsgBuilder &msg, bool custom,
                                                       const QString &uploadFile = QString(),
                                                       const SendGuard &guard = {});
    // At the end of the queue, or at its head (first): a request that goes again before anything else.
    void queueRequest(const QString &key, QueuedRequest request, bool first);
    // Starts the earliest queued request of the lane whose call has nothing in flight, if there is one.
    void startNext(bool upload);
    // A call with nothing in flight becomes startable in the lane of its next request.
    void markStartable(const QString &key, const CallRequests &call);
    void release(const QString &key, bool upload);
    // At an upload's turn: reads its file into the request; false, with why, when there is nothing to send.
    bool takeRecording(const QSharedPointer<PendingRequest> &request, RequestFailure *nothing);
    // The form body of an upload: its parameters and the file, encoded straight into bytes.
    QByteArray uploadBody(const QSharedPointer<PendingRequest> &request, const QJsonObject &params);
    // While the link is stopped: a call's request that the portal never did goes back to the head of the
    // queue, to be sent after the next start. False when it must end now.
    bool holdForNextStart(const QSharedPointer<PendingRequest> &request);
    // Reports the portal lost, once while the connector runs: a stopped connector has no link to lose.
    void reportConnectionLost();
    QString portalHostName() const;
    QString portalName() const;
    // Ends the request with why, remembered for unreachableReason() until a request succeeds.
    void fail(const QSharedPointer<PendingRequest> &request, RequestFailure::Kind kind, const QString &reason);
    // The activity the portal made for a CRM call: 0 when there is none or it cannot be asked.
    Utils::Promise<int> findCallActivity(const QString &callId, const Utils::MsgBuilder &msg);
    // Sends the request (once more), with fresh credentials; it keeps its place in flight in between.
    void attempt(const QSharedPointer<PendingRequest> &request);
    Utils::Promise<QJsonObject, QJsonObject> addCredentials(const QJsonObject &params, quint64 execution);
    // What the registration of one call needs to know when the search found nothing.
    struct NewRecord
    {
        QString callId; // of the call, also for a conversation
        Entities::CallType direction = Entities::CallType::Unknown;
        int userId = 0;
        QString source;
        bool createEntity = false;
        bool createDeal = false;
    };
    // The parameters of "telephony.externalcall.register": customized, with the entity found for the
    // number or created for it. Rejects when the call must not be registered.
    template <typename CallOrConversation>
    Utils::Promise<QJsonObject> makeRegistrationParams(bool createEntity, bool createDeal,
                                                       const CallOrConversation &call, const CRM::Entity &user,
                                                       const Utils::MsgBuilder &msg);
    void searchRegistrationEntity(QJsonObject params, const NewRecord &record, const Utils::MsgBuilder &msg,
                                  const Utils::Promise<QJsonObject> &result);
    void attachFoundEntity(QJsonObject params, const CRM::Entity &entity, const NewRecord &record,
                           const Utils::MsgBuilder &msg, const Utils::Promise<QJsonObject> &result);
    void attachNewEntity(QJsonObject params, const NewRecord &record, const Utils::MsgBuilder &msg,
                         const Utils::Promise<QJsonObject> &result);
    // The registers of one caller's number go one at a time, from its search to its answer: a second call
    // from a new number waits for the record the first one found or made, and finds it, instead of making
    // one of its own (by an add, or by the register's CRM_CREATE).
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    oneAtATime(const QString &number,
               const std::function<Utils::Promise<CallRegistration, RegistrationFailedReason>()> &work);
    template <typename CallOrConversation>
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    registerOnce(bool createEntity, bool createDeal, const CallOrConversation &call, const CRM::Entity &user,
                 const Utils::MsgBuilder &msg, const RegisterMemo &memo, bool keepDealId);
    void sendRegistration(QJsonObject params, bool keepDealId, const Utils::MsgBuilder &msg,
                          const Utils::Promise<CallRegistration, RegistrationFailedReason> &result);
    void sendFinish(QJsonObject params, const Utils::MsgBuilder &msg,
                    const Utils::Promise<CallRegistration, RegistrationFailedReason> &result);
    Utils::Promise<void> sendCallCard(const QString &method, const QString &callId, const QJsonValue &userIds,
                                      const Utils::MsgBuilder &msg, const SendGuard &guard = {});
    // Queues the commands in batches of at most 50 and waits for all of them; rejects when any batch
    // failed or left a command unanswered.
    Utils::Promise<void> sendBatches(const QList<QPair<QString, QString>> &commands,
                                     HttpClient::Request::Method httpMethod);

    void send(const QSharedPointer<PendingRequest> &request, QJsonObject params);
    void checkAnswer(const QSharedPointer<HttpClient::Response> &response,
                     const QSharedPointer<PendingRequest> &request);
    // Marks the answer made up for a finish the portal had done already: its activity is still to be found.
    static constexpr QLatin1String kAlreadyFinished{"ALREADY_FINISHED"};
    // True when the answer is one after which the same request goes again (the answer is logged as a try):
    // the rate limit, a token to renew, or a server error or lost answer that has tries left.
    bool retryLater(int status, const QJsonObject &answer, const QSharedPointer<PendingRequest> &request,
                    QNetworkReply::NetworkError networkError);
    // False for requests that must not be sent twice blindly: adds of records, alone or in a batch, and
    // recording uploads (their caller sends them again once, out of the way of the other calls).
    static bool isRepeatable(const QString &method, const QJsonObject &params);
    // True for methods that only read (".get", ".list", ".fields", "user.current", ...), alone or in a batch.
    static bool isReading(const QString &method, const QJsonObject &params);
    static bool isCallNotFound(const QJsonObject &answer);
    void writeRequestLog(const QString &method, QJsonObject params, const QJsonValue &response, qint64 durationMsec,
                         const Utils::MsgBuilder &msg, bool ok) const;

    QString m_portalHost;
    QString m_lastFailure; // why the last request failed, in words; empty after a success
    RequestFailure::Kind m_lastFailureKind = RequestFailure::Unreachable;
    int m_defaultUserId = 0;
    QString m_login;
    QString m_password;
    QString m_locale;
    bool m_useExternalLines = false;
    bool m_noLeadMode = true;
    // Started for a check: its failures are the check's answer, not faults of the running service.
    bool m_forCheck = false;
    Auth *m_auth = nullptr;
    QTimer *m_requestTimer = nullptr;
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    // The queue, by call: a tick looks at the startable calls alone, however many requests wait behind a
    // portal that is away.
    QHash<QString, CallRequests> m_requestsByCall;
    // Per lane (requests, uploads): the calls whose next request may start, by that request's place.
    std::map<qint64, QString> m_startable[2];
    qint64 m_lastPlace = 0;  // taken at the end of the queue
    qint64 m_firstPlace = 0; // taken at its head
    int m_queuedCount = 0;
    int m_inFlight = 0; // requests other than uploads between their start and their outcome
    bool m_uploadInFlight = false;
    QHash<QString, quint64> m_stopRefusals; // by call
    // The portal's rate limit: nothing starts before m_pausedUntil (ms since the epoch); a request refused
    // again after m_pauseStartedAt doubles the next pause.
    qint64 m_pausedUntil = 0;
    qint64 m_pauseStartedAt = 0;
    int m_cacheStorageTimeMin = 0;
    QList<int> m_fallbackUsers;
    QMap<QString, QString> m_trunkToSource;

    // Per caller's number with a register under way: the turn of the last one queued, and its end.
    QHash<QString, QPair<quint64, Utils::Promise<void>>> m_numberTurns;
    quint64 m_lastNumberTurn = 0;

    // Users each CRM call's card was shown to; a call leaves the table when its last user is hidden.
    QHash<QString, QSet<int>> m_shownUsers;
    // Users whose card of a CRM call its guard skipped: their hide is not sent either.
    QHash<QString, QSet<int>> m_withheldCards;

    QString m_tokenBaseDirectory;
    QString m_generatedPostfix;
    std::chrono::milliseconds m_requestTimeout{15000};
    std::chrono::milliseconds m_rateLimitBackoff{1000};
    std::chrono::milliseconds m_nextBackoff{1000};

    // Records, lookups and locales.
    Utils::Promise<QJsonObject> customizeObject(const QJsonObject &value, const Utils::MsgBuilder &msg,
                                                void (Connector::*signal)(const QJsonObject &,
                                                                          Utils::Promise<QJsonObject, QString>),
                                                const QString &okPrefix, const QString &failureFormat,
                                                bool dropType);
    Utils::Promise<Entity> addAndReadBack(EntityType type, const QJsonObject &fields, const Utils::MsgBuilder &msg);
    // Adds an entity of the type once its fields are made; rejects when either fails.
    Utils::Promise<Entity> addEntityWhenReady(EntityType type, const Utils::Promise<QJsonObject> &fields,
                                              const Utils::MsgBuilder &msg);
    QString translate(const QString &key) const;
    // The title of a lead or deal made for a call of the type with phone.
    QString creationTitle(Entities::CallType type, const QString &phone) const;
    void storeUser(const QString &phone, const Entity &user);
    void dropExpiredUsers(const QDateTime &now);
    QStringList m_phonePrefixes;
    // Phone as passed -> (expiry, user). Expired entries are dropped on every lookup.
    QHash<QString, QPair<QDateTime, Entity>> m_userCache;
    QString m_localesDirectory;
    QSharedPointer<LocalesHandler> m_localesHandler;

    // The requests waiting for credentials: a stop settles them, since their Auth goes away.
    quint64 m_executionCount = 0;
    QHash<quint64, QSharedPointer<PendingRequest>> m_awaitingCredentials;
};

} // namespace Orvix::CRM::Bitrix
