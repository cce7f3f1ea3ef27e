#pragma once

#include "crm/bitrix/callregistration.h"
#include "crm/bitrix/registrationfailedreason.h"
#include "crm/entity.h"
#include "httpclient/request.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QByteArray>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>

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

// Client of the CRM portal's REST interface. Every request goes through one queue: run() only queues it,
// a timer sends the head of the queue when no request is in flight, so the portal never sees two of ours
// at once. Credentials are added just before sending. Main thread only; owned by value by the CRM call
// flow, or by the CRM check.
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
    // Transfer time-out of every REST and OAuth request; takes effect at the next start.
    void setRequestTimeout(std::chrono::milliseconds timeout);

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
    Utils::Promise<QJsonValue> makeCustomRequest(const QString &method, const QJsonObject &params,
                                                 HttpClient::Request::Method httpMethod);

    // ---- Calls, call cards, recordings, external lines and event bindings ----

    // Registers the call (or one of its conversations) in the CRM's telephony. Rejects with Failed when
    // the call must not be registered or the request fails. A call's "deal_id" parameter is kept on the
    // registration instead of being sent; a conversation sends it.
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    registerCall(bool createEntity, bool createDeal, const Entities::Call &call, const CRM::Entity &user,
                 const Utils::MsgBuilder &msg);
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    registerConversation(bool createEntity, bool createDeal, const Entities::Conversation &conversation,
                         const CRM::Entity &user, const Utils::MsgBuilder &msg);
    // Closes the CRM call; a user id below 1 means the default user. When the final-parameters
    // customization answers the action "delete", the call's activity is deleted and the promise rejects
    // with ActivityDeleted.
    Utils::Promise<CallRegistration, RegistrationFailedReason>
    finishCall(const QString &callId, int userId, const Entities::Conversation &conversation, bool addToChat,
               const QJsonObject &entityData, const Utils::MsgBuilder &msg);

    // Call cards. A user id below 1 rejects without a request; the portal must answer true.
    Utils::Promise<void> showCallCard(const QString &callId, int userId, const Utils::MsgBuilder &msg);
    Utils::Promise<void> hideCallCard(const QString &callId, int userId, const Utils::MsgBuilder &msg);
    // The same for the CRM user whose phone is the given internal number.
    Utils::Promise<void> showCallCard(const QString &callId, const QString &phone, const Utils::MsgBuilder &msg);
    Utils::Promise<void> hideCallCard(const QString &callId, const QString &phone, const Utils::MsgBuilder &msg);
    // One card request for the users of all these internal numbers.
    Utils::Promise<void> showCallCards(const QString &callId, const QJsonArray &internalNumbers,
                                       const Utils::MsgBuilder &msg);
    // Hides the card from every user it was shown to for this call but the given one.
    void hideCallCardsExcept(const QString &callId, int userId, const Utils::MsgBuilder &msg);
    // Users the call's card is shown to, as far as this connector showed and hid it.
    QSet<int> shownUsers(const QString &callId) const { return m_shownUsers.value(callId); }

    // Uploads the recording file to the CRM call; an empty or unreadable file sends nothing and rejects.
    Utils::Promise<void> attachRecording(const QString &callId, const QString &filePath,
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

    // The text of one "batch" command: the method, "?" and the parameters encoded as any URL query.
    static QString makeBatchCommand(const QString &method, const QJsonObject &params);

    int pendingRequests() const { return m_requestQueue.size(); }
    bool isBusy() const { return m_busy; }

Q_SIGNALS:
    void started();
    void connectionLost();
    void authorizationFailed(const QJsonObject &error);
    void newEntityWasCreated(const QString &id);
    void localeChanged(const QString &locale);

private Q_SLOTS:
    void sendNextRequest();

private:
    // Ends a run still going, then takes the portal and login of the next one and makes its Auth.
    void beginRun(const QString &host, int userId, const QString &login, const QString &password,
                  const QString &generatedPostfix);
    void startTimer(int intervalMsec);
    Utils::Promise<QJsonValue> execute(const QString &method, const QJsonObject &params,
                                       HttpClient::Request::Method httpMethod, const Utils::MsgBuilder &msg);
    Utils::Promise<QJsonObject, QJsonObject> addCredentials(const QJsonObject &params, quint64 execution);
    void send(const QString &method, QJsonObject params, HttpClient::Request::Method httpMethod,
              const Utils::MsgBuilder &msg, const Utils::Promise<QJsonValue> &result);
    void checkAnswer(const QSharedPointer<HttpClient::Response> &response, const QString &method,
                     const Utils::MsgBuilder &msg, const Utils::Promise<QJsonValue> &result);
    template <typename CallOrConversation>
    Utils::Promise<QJsonObject> makeRegistrationParams(bool createEntity, bool createDeal,
                                                       const CallOrConversation &call, const CRM::Entity &user,
                                                       const Utils::MsgBuilder &msg);
    Utils::Promise<CallRegistration, RegistrationFailedReason> sendRegistration(const QJsonObject &params,
                                                                               bool keepDealId,
                                                                               const Utils::MsgBuilder &msg);
    void sendFinish(QJsonObject params, const Utils::MsgBuilder &msg,
                    const Utils::Promise<CallRegistration, RegistrationFailedReason> &result);
    Utils::Promise<void> sendCallCard(const QString &method, const QString &callId, const QJsonValue &userIds,
                                      const Utils::MsgBuilder &msg);
    // Queues the commands in batches of at most 50 and waits for all of them; rejects when any batch
    // failed or left a command unanswered.
    Utils::Promise<void> sendBatches(const QList<QPair<QString, QString>> &commands,
                                     HttpClient::Request::Method httpMethod);

    void writeRequestLog(const QString &method, QJsonObject params, const QJsonValue &response, qint64 durationMsec,
                         const Utils::MsgBuilder &msg, bool ok) const;

    QString m_portalHost;
    int m_defaultUserId = 0;
    QString m_login;
    QString m_password;
    QString m_locale;
    bool m_useExternalLines = false;
    bool m_noLeadMode = true;
    Auth *m_auth = nullptr;
    QTimer *m_requestTimer = nullptr;
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    bool m_busy = false;
    QList<std::function<void()>> m_requestQueue;
    int m_cacheStorageTimeMin = 0;
    QList<int> m_fallbackUsers;
    QMap<QString, QString> m_trunkToSource;

    // Users each CRM call's card was shown to; a call leaves the table when its last user is hidden.
    QHash<QString, QSet<int>> m_shownUsers;

    QString m_tokenBaseDirectory;
    std::chrono::milliseconds m_requestTimeout = HttpClient::kDefaultTransferTimeout;
    // The request waiting for credentials, if any: a stop settles it, since its Auth goes away.
    quint64 m_executionCount = 0;
    quint64 m_awaitingCredentials = 0;
    Utils::Promise<QJsonValue> m_awaitingCredentialsPromise;
};

} // namespace Orvix::CRM::Bitrix
