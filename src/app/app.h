#pragma once

#include "actions/asteriskcheck.h"
#include "actions/auth.h"
#include "actions/bitrixcheck.h"
#include "actions/connectionscheck.h"
#include "actions/customcrmrequest.h"
#include "actions/dbcheck.h"
#include "actions/executesqlquery.h"
#include "actions/externalcallbackstarteventlistener.h"
#include "actions/externalcallstarteventlistener.h"
#include "actions/getconfig.h"
#include "actions/getconversationrecording.h"
#include "actions/getexternallines.h"
#include "actions/getlog.h"
#include "actions/getresponsiblebyphonenumber.h"
#include "actions/getresponsibledata.h"
#include "actions/getsourcelist.h"
#include "actions/getuserlist.h"
#include "actions/hangup.h"
#include "actions/localedelete.h"
#include "actions/localeget.h"
#include "actions/localegetlist.h"
#include "actions/localesave.h"
#include "actions/locateasterisk.h"
#include "actions/originate.h"
#include "actions/redirect.h"
#include "actions/resteventcalllistener.h"
#include "actions/setroistatdata.h"
#include "actions/transfer.h"
#include "actions/updateconfig.h"
#include "actions/updateexternallines.h"
#include "app/api.h"
#include "app/customizer.h"
#include "config/manager.h"
#include "configsetup/configupdater.h"
#include "crm/bitrix/api.h"
#include "crm/entity.h"
#include "httpserver/server.h"
#include "pbx/asterisk/api.h"
#include "utils/promise.h"
#include "webinterface/app.h"

#include <QFileSystemWatcher>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

namespace Orvix {

namespace Entities {
class Call;
class Conversation;
} // namespace Entities

namespace HttpClient {
class HttpClient;
}

// The one orchestrating object of the service: owns every long-lived component (HTTP server and
// actions, web interface, configuration updater, company lookup, PBX link, customizer), wires their
// signals to each other and to its own slots, starts the links, restarts them after a lost connection
// or a configuration change, and runs the clean start. Main thread only; lives on main's stack.
class App : public QObject
{
    Q_OBJECT

public:
    // How long a lost link waits before both links run again.
    static inline constexpr std::chrono::milliseconds kRestartDelay{60000};
    // How long a configuration change waits before the links run again.
    static inline constexpr std::chrono::milliseconds kConfigRestartDelay{1000};
    // How long a stop of the service waits for the CRM requests on their way.
    static inline constexpr std::chrono::milliseconds kStopWait{5000};
    // How often a listener that could not open (its port held by another program) is tried again.
    static inline constexpr std::chrono::milliseconds kListenRetryInterval{10000};

    App(QObject *parent, const QString &overrideEventsSql, Config::Manager &config);
    ~App() override;

    void start();
    void run();
    void stop();
    // A stop of the service (SIGTERM): the links stop, the CRM requests on their way get kStopWait for their
    // answers, the work left is saved for the next start, and the event loop ends.
    void shutDown();
    void clean();
    // Stops the links and runs them again at once; the caller learns when the PBX link is up, or the
    // error of the link lost first.
    void restart(Utils::Promise<void, QJsonObject> callerPromise);

    bool isStarted() const { return m_started; }
    bool isRestartPending() const { return m_restartTimer.isActive(); }
    PBX::Asterisk::API &pbx() { return m_pbx; }
    CRM::Bitrix::API &crm() { return m_crm; }
    HttpServer::Server &httpServer() { return m_httpServer; }
    ConfigSetup::ConfigUpdater &configUpdater() { return m_configUpdater; }
    Customizer &customizer() { return m_customizer; }
    // Settled when the PBX link reports it is up, or rejected when a link is lost first.
    Utils::Promise<bool, QJsonObject> pbxStarted() const { return m_pbxStarted; }
    void setRestartDelay(std::chrono::milliseconds delay) { m_restartDelay = delay; }
    void setConfigRestartDelay(std::chrono::milliseconds delay) { m_configRestartDelay = delay; }
    void setListenRetryInterval(std::chrono::milliseconds interval) { m_listenRetryInterval = interval; }

    // The trace message of a call start: direction, id, the customer's or callee's number, trunk.
    static QString callStartMessage(const Entities::Call &call);

private Q_SLOTS:
    void onCRMStart();
    void onPBXStart();
    void onCallStart(const Orvix::Entities::Call &call);
    void onConversationRequest(const Orvix::Entities::Conversation &conversation);
    void onConversationAccept(const Orvix::Entities::Conversation &conversation);
    void onConversationEnd(const Orvix::Entities::Conversation &conversation);
    void onCallEnd(const Orvix::Entities::Call &call);
    void onCallTransfer(const QString &callId);
    void onEntityFound(const QString &phone, const Orvix::CRM::Entity &entity);
    void onOriginateCustomizationRequest(const QHash<QString, QString> &params,
                                         Orvix::Utils::Promise<QHash<QString, QString>, QString> promise);
    void onPhoneCustomizationRequest(const QString &phone, Orvix::Utils::Promise<QString, QString> promise);
    void onSearchParamsCustomizationRequest(const QJsonObject &params,
                                            Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onFinalParamsCustomizationRequest(const QJsonObject &params,
                                           Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onCreateEntityCustomizationRequest(const QJsonObject &params,
                                            Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onTaskAddCustomizationRequest(const QJsonObject &params,
                                       Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onLeadFieldsCustomizationRequest(const QJsonObject &params,
                                          Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onActivityFieldsCustomizationRequest(const QJsonObject &params,
                                              Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onFindCompanyInDoubleGisRequest(const QStringList &phones, Orvix::Utils::Promise<Orvix::CRM::Entity> promise);
    void onAuthRequest(const QString &user, const QString &password, Orvix::Utils::Promise<void> promise);
    void onOriginateRequest(const QString &from, const QString &to, Orvix::Utils::Promise<void, QString> promise);
    void onRedirectRequest(const QString &channelId, const QString &to,
                           Orvix::Utils::Promise<void, QString> promise);
    void onTransferRequest(const QString &number, const QString &to, bool blind,
                           Orvix::Utils::Promise<void, QString> promise);
    void onHangupRequest(const QString &number, Orvix::Utils::Promise<void, QString> promise);
    // The service's own look-up, for the CRM flow: waits for a database that is away.
    void onCallRecordingPathRequest(const QString &callId, const QString &from, const QString &to,
                                    Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> promise);
    // A client's of the public recording route, with a link the service signed: answered at once while the
    // database is away, and no log line of its own per request.
    void onPublicRecordingPathRequest(const QString &callId, const QString &from, const QString &to,
                                      Orvix::Utils::Promise<QString, Orvix::Entities::RecordingFailure> promise);
    void onGetResponsibleByPhoneNumber(const QString &phone,
                                       Orvix::Utils::Promise<QString, CRM::Bitrix::LookupFailure> promise);
    void onGetResponsibleData(const QString &phone,
                              Orvix::Utils::Promise<QJsonObject, CRM::Bitrix::LookupFailure> promise);
    void onSetRoistatData(const QString &callId, const QJsonObject &data);
    void onUnbindEnded();
    void onDirectoryChanged(const QString &path);
    void onPBXStopped(const QString &reason);
    void onCRMStopped(const QString &reason);
    void onSourceListRequest(Orvix::Utils::Promise<QJsonArray, QString> promise);
    void onUserListRequest(const QJsonObject &filter, Orvix::Utils::Promise<QJsonArray, QString> promise);
    void onExternalLinesRequest(Orvix::Utils::Promise<QJsonArray, QString> promise);
    void onUpdateExternalLinesRequest(const QJsonObject &line, Orvix::Utils::Promise<void, QString> promise);
    void onConfigChanged();
    void onGetConfigRequest(Orvix::Utils::Promise<QJsonObject> promise);
    void onGetCheckStatusRequest(Orvix::Utils::Promise<QJsonObject> promise);
    void onCheckConnectionsRequest(Orvix::Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void onDbCheckRequest(Orvix::Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void onLocateAsteriskRequest(Orvix::Utils::Promise<QJsonObject> promise);
    void onAsteriskCheckRequest(Orvix::Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void onBxCheckRequest(Orvix::Utils::Promise<QJsonObject> promise, const QJsonObject &settings);
    void onConfigUpdateRequest(const QJsonObject &json, Orvix::Utils::Promise<QString, QJsonObject> promise);
    void onCustomCrmRequest(const QString &method, const QJsonObject &params, const QString &httpMethod,
                            Orvix::Utils::Promise<QJsonValue, QString> promise);
    void onExecuteSqlRequest(const QString &sql, Orvix::Utils::Promise<QJsonObject, QString> promise);
    void onRestartWaitRequest(Orvix::Utils::Promise<int> promise);
    void onLocaleChanged(const QString &fileName);

private:
    void onExternalCallStartEvent(int userId, const QString &phone, const QString &lineNumber,
                                  const QJsonObject &event);
    void onCallBackStartEvent(const QString &phone, const QString &lineNumber);

    void connectComponents();
    void readCustomizerSettings();
    void setUpAsteriskConfig();
    // Warns of the settings every run needs and the operator has not entered yet.
    void reportMissingSettings();
    // `quiet`: the reason repeats a failure logged already; the lines go to debug level. `pbxLost`: the PBX
    // link was lost, not the CRM one.
    void scheduleRestart(const QString &reason, bool quiet = false, bool pbxLost = false);
    // Settles `promise` as `sent` settles.
    void relayCallControl(const Utils::Promise<void, QString> &sent, const Utils::Promise<void, QString> &promise);
    // The seconds the links still wait for their restart after a loss; 0 when none waits.
    int restartWaitSeconds() const;
    // Why the links are down while they wait for that restart ("the PBX connection was lost; the links restart
    // in 42 s"); empty when none waits.
    QString linksAwayReason() const;
    // What a CRM route answers for a failure: while the links wait after a lost PBX, that reason.
    QString crmFailureReason(const QString &reason) const;
    // Settle `promise` as `sent` settles, a failure with crmFailureReason.
    template <typename T>
    void relayCrmRequest(const Utils::Promise<T, QString> &sent, const Utils::Promise<T, QString> &promise);
    template <typename T>
    void relayLookup(const Utils::Promise<T, CRM::Bitrix::LookupFailure> &sent,
                     const Utils::Promise<T, CRM::Bitrix::LookupFailure> &promise);
    // A host name in WebServer.listen_host, which an older build listened on, as the address it names now.
    void resolveListenHost();
    void keepHistoryStart();
    // Whole seconds until the pending restart, rounded up.
    int restartSecondsLeft() const;
    void listen();
    // The listeners that could not open, tried again while they stay closed.
    void retryListen();
    // Warns of a web password from an older file that a save now refuses.
    void warnOfShortWebPassword();
    void findRecordingPath(const QString &callId, const QString &from, const QString &to,
                           PBX::Asterisk::ApiSql::RecordingLookup lookup,
                           Utils::Promise<QString, Entities::RecordingFailure> promise);
    void customizeRecordingPath(const QString &callId, const QString &from, const QString &to, const QString &path,
                                PBX::Asterisk::ApiSql::RecordingLookup lookup,
                                Utils::Promise<QString, Entities::RecordingFailure> promise);
    void onRecordingPathCustomized();

    QFileSystemWatcher m_logDirectoryWatcher;
    Config::Manager &m_config;
    HttpServer::Server m_httpServer;
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    ConfigSetup::ConfigUpdater m_configUpdater;
    Api m_api;
    PBX::Asterisk::API m_pbx;
    CRM::Bitrix::API m_crm;
    Utils::Promise<bool, QJsonObject> m_pbxStarted;
    WebInterface::App m_webInterface;

    Actions::Auth m_auth;
    Actions::Originate m_originate;
    Actions::Redirect m_redirect;
    Actions::Transfer m_transfer;
    Actions::Hangup m_hangup;
    Actions::GetConfig m_getConfig;
    Actions::UpdateConfig m_updateConfig;
    Actions::ConnectionsCheck m_connectionsCheck;
    Actions::LocateAsterisk m_locateAsterisk;
    Actions::AsteriskCheck m_asteriskCheck;
    Actions::BitrixCheck m_bitrixCheck;
    Actions::DbCheck m_dbCheck;
    Actions::ExecuteSqlQuery m_executeSqlQuery;
    Actions::GetConversationRecording m_getConversationRecording;
    Actions::GetExternalLines m_getExternalLines;
    Actions::GetLog m_getLog;
    Actions::UpdateExternalLines m_updateExternalLines;
    Actions::GetResponsibleByPhoneNumber m_getResponsibleByPhoneNumber;
    Actions::GetResponsibleData m_getResponsibleData;
    Actions::GetSourceList m_getSourceList;
    Actions::GetUserList m_getUserList;
    Actions::ExternalCallStartEventListener m_externalCallStartEventListener;
    Actions::ExternalCallBackStartEventListener m_externalCallBackStartEventListener;
    Actions::RestEventCallListener m_restEventCallListener;
    Actions::SetRoistatData m_setRoistatData;
    Actions::CustomCrmRequest m_customCrmRequest;
    Actions::LocaleGetList m_localeGetList;
    Actions::LocaleGet m_localeGet;
    Actions::LocaleSave m_localeSave;
    Actions::LocaleDelete m_localeDelete;

    QString m_overrideEventsSql;
    // What the listeners open, read once at the start: a save changes it only for the next start.
    struct Listener
    {
        QString host;
        int port = 0;
        int securePort = 0;
        bool useHttp = true;
    };
    Listener m_listener;
    QTimer m_listenRetryTimer;
    std::chrono::milliseconds m_listenRetryInterval = kListenRetryInterval;
    bool m_retryPlain = false;
    bool m_retrySecure = false;
    // The settings the links read when they last ran: a save that leaves them as they were restarts nothing.
    QJsonObject m_linkSettings;
    // One timer for every kind of restart, so that at most one is ever pending.
    QTimer m_restartTimer;
    std::chrono::milliseconds m_restartDelay = kRestartDelay;
    std::chrono::milliseconds m_configRestartDelay = kConfigRestartDelay;
    bool m_started = false;
    bool m_firstRun = true;
    // The settings still missing that the last run named.
    QStringList m_reportedMissingSettings;
    // The pending restart is the short one after a configuration change, not the wait after a loss.
    bool m_configRestartPending = false;
    // The wait after a loss is for the PBX link, not the CRM one.
    bool m_restartAfterPbxLoss = false;
    // Which links were started and not stopped since: stop() leaves the others alone.
    bool m_pbxRunning = false;
    bool m_crmRunning = false;
    // The clean run ends the process, also when the CRM cannot be reached.
    bool m_cleaning = false;
    // A stop of the service is under way (shutDown): nothing starts the links again.
    bool m_stopping = false;
    // Recording path scripts running, and the requests waiting for one of them to end.
    static inline constexpr int kMaxRecordingPathRuns = 2;
    static inline constexpr int kMaxWaitingRecordingPaths = 32;
    int m_recordingPathRuns = 0;
    QList<std::function<void()>> m_waitingRecordingPaths;
    // Last: destroyed first, waiting for the scripts still running while the links are alive.
    Customizer m_customizer;
};

} // namespace Orvix
