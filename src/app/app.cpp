#include "app/app.h"

#include "config/generateddirectory.h"
#include "config/takeseffect.h"
#include "config/validators.h"
#include "config/webserver.h"
#include "entities/call.h"
#include "entities/conversation.h"
#include "entities/telephonyeventloghandler.h"
#include "httpclient/httpclient.h"
#include "httpserver/webpassword.h"
#include "utils/logger.h"
#include "utils/msgbuilder.h"
#include "utils/settingsmanager.h"
#include "websocketserver/eventsender.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QHostInfo>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QPointer>
#include <QTcpServer>

#include <utility>

namespace Orvix {

namespace {

using Config::Manager;
using Utils::MsgBuilder;
using Utils::Promise;

// Tests shorten the wait after a lost link without a configuration key the operator could trip over.
constexpr char kRestartDelayVariable[] = "CALVENA_RESTART_DELAY_MSEC";
// Tests point the reading of Asterisk's own files at a directory of their own instead of "/".
constexpr char kAsteriskRootVariable[] = "CALVENA_ASTERISK_CONFIG_ROOT";

MsgBuilder logTrace(const QString &callId, MsgBuilder::TaskName task, const QString &message)
{
    const MsgBuilder builder(callId, task, MsgBuilder::NoChildTask);
    qInfo().noquote() << builder.build(MsgBuilder::Start, message);
    return builder;
}

QJsonObject conversationEvent(const Entities::Conversation &conversation)
{
    return QJsonObject{{QStringLiteral("conversation"), conversation.toJson()}};
}

QJsonObject reconnectionError(const QString &code)
{
    return QJsonObject{{QStringLiteral("error"), code}};
}

// Whether this host can listen there now; port 0 asks only whether it has the address.
bool canListen(const QString &host, int port)
{
    QTcpServer probe;
    return probe.listen(host == QLatin1String("localhost") ? QHostAddress(QHostAddress::LocalHost)
                        : host.isEmpty()                   ? QHostAddress(QHostAddress::Any)
                                                           : QHostAddress(host),
                        static_cast<quint16>(port));
}

// The address the portal is to call back at. "Every address" is none it can reach: this host's own stands for it.
QString publishedHost(const QString &host)
{
    const QHostAddress address(host);
    if (!host.isEmpty() && address != QHostAddress::AnyIPv4 && address != QHostAddress::AnyIPv6)
        return host;
    const QList<QHostAddress> addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &candidate : addresses) {
        if (candidate.protocol() == QAbstractSocket::IPv4Protocol && !candidate.isLoopback()
            && !candidate.isLinkLocal())
            return candidate.toString();
    }
    return host;
}

} // namespace

App::App(QObject *parent, const QString &overrideEventsSql, Config::Manager &config)
    : QObject(parent)
    , m_config(config)
    , m_httpClient(QSharedPointer<HttpClient::HttpClient>::create())
    // The checks reach the addresses typed on the /config page: a client of their own, so that a server there
    // that misbehaves never holds the portal's requests.
    , m_configUpdater(QSharedPointer<HttpClient::HttpClient>::create(), config)
    , m_api(this, config, m_httpClient)
    , m_pbx(this, config)
    , m_crm(this, config, m_httpClient)
    , m_overrideEventsSql(overrideEventsSql)
    , m_customizer(config.getString(Manager::App, QStringLiteral("customizer_program_path")),
                   config.getInt(Manager::App, QStringLiteral("customization_time_msec")),
                   config.getBool(Manager::App, QStringLiteral("customize_search_params")),
                   config.getBool(Manager::App, QStringLiteral("customize_final_params")),
                   config.getBool(Manager::App, QStringLiteral("customize_entity")),
                   config.getBool(Manager::App, QStringLiteral("customize_activity")),
                   config.getBool(Manager::App, QStringLiteral("customize_task")))
{
    bool ok = false;
    const int delay = qEnvironmentVariableIntValue(kRestartDelayVariable, &ok);
    if (ok && delay >= 0)
        m_restartDelay = std::chrono::milliseconds(delay);
    if (qEnvironmentVariableIsSet(kAsteriskRootVariable))
        m_configUpdater.setRootDirectory(qEnvironmentVariable(kAsteriskRootVariable));

    m_restartTimer.setSingleShot(true);
    connect(&m_restartTimer, &QTimer::timeout, this, &App::run);
    m_listenRetryTimer.setSingleShot(true);
    connect(&m_listenRetryTimer, &QTimer::timeout, this, &App::retryListen);

    // Log rotation moves the file away: follow the directory of our own log file and reopen.
    const QString logDirectory = QFileInfo(Utils::Logger::getLogFileName()).absolutePath();
    if (QFileInfo::exists(logDirectory))
        m_logDirectoryWatcher.addPath(logDirectory);

    connectComponents();
    Entities::TelephonyEventLogHandler::instance();
}

App::~App() = default;

void App::connectComponents()
{
    using PbxApi = PBX::Asterisk::API;
    using CrmApi = CRM::Bitrix::API;

    connect(&m_logDirectoryWatcher, &QFileSystemWatcher::directoryChanged, this, &App::onDirectoryChanged);
    connect(&m_api, &Api::started, this, &App::run);

    connect(&m_pbx, &PbxApi::started, this, &App::onPBXStart);
    connect(&m_pbx, &PbxApi::callStarted, this, &App::onCallStart);
    connect(&m_pbx, &PbxApi::conversationRequested, this, &App::onConversationRequest);
    connect(&m_pbx, &PbxApi::conversationAccepted, this, &App::onConversationAccept);
    connect(&m_pbx, &PbxApi::conversationEnded, this, &App::onConversationEnd);
    connect(&m_pbx, &PbxApi::callEnded, this, &App::onCallEnd);
    connect(&m_pbx, &PbxApi::callTransferred, this, &App::onCallTransfer);
    connect(&m_pbx, &PbxApi::originateCustomizationRequest, this, &App::onOriginateCustomizationRequest);
    // The CRM work of the events up to a position is on disk before the PBX link saves that position; a
    // debug run over chosen rows saves neither, and leaves the production run's files alone.
    m_pbx.setStateGuard([crm = QPointer<CrmApi>(&m_crm)](PBX::Asterisk::CelId position) {
        return crm && crm->keepEventsUpTo(position);
    });
    m_crm.setDebugReplay(!m_overrideEventsSql.isEmpty());
    // A card goes to a phone only while its call is up and nobody else has taken it, as the PBX link knows
    // the call when the card's turn comes; one of a call kept over a stop waits for the link to catch up.
    m_crm.setLegProbe([pbx = QPointer<PbxApi>(&m_pbx)](const Entities::Conversation &leg) {
        if (!pbx || !pbx->isCaughtUp())
            return Entities::LegOutlook::Unknown;
        return pbx->eventHandler().legOutlook(leg.id(), leg.callId());
    });
    // Ages of calls and of their kept work on the PBX's clock: this host's may be hours off it.
    m_crm.setPbxClock([pbx = QPointer<PbxApi>(&m_pbx)]() { return pbx ? pbx->pbxTime() : QDateTime(); });

    connect(&m_crm, &CrmApi::started, this, &App::onCRMStart);
    connect(&m_crm, &CrmApi::entityFound, this, &App::onEntityFound);
    connect(&m_crm, &CrmApi::phoneCustomizationRequest, this, &App::onPhoneCustomizationRequest);
    connect(&m_crm, &CrmApi::searchParamsCustomizationRequest, this, &App::onSearchParamsCustomizationRequest);
    connect(&m_crm, &CrmApi::finalParamsCustomizationRequest, this, &App::onFinalParamsCustomizationRequest);
    connect(&m_crm, &CrmApi::createEntityCustomizationRequest, this, &App::onCreateEntityCustomizationRequest);
    connect(&m_crm, &CrmApi::taskAddCustomizationRequest, this, &App::onTaskAddCustomizationRequest);
    connect(&m_crm, &CrmApi::leadFieldsCustomizationRequest, this, &App::onLeadFieldsCustomizationRequest);
    connect(&m_crm, &CrmApi::activityFieldsCustomizationRequest, this, &App::onActivityFieldsCustomizationRequest);
    connect(&m_crm, &CrmApi::findCompanyInDoubleGisRequest, this, &App::onFindCompanyInDoubleGisRequest);
    connect(&m_crm, &CrmApi::conversationRecordingPathRequest, this, &App::onCallRecordingPathRequest);
    connect(&m_crm, &CrmApi::unbindEnded, this, &App::onUnbindEnded);
    connect(&m_crm, &CrmApi::externalCallStartRequest, this, &App::onExternalCallStartEvent);
    connect(&m_crm, &CrmApi::externalCallBackStartRequest, this, &App::onCallBackStartEvent);
    connect(&m_crm, &CrmApi::localeChanged, this, &App::onLocaleChanged);
    // The restart line only says the CRM link was lost; this one says which portal and why.
    connect(&m_crm.connector(), &CRM::Bitrix::Connector::authorizationFailed, this, [this](const QJsonObject &error) {
        QString reason = error.value(QStringLiteral("description")).toVariant().toString();
        if (reason.isEmpty())
            reason = QString::fromUtf8(QJsonDocument(error).toJson(QJsonDocument::Compact));
        const QString host = m_config.getString(Manager::Bitrix, QStringLiteral("host"));
        qWarning() << (host.isEmpty() ? QStringLiteral("Cannot log in to the CRM portal: %1").arg(reason)
                                      : QStringLiteral("Cannot log in to the CRM portal %1: %2").arg(host, reason));
    });

    connect(&m_auth, &Actions::Auth::request, this, &App::onAuthRequest);
    connect(&m_originate, &Actions::Originate::request, this, &App::onOriginateRequest);
    connect(&m_redirect, &Actions::Redirect::request, this, &App::onRedirectRequest);
    connect(&m_transfer, &Actions::Transfer::request, this, &App::onTransferRequest);
    connect(&m_hangup, &Actions::Hangup::request, this, &App::onHangupRequest);
    connect(&m_getConfig, &Actions::GetConfig::request, this, &App::onGetConfigRequest);
    connect(&m_updateConfig, &Actions::UpdateConfig::request, this, &App::onConfigUpdateRequest);
    connect(&m_connectionsCheck, &Actions::ConnectionsCheck::request, this, &App::onCheckConnectionsRequest);
    connect(&m_locateAsterisk, &Actions::LocateAsterisk::request, this, &App::onLocateAsteriskRequest);
    connect(&m_asteriskCheck, &Actions::AsteriskCheck::request, this, &App::onAsteriskCheckRequest);
    connect(&m_bitrixCheck, &Actions::BitrixCheck::request, this, &App::onBxCheckRequest);
    connect(&m_dbCheck, &Actions::DbCheck::request, this, &App::onDbCheckRequest);
    connect(&m_getExternalLines, &Actions::GetExternalLines::request, this, &App::onExternalLinesRequest);
    connect(&m_updateExternalLines, &Actions::UpdateExternalLines::request, this, &App::onUpdateExternalLinesRequest);
    connect(&m_getSourceList, &Actions::GetSourceList::request, this, &App::onSourceListRequest);
    connect(&m_getUserList, &Actions::GetUserList::request, this, &App::onUserListRequest);
    connect(&m_getConversationRecording, &Actions::GetConversationRecording::request, this,
            &App::onPublicRecordingPathRequest);
    connect(&m_getResponsibleByPhoneNumber, &Actions::GetResponsibleByPhoneNumber::request, this,
            &App::onGetResponsibleByPhoneNumber);
    connect(&m_getResponsibleData, &Actions::GetResponsibleData::request, this, &App::onGetResponsibleData);
    connect(&m_externalCallStartEventListener, &Actions::ExternalCallStartEventListener::event, this,
            &App::onExternalCallStartEvent);
    connect(&m_externalCallBackStartEventListener, &Actions::ExternalCallBackStartEventListener::event, this,
            &App::onCallBackStartEvent);
    connect(&m_restEventCallListener, &Actions::RestEventCallListener::event, this, &App::onExternalCallStartEvent);
    connect(&m_executeSqlQuery, &Actions::ExecuteSqlQuery::request, this, &App::onExecuteSqlRequest);
    connect(&m_executeSqlQuery, &Actions::ExecuteSqlQuery::cancelRequest, &m_pbx, &PBX::Asterisk::API::cancelSqlQuery);
    m_pbx.setAdminStatementTimeLimit(std::chrono::duration_cast<std::chrono::seconds>(m_executeSqlQuery.timeout()));
    connect(&m_setRoistatData, &Actions::SetRoistatData::event, this, &App::onSetRoistatData);
    connect(&m_customCrmRequest, &Actions::CustomCrmRequest::request, this, &App::onCustomCrmRequest);
    connect(&m_localeGetList, &Actions::LocaleGetList::request, &m_crm, &CrmApi::getLocales);
    connect(&m_localeGet, &Actions::LocaleGet::request, &m_crm, &CrmApi::getLocale);
    connect(&m_localeSave, &Actions::LocaleSave::request, &m_crm, &CrmApi::saveLocale);
    connect(&m_localeDelete, &Actions::LocaleDelete::request, &m_crm, &CrmApi::deleteLocale);

    connect(&m_pbx, &PbxApi::shouldStop, this, &App::onPBXStopped);
    connect(&m_crm, &CrmApi::connectionLost, this, &App::onCRMStopped);
    connect(&m_webInterface, &WebInterface::App::configChanged, this, &App::onConfigChanged);
    connect(&m_webInterface, &WebInterface::App::getConfigRequest, this, &App::onGetConfigRequest);
    connect(&m_webInterface, &WebInterface::App::getCheckStatusRequest, this, &App::onGetCheckStatusRequest);
    connect(&m_webInterface, &WebInterface::App::restartWaitRequest, this, &App::onRestartWaitRequest);
    connect(&m_configUpdater, &ConfigSetup::ConfigUpdater::configChanged, this, &App::onConfigChanged);
}

void App::readCustomizerSettings()
{
    m_customizer.updateSettings(m_config.getString(Manager::App, QStringLiteral("customizer_program_path")),
                                m_config.getInt(Manager::App, QStringLiteral("customization_time_msec")),
                                m_config.getBool(Manager::App, QStringLiteral("customize_search_params")),
                                m_config.getBool(Manager::App, QStringLiteral("customize_final_params")),
                                m_config.getBool(Manager::App, QStringLiteral("customize_entity")),
                                m_config.getBool(Manager::App, QStringLiteral("customize_activity")),
                                m_config.getBool(Manager::App, QStringLiteral("customize_task")));
}

// ---- lifecycle ----

void App::start()
{
    qInfo().noquote() << "Start application";
    // token.json, state.json and the saved registrations live here, whatever the working directory.
    QDir().mkpath(Config::GeneratedDirectory::path());
    resolveListenHost();
    keepHistoryStart();
    m_listener = {m_config.getString(Manager::WebServer, QStringLiteral("listen_host")),
                  m_config.getInt(Manager::WebServer, QStringLiteral("listen_port")),
                  m_config.getInt(Manager::WebServer, QStringLiteral("listen_port_secure")),
                  m_config.getBool(Manager::WebServer, QStringLiteral("use_http"))};
    // The portal's click-to-call comes where the server listens until the service starts again, whatever is
    // saved meanwhile.
    m_crm.setOwnServer(publishedHost(m_listener.host), m_listener.port, m_listener.securePort, m_listener.useHttp);
    // Reads its settings and emits started, which runs the links.
    m_api.start();

    HttpServer::WebPassword::ensure();
    warnOfShortWebPassword();
    listen();
}

void App::warnOfShortWebPassword()
{
    // The save's own rule: an older file's password is taken, but the administrator learns why a save refuses it.
    const QString password = m_config.getString(Manager::WebServer, QStringLiteral("password"));
    QString checked = password;
    QString refusal;
    Config::Validators::webPassword(checked, refusal);
    if (Config::Modules::isUsableWebPassword(password) && !refusal.isEmpty())
        qWarning().noquote() << QStringLiteral("Configuration file %1: WebServer.password: taken, but a save refuses "
                                               "it: %2")
                                    .arg(Manager::filePath(), refusal);
}

void App::keepHistoryStart()
{
    // Calls that began before history_start_date are not sent to the CRM. A file without one takes the moment of
    // the start, which would move at every start and pass over the calls the PBX took while the service was
    // stopped: the first start's moment is written into the file.
    const QString path = Utils::Settings::Manager::configFilePath();
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return;
    const QJsonValue saved = QJsonDocument::fromJson(file.readAll())
                                 .object()
                                 .value(QStringLiteral("App"))
                                 .toObject()
                                 .value(QStringLiteral("history_start_date"));
    file.close();
    if (!saved.toString().trimmed().isEmpty())
        return;
    const QString date = m_config.getString(Manager::App, QStringLiteral("history_start_date"));
    // A file without write permission says its owner wants it left alone.
    if (!QFileInfo(path).permissions().testFlag(QFileDevice::WriteOwner)
        || !Manager::update(QJsonObject{{QStringLiteral("App"),
                                         QJsonObject{{QStringLiteral("history_start_date"), date}}}})
                .isEmpty())
        qWarning().noquote() << QStringLiteral("App.history_start_date cannot be saved in %1: the calls the PBX takes "
                                               "while the service is stopped will not reach the CRM; set it there")
                                    .arg(path);
}

void App::resolveListenHost()
{
    // An older build listened on a host name, which a save now refuses: the address it names now is used, read
    // once, so that the service answers where it did. A name that resolves to nothing is told by listen().
    const QString host = m_config.getString(Manager::WebServer, QStringLiteral("listen_host"));
    QString address = host;
    QString refused;
    Config::Validators::listenAddress(address, refused);
    if (refused.isEmpty())
        return;
    const QList<QHostAddress> addresses = QHostInfo::fromName(host.trimmed()).addresses();
    if (addresses.isEmpty())
        return;
    address = addresses.first().toString();
    QStringList corrections;
    Utils::Settings::Manager::apply(
        QJsonObject{{QStringLiteral("WebServer"), QJsonObject{{QStringLiteral("listen_host"), address}}}},
        &corrections);
    qWarning().noquote() << QStringLiteral("Configuration file %1: WebServer.listen_host: \"%2\" is no IP address: "
                                           "%3, the address it names now, is used")
                                .arg(Manager::filePath(), host, address);
}

void App::listen()
{
    const Listener &at = m_listener;
    const QString every = QString::number(double(m_listenRetryInterval.count()) / 1000);
    // The service goes on mirroring calls without its page and API: the one thing to change is named, and what
    // did not open is tried again until it does. A certificate that is missing stays so: HTTPS is tried again
    // only when its port or address failed it.
    const bool plain = m_httpServer.listen(at.host, at.port, at.useHttp);
    const bool secure = m_httpServer.listenSecure(at.host, at.securePort);
    m_retryPlain = at.useHttp && !plain;
    m_retrySecure = !secure && !canListen(at.host, at.securePort);
    if ((m_retryPlain || m_retrySecure) && !canListen(at.host, 0)) {
        qCritical().noquote() << QStringLiteral("This host cannot listen on %1: the /config page and the API do not "
                                                "answer; set WebServer.listen_host in %2 to one of its addresses, or "
                                                "to 0.0.0.0; this copy keeps mirroring calls and tries again every "
                                                "%3 s")
                                     .arg(at.host, Manager::filePath(), every);
    } else {
        if (m_retryPlain)
            qCritical().noquote() << QStringLiteral("HTTP port %1 cannot be opened: the /config page and the API do "
                                                    "not answer; this copy keeps mirroring calls and tries port %1 "
                                                    "again every %2 s; set WebServer.listen_port in %3 to a free port")
                                         .arg(at.port)
                                         .arg(every, Manager::filePath());
        if (m_retrySecure) {
            const QString line = QStringLiteral("HTTPS port %1 cannot be opened: %2; this copy keeps mirroring "
                                                "calls and tries port %1 again every %3 s; set "
                                                "WebServer.listen_port_secure in %4 to a free port")
                                     .arg(at.securePort)
                                     .arg(at.useHttp ? QStringLiteral("HTTPS does not answer")
                                                     : QStringLiteral("the /config page and the API do not answer"),
                                          every, Manager::filePath());
            if (at.useHttp)
                qWarning().noquote() << line;
            else
                qCritical().noquote() << line;
        } else if (!at.useHttp && !secure) {
            qCritical().noquote() << QStringLiteral("No listener: WebServer.use_http is off and HTTPS did not start, "
                                                    "so the /config page and the API do not answer; put a "
                                                    "certificate and its key into %1/ssl/server.crt and server.key, "
                                                    "or set WebServer.use_http to true in %2")
                                         .arg(QCoreApplication::applicationDirPath(), Manager::filePath());
        }
    }
    if (m_retryPlain || m_retrySecure)
        m_listenRetryTimer.start(m_listenRetryInterval);
}

void App::retryListen()
{
    // Probed first: a port still taken is tried again in silence, not with a warning every few seconds. The
    // server says once where it listens when it does.
    const Listener &at = m_listener;
    if (m_retryPlain && !m_httpServer.port() && canListen(at.host, at.port))
        m_retryPlain = !m_httpServer.listen(at.host, at.port, true);
    if (m_retrySecure && !m_httpServer.securePort() && canListen(at.host, at.securePort)) {
        // Free now: a failure is the certificate's, which the server names; it is not tried again.
        m_retrySecure = false;
        m_httpServer.listenSecure(at.host, at.securePort);
    }
    m_retryPlain = m_retryPlain && !m_httpServer.port();
    m_retrySecure = m_retrySecure && !m_httpServer.securePort();
    if (m_retryPlain || m_retrySecure)
        m_listenRetryTimer.start(m_listenRetryInterval);
}

void App::run()
{
    m_restartTimer.stop();
    m_configRestartPending = false;
    // The service is stopping: a configuration saved meanwhile must not start the links again.
    if (m_stopping)
        return;
    if (m_started) {
        qDebug() << QStringLiteral("Attempting to re-run. Ignore.");
        return;
    }
    setUpAsteriskConfig();
    m_linkSettings = Config::linkSettings();
    m_started = true;
    // Every restart after a loss comes here again: said once.
    if (std::exchange(m_firstRun, false))
        qInfo() << QStringLiteral("The application is running.");
    else
        qDebug() << QStringLiteral("The application is running.");
    reportMissingSettings();
    // The CRM link reports started at once when it can; that starts the PBX link.
    m_crmRunning = true;
    m_crm.start(false);
}

void App::setUpAsteriskConfig()
{
    if (!m_configUpdater.isConfigured())
        m_configUpdater.readAsteriskConfig();
}

void App::reportMissingSettings()
{
    // Without these the links fail at every run for a reason the operator would otherwise have to guess. Said
    // once for each setting missing; a restart after a loss while it is still missing says it only at debug level.
    QStringList missing;
    if (m_config.getString(Manager::Bitrix, QStringLiteral("host")).trimmed().isEmpty()
        || m_config.getString(Manager::Bitrix, QStringLiteral("user_login")).isEmpty()
        || m_config.getString(Manager::Bitrix, QStringLiteral("user_password")).isEmpty()) {
        missing.append(QStringLiteral("The CRM portal is not set up: enter its address, login and password on the "
                                      "/config page; until then no call reaches the CRM"));
    }
    if (m_config.getString(Manager::Asterisk, QStringLiteral("password")).isEmpty()) {
        missing.append(QStringLiteral("The Asterisk manager user \"%1\" has no password: enter the "
                                      "secret of its manager.conf section on the /config page")
                           .arg(m_config.getString(Manager::Asterisk, QStringLiteral("user"))));
    }
    for (const QString &line : qAsConst(missing)) {
        if (m_reportedMissingSettings.contains(line))
            qDebug().noquote() << line;
        else
            qWarning().noquote() << line;
    }
    m_reportedMissingSettings = missing;
}

void App::stop()
{
    m_started = false;
    // Only links that run are stopped: a restart asked for while one is pending finds them stopped.
    if (m_pbxRunning) {
        m_pbxRunning = false;
        m_pbx.stop();
    }
    if (m_crmRunning) {
        m_crmRunning = false;
        m_crm.stop();
    }
}

void App::shutDown()
{
    m_stopping = true;
    m_customizer.stop();
    m_restartTimer.stop();
    m_started = false;
    if (m_cleaning) {
        QCoreApplication::quit();
        return;
    }
    // The PBX link first: no event comes after it, and its last position is saved behind the CRM's work.
    if (m_pbxRunning) {
        m_pbxRunning = false;
        m_pbx.stop();
    }
    m_crmRunning = false;
    m_crm.shutDown(kStopWait).onResolve([]() { QCoreApplication::quit(); });
}

void App::restart(Promise<void, QJsonObject> callerPromise)
{
    stop();
    // The configuration may have named another script or switched the company lookup.
    m_api.updateSettings();
    readCustomizerSettings();

    // A caller still waiting on the promise being replaced learns the outcome of the fresh one, so
    // overlapping updates are all answered. Replaced before the run, so that a link lost at once
    // already reaches the caller.
    const Promise<bool, QJsonObject> previous = m_pbxStarted;
    Promise<bool, QJsonObject> fresh;
    fresh.onResolve([previous](bool value) { previous.resolve(value); });
    fresh.onReject([previous](const QJsonObject &error) { previous.reject(error); });
    fresh.onResolve([callerPromise](bool) { callerPromise.resolve(); });
    fresh.onReject([callerPromise](const QJsonObject &error) { callerPromise.reject(error); });
    m_pbxStarted = fresh;

    run();
}

void App::clean()
{
    m_cleaning = true;
    m_crmRunning = true;
    m_crm.start(true);
}

void App::onCRMStart()
{
    m_pbxRunning = true;
    m_pbx.start();
    if (!m_overrideEventsSql.isEmpty())
        m_pbx.setEventsSql(m_overrideEventsSql);
}

void App::onPBXStart()
{
    m_pbxStarted.resolve(true);
    // The PBX link has read its settings and its saved calls: it can say where an owed recording is now.
    m_crm.attachOwedRecordings();
}

void App::onPBXStopped(const QString &reason)
{
    // The link has logged the failure already; this names the manager user as well. A failure that goes
    // on (the link reminds of it itself) is not told again every minute.
    const bool repeated = m_pbx.isFailureRepeated();
    const QString line = QStringLiteral("Asterisk manager interface %1:%2 (user \"%3\"): %4")
                             .arg(m_config.getString(Manager::Asterisk, QStringLiteral("host")))
                             .arg(m_config.getInt(Manager::Asterisk, QStringLiteral("port")))
                             .arg(m_config.getString(Manager::Asterisk, QStringLiteral("user")), reason);
    if (repeated)
        qDebug().noquote() << line;
    else
        qInfo().noquote() << line;
    m_pbxStarted.reject(reconnectionError(QStringLiteral("ERROR_PBX_RECONNECTION")));
    scheduleRestart(reason, repeated, true);
}

void App::onCRMStopped(const QString &reason)
{
    m_pbxStarted.reject(reconnectionError(QStringLiteral("ERROR_CRM_RECONNECTION")));
    if (m_cleaning) {
        // Nothing would ever end the clean run otherwise: say so and leave with an error.
        qWarning() << QStringLiteral("Clean run failed: %1").arg(reason);
        stop();
        QTimer::singleShot(0, QCoreApplication::instance(), [] { QCoreApplication::exit(1); });
        return;
    }
    scheduleRestart(reason);
}

void App::scheduleRestart(const QString &reason, bool quiet, bool pbxLost)
{
    const auto log = [quiet](const QString &text) {
        if (quiet)
            qDebug() << text;
        else
            qInfo() << text;
    };
    log(QStringLiteral("Should restart. Reason: ") + reason);
    if (!m_started) {
        log(QStringLiteral("Already is about to restart"));
        return;
    }
    stop();
    m_restartTimer.start(m_restartDelay);
    m_restartAfterPbxLoss = pbxLost;
    log(QStringLiteral("Restart after %1 minutes").arg(double(m_restartDelay.count()) / 1000 / 60));
}

void App::onConfigChanged()
{
    m_api.updateSettings();
    readCustomizerSettings();
    if (!m_started) {
        if (isRestartPending())
            qInfo().noquote() << "The changed configuration is used at the restart already pending";
        return;
    }
    // A new web login, or a key read only at the service's start, is no reason to break off the calls' work.
    if (Config::linkSettings() == m_linkSettings)
        return;
    stop();
    m_restartTimer.start(m_configRestartDelay);
    m_configRestartPending = true;
    qInfo().noquote() << "Restarting. Reason: config changed";
}

void App::onUnbindEnded()
{
    m_cleaning = false;
    // Stopped first: stopping the CRM link writes its token file, which is to be left empty. The files are
    // where the links keep them.
    stop();
    const QString now = QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    const QMap<QString, QString> errors = m_config.update(
        QJsonObject{{QStringLiteral("App"), QJsonObject{{QStringLiteral("history_start_date"), now}}}});
    for (auto it = errors.cbegin(); it != errors.cend(); ++it)
        qWarning().noquote() << "Cannot save the configuration:" << it.key() << it.value();

    for (const QString &path : {m_crm.connector().tokenFilePath(), m_pbx.stateFilePath()}) {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.close();
    }
    m_crm.discardSavedWork();
    QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
}

void App::onDirectoryChanged(const QString &path)
{
    qDebug() << QStringLiteral("Directory %1 was changed").arg(path);
    Utils::Logger::reopen();
}

// ---- call events and call control ----

QString App::callStartMessage(const Entities::Call &call)
{
    QString direction;
    QString number;
    switch (call.type()) {
    case Entities::CallType::Incoming:
        direction = QStringLiteral("Incoming");
        number = call.from();
        break;
    case Entities::CallType::Outgoing:
        direction = QStringLiteral("Outgoing");
        number = call.to();
        break;
    default:
        direction = QStringLiteral("Local");
        number = call.to();
        break;
    }
    return QStringLiteral("%1 call started [%2] to the number [%3] through the trunk [%4]")
        .arg(direction, call.id(), number, call.trunk());
}

void App::onCallStart(const Entities::Call &call)
{
    const MsgBuilder builder = logTrace(call.id(), MsgBuilder::CallStarted, callStartMessage(call));
    m_crm.callStarted(call, builder, m_pbx.currentEventRow());
}

void App::onConversationRequest(const Entities::Conversation &conversation)
{
    const MsgBuilder builder =
        logTrace(conversation.callId(), MsgBuilder::ConversationRequested, conversation.toJsonString());
    m_crm.conversationRequested(conversation, builder, m_pbx.currentEventRow());
    // A call that is over or hours old is history, not something to show a user now.
    if (!conversation.isOutdated(m_pbx.pbxTime()))
        WebSocketServer::EventSender::sendEvent(QStringLiteral("conversation_requested"),
                                                conversationEvent(conversation));
}

void App::onConversationAccept(const Entities::Conversation &conversation)
{
    const MsgBuilder builder =
        logTrace(conversation.callId(), MsgBuilder::ConversationAccepted, conversation.toJsonString());
    m_crm.conversationAccepted(conversation, builder, m_pbx.currentEventRow());
    WebSocketServer::EventSender::sendEvent(QStringLiteral("conversation_accepted"), conversationEvent(conversation));
}

void App::onConversationEnd(const Entities::Conversation &conversation)
{
    const MsgBuilder builder =
        logTrace(conversation.callId(), MsgBuilder::ConversationEnded, conversation.toJsonString());
    m_crm.conversationEnded(conversation, builder, m_pbx.currentEventRow());
    WebSocketServer::EventSender::sendEvent(QStringLiteral("conversation_ended"), conversationEvent(conversation));
}

void App::onCallEnd(const Entities::Call &call)
{
    const MsgBuilder builder = logTrace(call.id(), MsgBuilder::CallEnded, call.toJsonString());
    m_crm.callEnded(call, builder, m_pbx.currentEventRow());
}

void App::onCallTransfer(const QString &callId)
{
    m_crm.callTransferred(callId, MsgBuilder(callId, MsgBuilder::CallTransferred, MsgBuilder::NoChildTask),
                          m_pbx.currentEventRow());
}

void App::onEntityFound(const QString &phone, const CRM::Entity &entity)
{
    WebSocketServer::EventSender::sendEvent(
        QStringLiteral("entity_found"),
        QJsonObject{{QStringLiteral("phone"), phone}, {QStringLiteral("entity"), entity.toJson()}});
}

} // namespace Orvix
