// The App's answers to the requests of the actions and of the CRM flow: call control, click-to-call events,
// configuration and checks, CRM look-ups and lists, customisation hooks and recording paths.

#include "app/app.h"

#include "config/recordingsdirectory.h"
#include "config/takeseffect.h"
#include "httpserver/accessfailures.h"
#include "utils/confinedpath.h"
#include "utils/msgbuilder.h"
#include "webinterface/configpage.h"

#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QLoggingCategory>
#include <QPointer>
#include <QTimer>

namespace Orvix {

namespace {

using Config::Manager;
using Utils::MsgBuilder;
using Utils::Promise;

// What the log shows in place of a password.
const QString kMaskedPassword = QStringLiteral("******");

// The recording look-ups of clients of the public route, for following them when QT_LOGGING_RULES enables it.
Q_LOGGING_CATEGORY(lcRecordingRoute, "app.recordings", QtInfoMsg)

// A failing script never fails the step that asked: the step goes on with its own input.
template <typename T>
void customizeOrKeep(const Promise<T, QString> &customized, const T &input, const Promise<T, QString> &promise)
{
    customized.onResolve([promise](const T &result) { promise.resolve(result); });
    customized.onReject([promise, input](const QString &) { promise.resolve(input); });
}

} // namespace

void App::relayCallControl(const Promise<void, QString> &sent, const Promise<void, QString> &promise)
{
    sent.onResolve([promise]() { promise.resolve(); });
    // While the links wait for their restart, the caller learns when the PBX is tried again.
    sent.onReject([self = QPointer<App>(this), promise](const QString &reason) {
        if (!self || !self->m_restartTimer.isActive()) {
            promise.reject(reason);
            return;
        }
        promise.reject(QStringLiteral("%1; next try in %2 s").arg(reason).arg(self->restartSecondsLeft()));
    });
}

void App::onOriginateRequest(const QString &from, const QString &to, Promise<void, QString> promise)
{
    qInfo() << QStringLiteral("Originate request received: %1 => %2").arg(from, to);
    relayCallControl(m_pbx.originate(from, to, QString()), promise);
}

void App::onRedirectRequest(const QString &channelId, const QString &to, Promise<void, QString> promise)
{
    qInfo() << QStringLiteral("Получен запрос на redirect: %1 => %2").arg(channelId, to);
    relayCallControl(m_pbx.redirect(channelId, to), promise);
}

void App::onTransferRequest(const QString &number, const QString &to, bool blind,
                            Promise<void, QString> promise)
{
    if (blind)
        qDebug() << QStringLiteral("Blind transfer request: %1 => %2").arg(number, to);
    else
        qDebug() << QStringLiteral("Attended transfer request: %1 => %2").arg(number, to);
    relayCallControl(m_pbx.transfer(number, to, blind), promise);
}

void App::onHangupRequest(const QString &number, Promise<void, QString> promise)
{
    qDebug() << QStringLiteral("Hangup request for number %1").arg(number);
    relayCallControl(m_pbx.hangup(number), promise);
}

void App::onSetRoistatData(const QString &callId, const QJsonObject &data)
{
    qDebug() << QStringLiteral("Set roistat data:") << callId << data;
    m_crm.setRoistatData(callId, data);
}

void App::onExternalCallStartEvent(int userId, const QString &phone, const QString &lineNumber,
                                   const QJsonObject &event)
{
    const MsgBuilder builder(QString(), MsgBuilder::NoTask, MsgBuilder::NoChildTask);
    qDebug().noquote() << builder.build(
        MsgBuilder::Start,
        QStringLiteral("onExternalCallStart event received from user [%1] to phone [%2]").arg(userId).arg(phone));
    if (userId <= 0 || phone.trimmed().isEmpty())
        return;
    // The portal is answered before the call goes out: an employee who clicked learns only from the log why
    // nothing rang. Nothing is kept for later: a call that rang a minute after the click would surprise.
    const auto notDialled = [userId, phone](const QString &from, const QString &reason) {
        qWarning().noquote() << QStringLiteral("Click-to-call of user [%1]%2 to [%3] is not dialled: %4")
                                    .arg(userId)
                                    .arg(from.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(from), phone, reason);
    };
    const QString away = linksAwayReason();
    if (!away.isEmpty()) {
        notDialled(QString(), away);
        return;
    }

    m_crm.getUser(userId)
        .onResolve([self = QPointer<App>(this), phone, lineNumber, event, notDialled](const CRM::Entity &user) {
            if (!self)
                return;
            const QString from = user.shortestPhone();
            if (from.isEmpty()) {
                qWarning() << QStringLiteral("User [%1] hasn't any number").arg(user.id());
                return;
            }
            self->m_pbx.originate(from, phone, lineNumber).onReject([notDialled, from](const QString &reason) {
                notDialled(from, reason);
            });
            // The outgoing call the PBX is about to report belongs to the CRM's own click-to-call.
            self->m_crm.rememberCall(phone, event);
        })
        .onReject([notDialled]() { notDialled(QString(), QStringLiteral("the CRM portal did not give the user")); });
}

void App::onCallBackStartEvent(const QString &phone, const QString &lineNumber)
{
    qDebug() << QStringLiteral("onExternalCallBackStart event received to phone [%1]").arg(phone);
    if (phone.trimmed().isEmpty())
        return;
    const QString away = linksAwayReason();
    if (!away.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Call-back to [%1] is not dialled: %2").arg(phone, away);
        return;
    }
    m_pbx.callBackOriginate(phone, lineNumber).onReject([phone]() {
        qWarning().noquote() << QStringLiteral("Call-back to [%1] is not dialled: the PBX did not take it").arg(phone);
    });
}

// ---- requests, checks and customisation ----

void App::onAuthRequest(const QString &user, const QString &password, Promise<void> promise)
{
    // The password is checked, never written down. A failure is logged by the /auth action, which knows the
    // client and sums a guessing client's failures up once a minute.
    if (user == m_config.getString(Manager::WebServer, QStringLiteral("user"))
        && password == m_config.getString(Manager::WebServer, QStringLiteral("password"))) {
        qInfo() << QStringLiteral("Получен запрос авторизации: %1, %2").arg(user, kMaskedPassword);
        promise.resolve();
        return;
    }
    promise.reject();
}

void App::onConfigUpdateRequest(const QJsonObject &json, Promise<QString, QJsonObject> promise)
{
    m_configUpdater.updateConfig(json)
        .onResolve([self = QPointer<App>(this), promise, json]() {
            // Written; when the service is going away, or none of the keys is one the links read (a new web
            // login, a key of the next start), nothing restarts.
            if (!self || !Config::changesTheLinks(json)) {
                promise.resolve(WebInterface::ConfigPage::savedNote(json, 0));
                return;
            }
            Promise<void, QJsonObject> restarted;
            restarted.onResolve([promise, json] { promise.resolve(WebInterface::ConfigPage::savedNote(json, 0)); });
            // Written all the same: the restart the loss schedules (right after this) applies it.
            restarted.onReject([self, promise, json](const QJsonObject &) {
                if (self)
                    QTimer::singleShot(0, self, [self, promise, json] {
                        promise.resolve(WebInterface::ConfigPage::savedNote(json, self->restartWaitSeconds()));
                    });
                else
                    promise.resolve(WebInterface::ConfigPage::savedNote(json, 0));
            });
            self->restart(restarted);
        })
        .onReject([promise](const QJsonObject &errors) { promise.reject(errors); });
}

void App::onCustomCrmRequest(const QString &method, const QJsonObject &params, const QString &httpMethod,
                             Promise<QJsonValue, QString> promise)
{
    Promise<QJsonValue, QString> sent;
    relayCrmRequest(sent, promise);
    m_crm.sendAnyRequest(method, params, httpMethod, sent);
}

void App::onExecuteSqlRequest(const QString &sql, Promise<QJsonObject, QString> promise)
{
    // The statement goes through the PBX link's database connection, which is down while the links are: the
    // client learns why, not the state of a worker.
    Promise<QJsonObject, QString> sent;
    sent.onResolve([promise](const QJsonObject &rows) { promise.resolve(rows); });
    sent.onReject([self = QPointer<App>(this), promise](const QString &reason) {
        const QString away = self ? self->linksAwayReason() : QString();
        if (!away.isEmpty())
            promise.reject(away);
        else if (self && !self->m_pbxRunning)
            promise.reject(QStringLiteral("the PBX link is not running; it starts again in a moment"));
        else
            promise.reject(reason);
    });
    m_pbx.executeSqlQuery(sql, sent);
}

void App::onRestartWaitRequest(Promise<int> promise)
{
    promise.resolve(restartWaitSeconds());
}

int App::restartSecondsLeft() const
{
    // A coarse timer may fire a little late; its own interval is the most there is to wait.
    const int remaining = qMin(m_restartTimer.remainingTime(), m_restartTimer.interval());
    return (remaining + 999) / 1000;
}

int App::restartWaitSeconds() const
{
    return m_restartTimer.isActive() && !m_configRestartPending ? restartSecondsLeft() : 0;
}

QString App::linksAwayReason() const
{
    const int seconds = restartWaitSeconds();
    if (seconds == 0)
        return QString();
    return QStringLiteral("%1; the links restart in %2 s")
        .arg(m_restartAfterPbxLoss ? QStringLiteral("the PBX connection was lost")
                                   : QStringLiteral("the connection to the CRM portal was lost"))
        .arg(seconds);
}

QString App::crmFailureReason(const QString &reason) const
{
    // A lost PBX stops the CRM link too, so the portal was never asked: its own words would blame it.
    const QString away = m_restartAfterPbxLoss ? linksAwayReason() : QString();
    return away.isEmpty() ? reason : away;
}

template <typename T>
void App::relayCrmRequest(const Promise<T, QString> &sent, const Promise<T, QString> &promise)
{
    if constexpr (std::is_void_v<T>)
        sent.onResolve([promise]() { promise.resolve(); });
    else
        sent.onResolve([promise](const T &value) { promise.resolve(value); });
    sent.onReject([self = QPointer<App>(this), promise](const QString &reason) {
        promise.reject(self ? self->crmFailureReason(reason) : reason);
    });
}

template <typename T>
void App::relayLookup(const Promise<T, CRM::Bitrix::LookupFailure> &sent,
                      const Promise<T, CRM::Bitrix::LookupFailure> &promise)
{
    sent.onResolve([promise](const T &value) { promise.resolve(value); });
    sent.onReject([self = QPointer<App>(this), promise](CRM::Bitrix::LookupFailure failure) {
        if (self && failure.kind == CRM::Bitrix::LookupFailure::Unavailable)
            failure.reason = self->crmFailureReason(failure.reason);
        promise.reject(failure);
    });
}

void App::onLocaleChanged(const QString &fileName)
{
    const int end = fileName.indexOf(QLatin1String(".json"));
    const QString locale = end < 0 ? fileName : fileName.left(end);
    // Saving the same locale again would change nothing but the file's time.
    if (locale != m_config.getString(Manager::App, QStringLiteral("locale"))) {
        m_configUpdater.updateConfig(QJsonObject{{QStringLiteral("App"), QJsonObject{{QStringLiteral("locale"), locale}}}});
        // The CRM link uses it already: a later save must not take it for a change the links are to run again for.
        QJsonObject app = m_linkSettings.value(QStringLiteral("App")).toObject();
        app.insert(QStringLiteral("locale"), m_config.getString(Manager::App, QStringLiteral("locale")));
        m_linkSettings.insert(QStringLiteral("App"), app);
    }
    qDebug() << QStringLiteral("Change locale on: ") + fileName;
}

void App::onGetConfigRequest(Promise<QJsonObject> promise)
{
    qDebug().noquote() << "Config request";
    promise.resolve(m_configUpdater.config());
}

void App::onGetCheckStatusRequest(Promise<QJsonObject> promise)
{
    qDebug().noquote() << "Check status request";
    promise.resolve(m_configUpdater.checkStatus());
}

void App::onCheckConnectionsRequest(Promise<QJsonObject> promise, const QJsonObject &settings)
{
    qDebug().noquote() << "Check connections request";
    m_configUpdater.checkConnections(promise, settings);
}

void App::onDbCheckRequest(Promise<QJsonObject> promise, const QJsonObject &settings)
{
    qDebug().noquote() << "DB check request";
    m_configUpdater.dbCheck(promise, settings);
}

void App::onLocateAsteriskRequest(Promise<QJsonObject> promise)
{
    qDebug().noquote() << "Locate Asterisk request";
    m_configUpdater.locateAsterisk(promise);
}

void App::onAsteriskCheckRequest(Promise<QJsonObject> promise, const QJsonObject &settings)
{
    qDebug().noquote() << "Check Asterisk request";
    m_configUpdater.asteriskCheck(promise, settings);
}

void App::onBxCheckRequest(Promise<QJsonObject> promise, const QJsonObject &settings)
{
    qDebug().noquote() << "Calv check request";
    m_configUpdater.bxCheck(promise, settings);
}

void App::onSourceListRequest(Promise<QJsonArray, QString> promise)
{
    qDebug().noquote() << "Source list request";
    relayCrmRequest(m_crm.getSourceList(), promise);
}

void App::onUserListRequest(const QJsonObject &filter, Promise<QJsonArray, QString> promise)
{
    qDebug().noquote() << "User list request";
    relayCrmRequest(m_crm.getUserList(filter), promise);
}

void App::onExternalLinesRequest(Promise<QJsonArray, QString> promise)
{
    qDebug().noquote() << "External lines request";
    relayCrmRequest(m_crm.getExternalLines(), promise);
}

void App::onUpdateExternalLinesRequest(const QJsonObject &line, Promise<void, QString> promise)
{
    qDebug().noquote() << "Update external lines request";
    relayCrmRequest(m_crm.updateExternalLine(line.value(QStringLiteral("NUMBER")).toString(),
                                             line.value(QStringLiteral("NAME")).toString()),
                    promise);
}

void App::onGetResponsibleByPhoneNumber(const QString &phone, Promise<QString, CRM::Bitrix::LookupFailure> promise)
{
    relayLookup(m_crm.getResponsibleForPhone(phone), promise);
}

void App::onGetResponsibleData(const QString &phone, Promise<QJsonObject, CRM::Bitrix::LookupFailure> promise)
{
    relayLookup(m_crm.getResponsibleData(phone), promise);
}

void App::onOriginateCustomizationRequest(const QHash<QString, QString> &params,
                                          Promise<QHash<QString, QString>, QString> promise)
{
    // A refusal goes back as it is: the PBX link then originates with its own parameters.
    m_customizer.processOriginateParams(params)
        .onResolve([promise](const QHash<QString, QString> &customized) { promise.resolve(customized); })
        .onReject([promise](const QString &reason) {
            qInfo() << QStringLiteral("Failed to customize originate params: [%1]").arg(reason);
            promise.reject(reason);
        });
}

void App::onPhoneCustomizationRequest(const QString &phone, Promise<QString, QString> promise)
{
    customizeOrKeep(m_customizer.processPhoneNumber(phone), phone, promise);
}

void App::onSearchParamsCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.processSearchParams(params), params, promise);
}

void App::onFinalParamsCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.processFinalParams(params), params, promise);
}

void App::onCreateEntityCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.processEntityCreationParams(params), params, promise);
}

void App::onTaskAddCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.processTaskAddParams(params), params, promise);
}

void App::onLeadFieldsCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.getCustomLeadParams(params), params, promise);
}

void App::onActivityFieldsCustomizationRequest(const QJsonObject &params, Promise<QJsonObject, QString> promise)
{
    customizeOrKeep(m_customizer.getCustomActivityParams(params), params, promise);
}

void App::onFindCompanyInDoubleGisRequest(const QStringList &phones, Promise<CRM::Entity> promise)
{
    m_api.findCompanyInDoubleGis(phones)
        .onResolve([promise](const CRM::Entity &company) {
            if (company.isValid())
                promise.resolve(company);
            else
                promise.reject();
        })
        .onReject([promise]() { promise.reject(); });
}

void App::onCallRecordingPathRequest(const QString &callId, const QString &from, const QString &to,
                                     Promise<QString, Entities::RecordingFailure> promise)
{
    findRecordingPath(callId, from, to, PBX::Asterisk::ApiSql::RecordingLookup::Own, promise);
}

void App::onPublicRecordingPathRequest(const QString &callId, const QString &from, const QString &to,
                                       Promise<QString, Entities::RecordingFailure> promise)
{
    findRecordingPath(callId, from, to, PBX::Asterisk::ApiSql::RecordingLookup::Public, promise);
}

void App::findRecordingPath(const QString &callId, const QString &from, const QString &to,
                            PBX::Asterisk::ApiSql::RecordingLookup lookup,
                            Promise<QString, Entities::RecordingFailure> promise)
{
    m_pbx.getRecordingFileName(callId, from, to, lookup)
        .onResolve([self = QPointer<App>(this), promise, callId, from, to, lookup](const QString &path) {
            if (!self) {
                promise.resolve(path);
                return;
            }
            // Only a request whose numbers matched a call gets here. Still, a burst of them must not take
            // every thread that the call hooks need: a few scripts run at once, a few more wait.
            if (self->m_recordingPathRuns < kMaxRecordingPathRuns) {
                self->customizeRecordingPath(callId, from, to, path, lookup, promise);
            } else if (self->m_waitingRecordingPaths.size() < kMaxWaitingRecordingPaths) {
                self->m_waitingRecordingPaths.append([self, callId, from, to, path, lookup, promise]() {
                    if (self)
                        self->customizeRecordingPath(callId, from, to, path, lookup, promise);
                    else
                        promise.resolve(path);
                });
            } else {
                promise.reject(Entities::RecordingFailure::failed(QStringLiteral("too many recordings asked for at once")));
            }
        })
        .onReject([self = QPointer<App>(this), promise, lookup](Entities::RecordingFailure failure) {
            // The look-up's link is down while the links wait for their restart: that is why, and a client
            // may come back once they have.
            const QString away = self && !failure.isMissing() ? self->linksAwayReason() : QString();
            if (!away.isEmpty())
                failure = lookup == PBX::Asterisk::ApiSql::RecordingLookup::Public
                              ? Entities::RecordingFailure::unreachable(away)
                              : Entities::RecordingFailure{failure.kind, away};
            promise.reject(failure);
        });
}

void App::customizeRecordingPath(const QString &callId, const QString &from, const QString &to, const QString &path,
                                 PBX::Asterisk::ApiSql::RecordingLookup lookup,
                                 Promise<QString, Entities::RecordingFailure> promise)
{
    ++m_recordingPathRuns;
    const MsgBuilder builder(callId, MsgBuilder::NoTask, MsgBuilder::RecordFilePathCustomization);
    const QString directory = Config::recordingsDirectory();
    // A client's requests come by the thousand: their lines are for a developer only.
    const bool own = lookup == PBX::Asterisk::ApiSql::RecordingLookup::Own;
    const auto trace = [own](const QString &text) {
        if (own)
            qDebug().noquote() << text;
        else
            qCDebug(lcRecordingRoute).noquote() << text;
    };
    m_customizer.processRecordFilePath(callId, from, to, path)
        .onResolve([self = QPointer<App>(this), builder, promise, path, directory, trace](const QString &customized) {
            trace(builder.build(MsgBuilder::Ok,
                                QStringLiteral("Result of record file path customization: [%1]").arg(customized)));
            // The script may name any file; only recordings leave the service, to a client or to the portal.
            const QString file = customized == path ? path : Utils::confinedPath(directory, customized);
            if (file.isEmpty()) {
                HttpServer::AccessFailures::record(
                    QHostAddress(), QStringLiteral("Recording [%1] named by the customisation script is no file in the "
                                                   "recordings directory [%2]: refused")
                                        .arg(customized, directory));
                promise.reject(Entities::RecordingFailure::missing(
                    QStringLiteral("the customised path is no file in the recordings directory")));
            } else {
                promise.resolve(file);
            }
            if (self)
                self->onRecordingPathCustomized();
        })
        .onReject([self = QPointer<App>(this), builder, promise, path, trace](const QString &reason) {
            trace(builder.build(MsgBuilder::Error,
                                QStringLiteral("Failed to customize record file path: [%1]").arg(reason)));
            promise.resolve(path);
            if (self)
                self->onRecordingPathCustomized();
        });
}

void App::onRecordingPathCustomized()
{
    --m_recordingPathRuns;
    if (!m_waitingRecordingPaths.isEmpty())
        m_waitingRecordingPaths.takeFirst()();
}

} // namespace Orvix
