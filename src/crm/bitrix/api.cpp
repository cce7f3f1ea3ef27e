#include "crm/bitrix/api.h"

#include "config/generateddirectory.h"
#include "crm/bitrix/api_p.h"

#include <QDebug>
#include <QDir>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

using Config::Manager;
using Utils::MsgBuilder;

inline constexpr QLatin1String kStartEvent("onexternalcallstart");
inline constexpr QLatin1String kCallBackEvent("onexternalcallbackstart");
inline constexpr QLatin1String kRegistrationsFile("crm_registrations.json");

} // namespace

API::API(QObject *parent, Config::Manager config, const QSharedPointer<HttpClient::HttpClient> &client)
    : QObject(parent)
    , m_config(config)
    , m_connector(this, client)
    , m_relayClient(this, client)
    , m_taskQueue(this)
{
    connect(&m_connector, &Connector::started, this, &API::onBitrixConnectorStart);
    connect(&m_connector, &Connector::phoneCustomizationRequest, this, &API::phoneCustomizationRequest);
    connect(&m_connector, &Connector::searchParamsCustomizationRequest, this, &API::searchParamsCustomizationRequest);
    connect(&m_connector, &Connector::finalParamsCustomizationRequest, this, &API::finalParamsCustomizationRequest);
    connect(&m_connector, &Connector::createEntityCustomizationRequest, this, &API::createEntityCustomizationRequest);
    connect(&m_connector, &Connector::taskAddCustomizationRequest, this, &API::taskAddCustomizationRequest);
    connect(&m_connector, &Connector::newEntityWasCreated, this, &API::onNewEntityCreated);
    connect(this, &API::getLocales, &m_connector, &Connector::getLocales);
    connect(this, &API::getLocale, &m_connector, &Connector::getLocale);
    connect(this, &API::saveLocale, &m_connector, &Connector::saveLocale);
    connect(this, &API::deleteLocale, &m_connector, &Connector::deleteLocale);
    // Relayed only: a changed dictionary is no reason to restart anything.
    connect(&m_connector, &Connector::localeChanged, this, &API::localeChanged);
    connect(&m_connector, &Connector::connectionLost, this, &API::onConnectionLost);
    connect(&m_relayClient, &ClientC2C::externalCallStartRequest, this, &API::externalCallStartRequest);
    connect(&m_relayClient, &ClientC2C::externalCallBackStartRequest, this, &API::externalCallBackStartRequest);
    // The kept events first: a registration that leaves the file with its call's finish must not leave an
    // event of that call done already behind, which would register the call again after a kill; and the facts
    // a kept event's stage read go before the facts of the later events of its call.
    m_ledger.setBeforeSave([self = QPointer<API>(this)]() {
        if (self)
            self->m_journal.write();
    });
    // The facts the stages of a CEL batch's events changed go together, with one write, in every write of the
    // kept events: after what the stages read, before the marks of the events done, before the PBX link's state.
    m_journal.setBeforeMarks([self = QPointer<API>(this)]() { return self && self->m_ledger.hasUnsavedFacts(); },
                             [self = QPointer<API>(this)]() {
                                 if (self)
                                     self->m_ledger.saveFacts();
                             });
    m_ledger.setClock([self = QPointer<API>(this)]() { return self ? self->pbxNow() : QDateTime(); });
}

API::~API()
{
    // The connector's answers still due must not reach the half-destroyed tables. Its requests die with it
    // unsettled, as in a kill: stopped, it would fail those waiting for a token, and a finish failed here
    // would leave the saved registrations, never to be sent again at the next start.
    m_connector.disconnect(this);
    m_relayClient.stop();
}

void API::setGeneratedDirectory(const QString &path)
{
    m_generatedDirectory = path;
}

QString API::registrationsFilePath() const
{
    QString directory = m_generatedDirectory;
    if (directory.isEmpty())
        directory = Config::GeneratedDirectory::path();
    return QDir(directory).filePath(kRegistrationsFile);
}

void API::setOwnServer(const QString &host, int port, int securePort, bool useHttp)
{
    m_ownServer = OwnServer{host, port, securePort, useHttp};
}

void API::readSettings()
{
    m_postLeadInfoToChat = Manager::getBool(Manager::App, QStringLiteral("post_lead_info_to_chat"));
    m_addressExt = Manager::getString(Manager::WebServer, QStringLiteral("address_ext"));
    m_addressInt = Manager::getString(Manager::WebServer, QStringLiteral("address_int"));
    if (m_ownServer) {
        m_listenHost = m_ownServer->host;
        m_listenPort = m_ownServer->port;
        m_listenPortSecure = m_ownServer->securePort;
        m_useHttp = m_ownServer->useHttp;
    } else {
        m_listenHost = Manager::getString(Manager::WebServer, QStringLiteral("listen_host"));
        m_listenPort = Manager::getInt(Manager::WebServer, QStringLiteral("listen_port"));
        m_listenPortSecure = Manager::getInt(Manager::WebServer, QStringLiteral("listen_port_secure"));
        m_useHttp = Manager::getBool(Manager::WebServer, QStringLiteral("use_http"));
    }

    m_noLeadMode = Manager::getBool(Manager::App, QStringLiteral("no_lead_mode"));
    m_createContactsForIncoming = Manager::getBool(Manager::App, QStringLiteral("create_contacts_for_incoming"));
    m_createContactsForOutgoing = Manager::getBool(Manager::App, QStringLiteral("create_contacts_for_outgoing"));
    m_createDealsForIncoming = Manager::getBool(Manager::App, QStringLiteral("create_deals_for_incoming"));
    m_createDealsForOutgoing = Manager::getBool(Manager::App, QStringLiteral("create_deals_for_outgoing"));
    m_createLeadsForIncoming = Manager::getBool(Manager::App, QStringLiteral("create_leads_for_incoming"));
    m_createLeadsForOutgoing = Manager::getBool(Manager::App, QStringLiteral("create_leads_for_outgoing"));
    m_storeRecordingsInCrm = Manager::getBool(Manager::App, QStringLiteral("store_recordings_in_crm"));
    m_createNewActivityAtTransfer = Manager::getBool(Manager::App, QStringLiteral("create_new_activity_at_transfer"));
    m_createTaskForUnanswered = Manager::getBool(Manager::App, QStringLiteral("create_task_for_unanswered"));
}

void API::start(bool clean)
{
    m_clean = clean;
    readSettings();
    m_connector.setPhonePrefixes(Manager::getStringList(Manager::App, QStringLiteral("prefixes")));
    m_connector.setBusinessLogicSettings(Manager::getStringMap(Manager::App, QStringLiteral("trunk_to_source")),
                                         Manager::getIntList(Manager::Bitrix, QStringLiteral("fallback_users")));

    const QJsonObject bitrix = Manager::moduleObject(Manager::Bitrix);
    const int cacheStorageTimeMin = bitrix.value(QLatin1String("cache_storage_time_min")).toInt(0);
    const int executionLoopIntervalMsec = bitrix.value(QLatin1String("execution_loop_interval_msec")).toInt(500);
    const QString locale = Manager::getString(Manager::App, QStringLiteral("locale"));
    const QString generatedPostfix = Config::GeneratedDirectory::postfix();
    const QString password = bitrix.value(QLatin1String("user_password")).toString();
    const QString login = bitrix.value(QLatin1String("user_login")).toString();
    const int userId = bitrix.value(QLatin1String("user_id")).toInt(0);
    const QString host = bitrix.value(QLatin1String("host")).toString();

    m_ledger.setFilePath(registrationsFilePath());
    // A clean run reads none of the saved work; it empties the files only once the portal's handlers are
    // unbound (discardSavedWork), so that a run the portal refuses loses nothing.
    if (!clean) {
        loadKeptEvents();
        loadSavedRegistrations();
    }
    // Emits started() before it returns, which runs onBitrixConnectorStart.
    m_connector.start(host, userId, login, password, generatedPostfix, locale, m_noLeadMode,
                      executionLoopIntervalMsec, cacheStorageTimeMin);
}

void API::stop()
{
    m_connector.stop(true);
    m_relayClient.stop();
}

void API::onBitrixConnectorStart()
{
    if (m_clean) {
        unbindAll();
        m_taskQueue.start();
        return;
    }
    const bool useRelay = Manager::getBool(Manager::Bitrix, QStringLiteral("use_click_to_call_server"));
    if (!useRelay && m_addressExt.isEmpty()) {
        // The listen address ("0.0.0.0" by default) is bound as it is; a portal reaches that rarely, if ever.
        // Said once a process for an address, not at every restart of the links.
        static QString warnedFor;
        const QString url = serverUrl(false);
        const QString line = QStringLiteral("The WebServer setting address_ext is empty: click-to-call events are "
                                            "bound to %1, which the portal may not reach; fill in address_ext "
                                            "with the address the portal reaches this server at")
                                 .arg(url);
        if (std::exchange(warnedFor, url) == url)
            qDebug().noquote() << line;
        else
            qWarning().noquote() << line;
    }
    bindEvent(kStartEvent, QStringLiteral("/events/external_call_start"), QStringLiteral("/make_call"), useRelay);
    bindEvent(kCallBackEvent, QStringLiteral("/events/external_call_back_start"), QStringLiteral("/make_call_back"),
              useRelay);
    const bool useExternalLines = Manager::getBool(Manager::Bitrix, QStringLiteral("use_external_lines"));
    m_connector.setUseExternalLines(useExternalLines);
    if (useExternalLines)
        addExternalLines();
    if (useRelay) {
        m_relayClient.setPortalAddress(Manager::getString(Manager::Bitrix, QStringLiteral("host")));
        m_relayClient.start();
    }
    resumeKeptEvents();
    m_taskQueue.start();
    Q_EMIT started();
}

void API::unbindAll()
{
    const QList<Utils::Promise<int>> cleanups{m_connector.unbindEventHandlers(kStartEvent),
                                              m_connector.unbindEventHandlers(kCallBackEvent),
                                              m_connector.deleteExternalLines()};
    // Ends however the three went: a clean run must not hang on a portal that refuses.
    Utils::Promise<void>::all(cleanups).onResolve([self = QPointer<API>(this)]() {
        if (self)
            Q_EMIT self->unbindEnded();
    });
}

QString API::ownServerAddress(const QString &host) const
{
    QString url = host;
    if (!url.contains(QLatin1String("http")))
        url.prepend(m_useHttp ? QStringLiteral("http://") : QStringLiteral("https://"));
    if (url.indexOf(QLatin1Char(':'), 7) < 0)
        url += QLatin1Char(':') + QString::number(m_useHttp ? m_listenPort : m_listenPortSecure);
    return url;
}

QString API::serverUrl(bool useRelay) const
{
    if (useRelay)
        return ClientC2C::defaultServerUrl();
    return ownServerAddress(m_addressExt.isEmpty() ? m_listenHost : m_addressExt);
}

QString API::eventHandlerUrl(const QString &route) const
{
    // The key proves to our routes that an event comes from the portal we bound it at.
    return QStringLiteral("%1%2?%3=%4")
        .arg(serverUrl(false), route, Config::GeneratedDirectory::kEventKeyParameter,
             Config::GeneratedDirectory::eventKey());
}

void API::bindEvent(const QString &event, const QString &route, const QString &relayRoute, bool useRelay)
{
    unbindStaleHandlers(event, route, useRelay);
    if (useRelay) {
        m_connector.subscribeToEvent(event, serverUrl(true) + relayRoute);
        return;
    }
    if (Config::GeneratedDirectory::eventKey().isEmpty()) {
        qWarning().noquote() << QStringLiteral("The key for the portal's events cannot be kept in %1: %2 is not bound, "
                                               "click-to-call does not work")
                                    .arg(Config::GeneratedDirectory::path(), event);
        return;
    }
    m_connector.subscribeToEvent(event, eventHandlerUrl(route));
}

void API::unbindStaleHandlers(const QString &event, const QString &route, bool useRelay)
{
    // Our own handlers bound without the key (or with one we no longer have) only bring events our routes
    // refuse, and those with our key at another address or port (a listen port saved before a restart of the
    // links) bring them where nothing listens, or a second time; other services' handlers are theirs. With the
    // relay, the events come through it alone: one still bound to our route would dial every click a second
    // time.
    const QUrl own(serverUrl(false) + route);
    const QString key = Config::GeneratedDirectory::eventKey();
    const auto port = [](const QUrl &url) { return url.port(url.scheme() == QLatin1String("https") ? 443 : 80); };
    m_connector.getEventHandlers(event).onResolve(
        [self = QPointer<API>(this), event, own, key, useRelay, port](const QStringList &handlers) {
            QStringList stale;
            for (const QString &handler : handlers) {
                const QUrl url(handler, QUrl::TolerantMode);
                if (url.path() != own.path())
                    continue;
                const bool here = url.host().compare(own.host(), Qt::CaseInsensitive) == 0 && port(url) == port(own);
                const QString handlerKey =
                    QUrlQuery(url).queryItemValue(Config::GeneratedDirectory::kEventKeyParameter);
                const bool ours = !key.isEmpty() && handlerKey == key;
                if (useRelay ? here || ours : (here ? handlerKey != key : ours))
                    stale.append(handler);
            }
            if (!self || stale.isEmpty())
                return;
            qInfo().noquote() << (useRelay ? QStringLiteral("Unbinding %1 handler(s) of %2 bound to this server: "
                                                            "its events come through the relay")
                                           : QStringLiteral("Unbinding %1 handler(s) of %2 bound without the current "
                                                            "key or to another address of this server"))
                                     .arg(stale.size())
                                     .arg(event);
            self->m_connector.unbindEventHandlers(event, stale);
        });
}

void API::addExternalLines()
{
    m_connector.getExternalLines().onResolve([self = QPointer<API>(this)](const QHash<QString, QString> &lines) {
        if (!self)
            return;
        const QStringList trunks =
            Manager::getStringMap(Manager::App, QStringLiteral("trunk_to_source")).keys();
        QStringList missing;
        for (const QString &trunk : trunks) {
            if (!lines.contains(trunk))
                missing.append(trunk);
        }
        if (!missing.isEmpty())
            self->m_connector.addExternalLines(missing);
    });
}

template <typename T>
Utils::Promise<T, QString> API::forClient(const std::function<Utils::Promise<T>()> &work)
{
    Utils::Promise<T, QString> result;
    if (!m_connector.isStarted()) {
        result.reject(m_connector.unreachableReason());
        return result;
    }
    const Utils::Promise<T> sent = work();
    if constexpr (std::is_void_v<T>)
        sent.onResolve([result]() { result.resolve(); });
    else
        sent.onResolve([result](T value) { result.resolve(std::move(value)); });
    sent.onReject([self = QPointer<API>(this), result]() {
        result.reject(self ? self->m_connector.failureReason() : QString());
    });
    return result;
}

Utils::Promise<QJsonArray, QString> API::getExternalLines()
{
    return forClient<QJsonArray>([this]() {
        Utils::Promise<QJsonArray> list;
        m_connector.getExternalLines()
            .onResolve([list](const QHash<QString, QString> &lines) {
                QJsonArray rows;
                for (auto it = lines.cbegin(); it != lines.cend(); ++it)
                    rows.append(QJsonObject{{QStringLiteral("NUMBER"), it.key()}, {QStringLiteral("NAME"), it.value()}});
                list.resolve(rows);
            })
            .onReject([list]() { list.reject(); });
        return list;
    });
}

Utils::Promise<QJsonArray, QString> API::getSourceList()
{
    return forClient<QJsonArray>([this]() { return m_connector.getSourceList(); });
}

Utils::Promise<QJsonArray, QString> API::getUserList(const QJsonObject &filter)
{
    return forClient<QJsonArray>([this, filter]() { return m_connector.getUserList(filter, MsgBuilder()); });
}

Utils::Promise<void, QString> API::updateExternalLine(const QString &number, const QString &name)
{
    return forClient<void>([this, number, name]() { return m_connector.updateExternalLine(number, name); });
}

Utils::Promise<Entity> API::getUser(int userId)
{
    return m_connector.getUser(userId);
}

void API::sendAnyRequest(const QString &method, const QJsonObject &params, const QString &httpMethod,
                         Utils::Promise<QJsonValue, QString> promise)
{
    const auto verb = httpMethod.compare(QLatin1String("POST"), Qt::CaseInsensitive) == 0
        ? HttpClient::Request::Post
        : HttpClient::Request::Get;
    forClient<QJsonValue>([this, method, params, verb]() { return m_connector.makeCustomRequest(method, params, verb); })
        .proxyTo(promise);
}

Utils::Promise<Entity, LookupFailure> API::loadResponsible(const QString &phone)
{
    Utils::Promise<Entity, LookupFailure> result;
    // A link waiting for its restart sends nothing: the client learns why at once, not after a wait.
    if (!m_connector.isStarted()) {
        result.reject(LookupFailure(LookupFailure::Unavailable, m_connector.unreachableReason()));
        return result;
    }
    if (m_waitingLookups >= kMaxWaitingLookups) {
        result.reject(LookupFailure::Busy);
        return result;
    }
    // Counted until the portal answered: a lookup that outlived its deadline still holds its place in the queue.
    ++m_waitingLookups;
    Utils::Promise<Entity, bool> lookup;
    const auto done = [self = QPointer<API>(this)]() {
        if (self)
            --self->m_waitingLookups;
    };
    lookup.onResolve([done](const Entity &) { done(); });
    lookup.onReject([done](bool) { done(); });
    const auto unavailable = [self = QPointer<API>(this), result](const QString &why) {
        result.reject(LookupFailure(LookupFailure::Unavailable,
                                    self ? self->m_connector.unreachableReason(why) : why));
    };
    lookup.onResolve([result](const Entity &entity) { result.resolve(entity); });
    lookup.onReject([result, unavailable](bool failed) {
        if (failed)
            unavailable(QString());
        else
            result.reject(LookupFailure::NotFound);
    });
    const std::chrono::milliseconds deadline = m_lookupDeadline;
    QTimer::singleShot(deadline, this, [self = QPointer<API>(this), unavailable, deadline]() {
        // A portal that refused the tries so far says so, rather than that it gave no answer.
        const QString seen = self ? self->m_connector.lastUnreachable() : QString();
        unavailable(seen.isEmpty() ? QStringLiteral("no answer within %1 s").arg(double(deadline.count()) / 1000)
                                   : seen);
    });
    m_connector.searchByPhone(m_connector.phoneVariants(phone), QJsonObject(), MsgBuilder())
        .onResolve([self = QPointer<API>(this), lookup](const Entity &entity) {
            if (!self)
                return lookup.reject(true);
            self->m_connector.loadEntityConnectedEntities(entity)
                .onResolve([lookup](const Entity &loaded) { lookup.resolve(loaded); })
                .onReject([lookup]() { lookup.reject(true); });
        })
        .onReject([lookup](bool failed) { lookup.reject(failed); });
    return result;
}

Utils::Promise<QString, LookupFailure> API::getResponsibleForPhone(const QString &phone)
{
    Utils::Promise<QString, LookupFailure> result;
    loadResponsible(phone)
        .onResolve([result](const Entity &entity) {
            const QString number = entity.responsiblePhone();
            if (number.isEmpty())
                result.reject(LookupFailure::NotFound);
            else
                result.resolve(number);
        })
        .onReject([result](LookupFailure failure) { result.reject(failure); });
    return result;
}

Utils::Promise<QJsonObject, LookupFailure> API::getResponsibleData(const QString &phone)
{
    Utils::Promise<QJsonObject, LookupFailure> result;
    loadResponsible(phone)
        .onResolve([result](const Entity &entity) {
            const QString number = entity.responsiblePhone();
            if (number.isEmpty()) {
                result.reject(LookupFailure::NotFound);
                return;
            }
            QJsonObject answer{{QStringLiteral("number"), number}};
            if (entity.type() == EntityType::Contact || entity.type() == EntityType::Lead)
                answer.insert(QStringLiteral("name"), entity.name());
            result.resolve(answer);
        })
        .onReject([result](LookupFailure failure) { result.reject(failure); });
    return result;
}

void API::onConnectionLost()
{
    Q_EMIT connectionLost(QStringLiteral("Lost CRM connection"));
}

void API::onNewEntityCreated(const QString &id)
{
    changeFacts(id, [](RegistrationLedger::CallFacts &facts) { facts.entityCreated = true; });
    m_newEntityCalls.insert(id);
}

void API::changeFacts(const QString &id, const std::function<void(RegistrationLedger::CallFacts &)> &change)
{
    RegistrationLedger::CallFacts facts = m_ledger.facts(id);
    change(facts);
    m_ledger.setFacts(id, facts);
}

void API::executeNextTask()
{
    m_taskQueue.executeNextTask();
}

void API::enqueueTask(const MsgBuilder &trace, TaskQueue::Function function)
{
    m_taskQueue.enqueue(trace, std::move(function));
}

// ---- Remembered click-to-calls and per-call questions ----

void API::rememberCall(const QString &phone, const QJsonObject &event)
{
    m_rememberedCalls.remember(m_connector.phoneWithoutPrefixes(phone), event);
}

bool API::hasRememberedCall(const QString &phone)
{
    return m_rememberedCalls.has(m_connector.phoneWithoutPrefixes(phone));
}

CallRegistration API::findRememberedCall(const QString &phone) const
{
    return m_rememberedCalls.find(m_connector.phoneWithoutPrefixes(phone));
}

void API::setRoistatData(const QString &callId, const QJsonObject &data)
{
    qDebug() << "Insert new roistat data:" << data;
    qDebug() << "Size = " << m_roistatData.size();
    m_roistatData.insert(callId, data);
}

bool API::wasEntityCreated(const QString &id, const MsgBuilder &trace) const
{
    const bool created = m_ledger.facts(id).entityCreated;
    // Only a trace with a call id starts its lines with "[id]"; an empty one asks silently.
    if (trace.build(MsgBuilder::Yes, QString()).startsWith(QLatin1Char('['))) {
        MsgBuilder line = trace;
        line.setChildTask(m_noLeadMode ? MsgBuilder::WasContactCreated : MsgBuilder::WasLeadCreated);
        qDebug().noquote() << line.build(created ? MsgBuilder::Yes : MsgBuilder::No, QString());
    }
    return created;
}

bool API::wasTransferred(const Entities::Conversation &conversation, const MsgBuilder &trace) const
{
    const RegistrationLedger::CallFacts facts = m_ledger.facts(conversation.callId());
    // A leg asked for again (its rows read again after a stop) is no transfer of itself.
    const bool transferred = facts.transferred
        || std::any_of(facts.accepted.cbegin(), facts.accepted.cend(),
                       [&conversation](const QString &leg) { return leg != conversation.id(); });
    MsgBuilder line = trace;
    line.setChildTask(MsgBuilder::WasTransferred);
    qDebug().noquote() << line.build(transferred ? MsgBuilder::Yes : MsgBuilder::No, conversation.toJsonString());
    return transferred;
}

// ---- Saved registrations ----

void API::loadSavedRegistrations()
{
    bool stamped = false;
    const RegistrationStore::Entries entries = m_ledger.load(&stamped);
    int resent = 0;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        if (m_pendingRegistrations.contains(it.key()))
            continue;
        const RegistrationLedger::Restore restore = m_ledger.restore(it.key(), *it);
        if (restore == RegistrationLedger::Restore::Skip)
            continue;
        Registration registration;
        registration.resolve(it->registration);
        m_pendingRegistrations.insert(it.key(), registration);
        // A call still going on keeps the registration it is bound to; a file of an older version keeps it only
        // with its registrations.
        RegistrationLedger::CallFacts facts = m_ledger.facts(it->callId);
        if (facts.bound.callId().isEmpty() || (it->entityCreated && !facts.entityCreated)) {
            if (facts.bound.callId().isEmpty())
                facts.bound = it->registration;
            facts.entityCreated = facts.entityCreated || it->entityCreated;
            m_ledger.setFacts(it->callId, facts);
            stamped = true;
        }
        if (restore == RegistrationLedger::Restore::Resend) {
            resendOwedFinish(it.key(), *it);
            ++resent;
        }
    }
    if (!entries.isEmpty())
        qInfo().noquote() << QStringLiteral("Open CRM registrations restored: %1").arg(entries.size());
    if (resent > 0)
        qInfo().noquote()
            << QStringLiteral("Finishes sent again, their answers not received before the stop: %1").arg(resent);
    if (stamped)
        m_ledger.save();
}

void API::resendOwedFinish(const QString &key, const RegistrationStore::Entry &entry)
{
    const Entities::Conversation conversation = entry.finishing;
    const MsgBuilder trace(entry.callId, key == entry.callId ? MsgBuilder::CallEnded : MsgBuilder::ConversationEnded,
                           MsgBuilder::NoChildTask);
    const QString callId = entry.callId;
    enqueueTask(trace, [self = QPointer<API>(this), key, callId, conversation, trace]() {
        Utils::Promise<void> done;
        if (!self) {
            done.resolve();
            return done;
        }
        ApiDetail::whenSettled(self->registerConversationEnd(key, conversation, trace), [self, key, callId, done]() {
            // The finish of the call's own registration is its end's: no end of the call comes later to forget
            // what the call left here, unless one of its events is kept for the end.
            if (self && key == callId && !self->m_journal.hasCall(callId)) {
                self->m_ledger.forgetCall(callId);
                self->m_ledger.forgetFacts({callId});
            }
            done.resolve();
        });
        return done;
    });
}

void API::keepFinish(const QString &callId, const QString &crmCallId, const MsgBuilder &trace)
{
    // Owed since the finish was first sent; a file of an older version without that time keeps it.
    if (owedSecs(m_ledger.owed(crmCallId, {})) > ApiDetail::kOwedForAtMostSecs) {
        qWarning().noquote() << trace.build(MsgBuilder::Error,
                                            QStringLiteral("The finish of CRM call [%1] of call [%2] has not reached "
                                                           "the portal for a day; it is given up with its recording")
                                                .arg(crmCallId, callId));
        return;
    }
    qWarning().noquote() << trace.build(MsgBuilder::Warning,
                                        QStringLiteral("The finish of CRM call [%1] of call [%2] did not reach the "
                                                       "portal; it is sent again when the link to the CRM starts again")
                                            .arg(crmCallId, callId));
    // Once each start: the next start sends it again, though this run sent it already.
    m_ledger.keep(crmCallId);
}

void API::dropPending(const QString &key)
{
    m_pendingRegistrations.remove(key);
    m_ledger.forget(key);
}

} // namespace Orvix::CRM::Bitrix
