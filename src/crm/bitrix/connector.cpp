#include "crm/bitrix/connector.h"

#include "crm/bitrix/auth.h"
#include "crm/bitrix/constants.h"
#include "crm/bitrix/localeshandler.h"
#include "crm/bitrix/token.h"
#include "httpclient/httpclient.h"
#include "httpclient/response.h"
#include "utils/networkerrortext.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonDocument>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

constexpr int kDefaultIntervalMsec = 500;
// The pause after a rate-limit refusal doubles up to this many times its first length.
constexpr int kMaxBackoffFactor = 30;
inline constexpr QLatin1String kBatch("batch");
inline constexpr QLatin1String kFinish("telephony.externalcall.finish");
inline constexpr QLatin1String kEventBind("event.bind");
inline constexpr QLatin1String kCallIdKey("CALL_ID");
// A server error or a connection closed without an answer is tried again after 1 s, 2 s, 4 s, 8 s and
// 16 s (times the base pause): six tries in all.
constexpr int kMaxTries = 5;
// Lost answers cost a whole time-out each: after three in a row (about 48 s with the default 15 s) the
// portal counts as lost, rather than holding a call for minutes.
constexpr int kMaxUnansweredTries = 3;
// Requests of different calls in flight at once, uploads aside. With the upload and a login beside them
// they stay within the six connections Qt opens to one host, so none waits for a connection of another.
constexpr int kMaxInFlight = 4;

Utils::Promise<QJsonValue> withoutReason(const Utils::Promise<QJsonValue, RequestFailure> &sent)
{
    Utils::Promise<QJsonValue> result;
    sent.onResolve([result](const QJsonValue &value) { result.resolve(value); })
        .onReject([result](const RequestFailure &) { result.reject(); });
    return result;
}

// No connection was made (refused, a name that does not resolve, no network): nothing of the request
// reached the portal. A TLS failure is not among them: a certificate the service does not trust stays so,
// and neither tries nor restarts of the links would mend it.
bool neverReached(QNetworkReply::NetworkError error)
{
    return error == QNetworkReply::ConnectionRefusedError || error == QNetworkReply::HostNotFoundError
        || error == QNetworkReply::TemporaryNetworkFailureError || error == QNetworkReply::NetworkSessionFailedError
        || error == QNetworkReply::UnknownNetworkError;
}

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

Connector::Connector(QObject *parent, const QSharedPointer<HttpClient::HttpClient> &client)
    : QObject(parent)
    , m_httpClient(client)
{
}

Connector::~Connector()
{
    // Nothing may run into this half-destroyed object: the Auth's rejections must not count as a
    // failed login, and queued requests simply die with it.
    m_awaitingCredentials.clear();
    delete m_requestTimer;
    delete m_auth;
}

void Connector::setBusinessLogicSettings(const QMap<QString, QString> &trunkToSource, const QList<int> &fallbackUsers)
{
    m_trunkToSource = trunkToSource;
    m_fallbackUsers = fallbackUsers;
}

void Connector::setUseExternalLines(bool use)
{
    m_useExternalLines = use;
}

void Connector::setTokenBaseDirectory(const QString &directory)
{
    m_tokenBaseDirectory = directory;
}

QString Connector::tokenFilePath() const
{
    return Token(m_generatedPostfix, m_tokenBaseDirectory).filePath();
}

void Connector::setRequestTimeout(std::chrono::milliseconds timeout)
{
    m_requestTimeout = timeout;
}

void Connector::setRateLimitBackoff(std::chrono::milliseconds base)
{
    m_rateLimitBackoff = base;
    m_nextBackoff = base;
}

void Connector::beginRun(const QString &host, int userId, const QString &login, const QString &password,
                         const QString &generatedPostfix)
{
    // A second start would leak the first Auth and run two timers on one queue.
    if (isStarted())
        stop(false);

    m_portalHost = host;
    m_defaultUserId = userId;
    m_login = login;
    m_password = password;
    m_generatedPostfix = generatedPostfix;
    m_auth = new Auth(host, login, password, generatedPostfix, m_httpClient, nullptr, m_tokenBaseDirectory);
    m_auth->setRequestTimeout(m_requestTimeout);
}

void Connector::startTimer(int intervalMsec)
{
    // A negative interval would leave the timer stopped and every queued request waiting for ever; a
    // zero one would spin the event loop and send to the portal without any pause.
    if (intervalMsec <= 0) {
        qWarning().noquote() << "Invalid execution_loop_interval_msec" << intervalMsec << "- using"
                             << kDefaultIntervalMsec;
        intervalMsec = kDefaultIntervalMsec;
    }
    m_requestTimer = new QTimer(this);
    connect(m_requestTimer, &QTimer::timeout, this, &Connector::sendNextRequest);
    m_requestTimer->start(intervalMsec);
}

void Connector::start(const QString &host, int userId, const QString &login, const QString &password,
                      const QString &generatedPostfix, const QString &locale, bool noLeadMode,
                      int executionLoopIntervalMsec, int cacheStorageTimeMin)
{
    beginRun(host, userId, login, password, generatedPostfix);
    m_forCheck = false;
    m_locale = locale;
    m_localesHandler = QSharedPointer<LocalesHandler>::create(m_localesDirectory);
    connect(m_localesHandler.data(), &LocalesHandler::localeChanged, this, &Connector::localeChanged);
    m_localesHandler->setLocale(locale);
    m_noLeadMode = noLeadMode;
    m_cacheStorageTimeMin = cacheStorageTimeMin;
    startTimer(executionLoopIntervalMsec);
    Q_EMIT started();
}

void Connector::startForCheck(const QString &host, int userId, const QString &login, const QString &password,
                              const QString &generatedPostfix, int executionLoopIntervalMsec)
{
    qDebug().noquote() << ". . . Run CRM-connector to check connection . . .";
    beginRun(host, userId, login, password, generatedPostfix);
    m_forCheck = true;
    // The check must prove that login and password work, not that an old token still does.
    m_auth->resetToken();
    startTimer(executionLoopIntervalMsec);
}

void Connector::stop(bool resetToken)
{
    if (m_requestTimer) {
        m_requestTimer->stop();
        disconnect(m_requestTimer, &QTimer::timeout, this, &Connector::sendNextRequest);
        // stop() may run inside the timer's own timeout (a failed login reported synchronously).
        std::exchange(m_requestTimer, nullptr)->deleteLater();
    }

    // Requests still waiting for their credentials would wait for ever once their Auth is gone, and keep
    // their calls in flight; settle them, or queue a call's again for the next start (holdForNextStart). A
    // request already sent keeps going: its answer ends it, and the next of its call waits for that. The
    // state is made consistent before the rejections run anyone's callbacks, since those may well call
    // stop() or run() again.
    const auto cancelled = std::exchange(m_awaitingCredentials, {});

    // The Auth may have code on the stack below us (its chain reported the failure that made the owner
    // stop us), so it is cancelled now and deleted later; it answers nothing after cancel().
    if (m_auth) {
        if (resetToken)
            m_auth->resetToken();
        m_auth->cancel();
        std::exchange(m_auth, nullptr)->deleteLater();
    }

    if (!cancelled.isEmpty())
        qDebug().noquote() << "CRM connector stopped while a request was waiting for authorization";
    for (const QSharedPointer<PendingRequest> &request : cancelled) {
        if (!holdForNextStart(request))
            request->result.reject(RequestFailure{RequestFailure::Unreachable, request->mayHaveBeenDone,
                                                  QStringLiteral("the CRM link stopped")});
    }
}

Utils::Promise<QJsonValue> Connector::run(const QString &method, QJsonObject params,
                                          HttpClient::Request::Method httpMethod, const MsgBuilder &msg)
{
    return withoutReason(enqueue(method, params, httpMethod, msg, false));
}

Utils::Promise<QJsonValue, RequestFailure> Connector::runWithReason(const QString &method, const QJsonObject &params,
                                                                    HttpClient::Request::Method httpMethod,
                                                                    const MsgBuilder &msg)
{
    return enqueue(method, params, httpMethod, msg, false);
}

Utils::Promise<QJsonValue, RequestFailure> Connector::enqueue(const QString &method, const QJsonObject &params,
                                                              HttpClient::Request::Method httpMethod,
                                                              const MsgBuilder &msg, bool custom,
                                                              const QString &uploadFile, const SendGuard &guard)
{
    Utils::Promise<QJsonValue, RequestFailure> promise;
    const QPointer<Connector> self(this);
    const QString key = msg.id();
    const bool upload = !uploadFile.isEmpty();
    // Nothing went: an undefined result, which no answer of the portal is.
    std::function<void()> skip;
    if (guard)
        skip = [promise]() { promise.resolve(QJsonValue(QJsonValue::Undefined)); };
    const auto start = [self, method, params, httpMethod, msg, custom, uploadFile, key, upload, promise, guard,
                        skip]() {
        if (!self)
            return;
        const qint64 startedAt = QDateTime::currentMSecsSinceEpoch();
        Utils::Promise<QJsonValue, RequestFailure> result;
        const auto request = QSharedPointer<PendingRequest>::create(
            PendingRequest{method, params, httpMethod, msg, result, custom});
        request->filePath = uploadFile;
        request->guard = guard;
        request->skip = skip;
        // The call's place is given back before its caller hears of the outcome, and may queue its next.
        if (upload) {
            RequestFailure nothing;
            // An upload with nothing to send never goes out: no request to log.
            if (!self->takeRecording(request, &nothing)) {
                self->release(key, upload);
                promise.reject(nothing);
                return;
            }
        }
        result
            .onResolve([self, method, params, msg, promise, startedAt, key, upload](const QJsonValue &value) {
                if (self) {
                    self->release(key, upload);
                    self->writeRequestLog(method, params, value, QDateTime::currentMSecsSinceEpoch() - startedAt,
                                          msg, true);
                }
                promise.resolve(value);
            })
            .onReject([self, method, params, msg, promise, startedAt, key, upload](const RequestFailure &failure) {
                if (self) {
                    if (failure.kind == RequestFailure::Unreachable && !self->isStarted() && !key.isEmpty())
                        ++self->m_stopRefusals[key];
                    self->release(key, upload);
                    self->writeRequestLog(method, params, QStringLiteral("rejected"),
                                          QDateTime::currentMSecsSinceEpoch() - startedAt, msg, false);
                }
                promise.reject(failure);
            });
        self->attempt(request);
    };
    queueRequest(key, QueuedRequest{upload, start, 0, guard, skip}, false);
    return promise;
}

Utils::Promise<QJsonValue> Connector::makeCustomRequest(const QString &method, const QJsonObject &params,
                                                        HttpClient::Request::Method httpMethod)
{
    qDebug().noquote() << MsgBuilder().build(MsgBuilder::Start, QStringLiteral("Make custom request"));
    return withoutReason(enqueue(method, params, httpMethod, MsgBuilder(), true));
}

QString Connector::unreachableReason(const QString &why) const
{
    // A refusal is no reason the portal cannot be reached.
    QString reason = why.isEmpty() && m_lastFailureKind == RequestFailure::Unreachable ? m_lastFailure : why;
    if (reason.isEmpty())
        reason = isStarted() ? QStringLiteral("no answer") : QStringLiteral("the CRM link waits for its restart");
    const QString portal = portalName();
    if (portal.isEmpty())
        return QStringLiteral("the CRM portal cannot be reached: %1").arg(reason);
    return QStringLiteral("the CRM portal at %1 cannot be reached: %2").arg(portal, reason);
}

QString Connector::failureReason() const
{
    if (!isStarted() || m_lastFailure.isEmpty() || m_lastFailureKind == RequestFailure::Unreachable)
        return unreachableReason();
    return QStringLiteral("the CRM portal at %1 answered: %2").arg(portalName(), m_lastFailure);
}

QString Connector::portalName() const
{
    // The host alone would hide which of two portals on one host, or which scheme, the administrator saved.
    const QUrl url(m_portalHost.trimmed(), QUrl::TolerantMode);
    if (url.scheme().isEmpty() || url.host().isEmpty())
        return portalHostName();
    return url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment).toString();
}

QString Connector::portalHostName() const
{
    const QString host = QUrl::fromUserInput(m_portalHost).host();
    return host.isEmpty() ? m_portalHost : host;
}

void Connector::sendNextRequest()
{
    // After the portal's rate limit refused a request, nothing starts until its pause is over.
    if (QDateTime::currentMSecsSinceEpoch() < m_pausedUntil)
        return;
    // One request per tick keeps the portal's pace; an upload goes in its own lane beside them.
    const QPointer<Connector> self(this);
    if (m_inFlight < kMaxInFlight)
        startNext(false);
    if (self && !m_uploadInFlight) // a start may settle at once, and its callbacks may destroy us
        startNext(true);
}

void Connector::queueRequest(const QString &key, QueuedRequest request, bool first)
{
    CallRequests &call = m_requestsByCall[key];
    // A call's place among the startable is that of its next request, which may be this one now.
    if (!call.inFlight && !call.waiting.empty())
        m_startable[call.waiting.front().upload ? 1 : 0].erase(call.waiting.front().order);
    request.order = first ? --m_firstPlace : ++m_lastPlace;
    if (first)
        call.waiting.push_front(std::move(request));
    else
        call.waiting.push_back(std::move(request));
    ++m_queuedCount;
    markStartable(key, call);
}

void Connector::markStartable(const QString &key, const CallRequests &call)
{
    if (!call.inFlight && !call.waiting.empty())
        m_startable[call.waiting.front().upload ? 1 : 0].emplace(call.waiting.front().order, key);
}

void Connector::startNext(bool upload)
{
    std::map<qint64, QString> &lane = m_startable[upload ? 1 : 0];
    // A request that waits gives the tick to the next call's, once round the lane at most: those put back
    // behind the others now stand after this mark.
    const qint64 passEnd = m_lastPlace;
    while (!lane.empty() && lane.begin()->first <= passEnd) {
        const QString key = lane.begin()->second;
        lane.erase(lane.begin());
        CallRequests &call = m_requestsByCall[key];
        QueuedRequest queued = std::move(call.waiting.front());
        call.waiting.pop_front();
        --m_queuedCount;
        const SendTurn turn = queued.guard ? queued.guard() : SendTurn::Send;
        if (turn == SendTurn::Wait) {
            // At the head of its call again, and behind every other call's request.
            queued.order = ++m_lastPlace;
            call.waiting.push_front(std::move(queued));
            ++m_queuedCount;
            markStartable(key, call);
            continue;
        }
        if (turn == SendTurn::Skip) {
            if (call.waiting.empty())
                m_requestsByCall.remove(key);
            else
                markStartable(key, call);
            queued.skip();
            return;
        }
        call.inFlight = true;
        if (upload)
            m_uploadInFlight = true;
        else
            ++m_inFlight;
        queued.start();
        return;
    }
}

void Connector::release(const QString &key, bool upload)
{
    const auto call = m_requestsByCall.find(key);
    if (call != m_requestsByCall.end()) {
        call->inFlight = false;
        if (call->waiting.empty())
            m_requestsByCall.erase(call);
        else
            markStartable(key, *call);
    }
    if (upload)
        m_uploadInFlight = false;
    else
        --m_inFlight;
}

bool Connector::holdForNextStart(const QSharedPointer<PendingRequest> &request)
{
    // Only what the portal never did may simply go later, and only a call's work need to: a client is
    // answered now, and an upload is owed by its caller.
    const QString key = request->msg.id();
    if (m_auth || request->mayHaveBeenDone || key.isEmpty() || request->method == kAttachRecord)
        return false;
    qWarning().noquote() << request->msg.build(
        MsgBuilder::Warning, QStringLiteral("%1 waits for the link to the CRM to start again").arg(request->method));
    request->tries = 0;
    // Its place in flight given up, it goes first of its call again: nothing later of the call goes before it.
    release(key, false);
    const QPointer<Connector> self(this);
    queueRequest(key,
                 QueuedRequest{false,
                               [self, request]() {
                                   if (self)
                                       self->attempt(request);
                               },
                               0, request->guard, request->skip},
                 true);
    return true;
}

void Connector::reportConnectionLost()
{
    if (isStarted())
        Q_EMIT connectionLost();
}

void Connector::fail(const QSharedPointer<PendingRequest> &request, RequestFailure::Kind kind, const QString &reason)
{
    m_lastFailure = reason;
    m_lastFailureKind = kind;
    request->result.reject(RequestFailure{kind, request->mayHaveBeenDone, reason});
}

void Connector::attempt(const QSharedPointer<PendingRequest> &request)
{
    const MsgBuilder msg = request->msg;
    request->triedAt = QDateTime::currentMSecsSinceEpoch();
    const quint64 execution = ++m_executionCount;
    m_awaitingCredentials.insert(execution, request);

    const QPointer<Connector> self(this);
    addCredentials(request->params, execution)
        .onResolve([self, execution, request](const QJsonObject &withCredentials) {
            if (!self || !self->m_awaitingCredentials.remove(execution))
                return; // settled by stop()
            self->send(request, withCredentials);
        })
        .onReject([self, execution, msg, request](const QJsonObject &error) {
            if (!self || !self->m_awaitingCredentials.remove(execution))
                return;
            self->failureLog(QtWarningMsg).noquote()
                << msg.build(MsgBuilder::Warning, QStringLiteral("Unable to retrieve authorization data"));
            const RequestFailure failure{RequestFailure::Unreachable, request->mayHaveBeenDone,
                                         QStringLiteral("the login failed (%1)")
                                             .arg(error.value(QLatin1String("description")).toVariant().toString())};
            // Reported first, as for a request without an answer: when the login got no answer either (code 0),
            // nothing was sent, and a call's request waits for the next start.
            self->reportConnectionLost();
            if (!self)
                return request->result.reject(failure);
            if (error.value(QLatin1String("code")).toInt(-1) != 0 || !self->holdForNextStart(request))
                self->fail(request, failure.kind, failure.reason);
        });
}

Utils::Promise<QJsonObject, QJsonObject> Connector::addCredentials(const QJsonObject &params, quint64 execution)
{
    Utils::Promise<QJsonObject, QJsonObject> result;
    if (!m_auth) {
        result.reject(QJsonObject{{QStringLiteral("code"), 0},
                                  {QStringLiteral("description"), QStringLiteral("The CRM connector is stopped")}});
        return result;
    }
    const QPointer<Connector> self(this);
    m_auth->getCredentials()
        .onResolve([params, result](const QJsonObject &credentials) {
            QJsonObject completed = params;
            for (auto it = credentials.begin(); it != credentials.end(); ++it)
                completed.insert(it.key(), it.value());
            result.resolve(completed);
        })
        .onReject([self, execution, result](const QJsonObject &error) {
            // A login cancelled by stop() is no login failure.
            if (self && self->m_awaitingCredentials.contains(execution)) {
                self->failureLog(QtCriticalMsg).noquote()
                    << "Failed to log in to the CRM:"
                    << error.value(QLatin1String("description")).toVariant().toString();
                Q_EMIT self->authorizationFailed(error);
            }
            result.reject(error);
        });
    return result;
}

QDebug Connector::failureLog(QtMsgType type) const
{
    const QMessageLogger logger;
    if (m_forCheck)
        return logger.debug();
    return type == QtWarningMsg ? logger.warning() : logger.critical();
}

void Connector::send(const QSharedPointer<PendingRequest> &request, QJsonObject params)
{
    if (request->method == kBatch)
        params.insert(QStringLiteral("halt"), 0);

    // The Auth may be gone when credentials arrived synchronously during a stop; nothing is sent then.
    if (!m_auth) {
        request->result.reject(RequestFailure{RequestFailure::Unreachable, request->mayHaveBeenDone,
                                              QStringLiteral("the CRM link stopped")});
        return;
    }
    request->sentToken = params.value(QLatin1String("auth")).toString();
    const QUrl url(m_auth->getRestUrl(request->method), QUrl::TolerantMode);
    HttpClient::Request httpRequest(url, request->httpMethod);
    if (request->filePath.isEmpty()) {
        httpRequest.addParams(params);
    } else {
        const QByteArray body = uploadBody(request, params);
        if (body.isEmpty())
            return; // rejected: the file is gone
        httpRequest.addQuery(body);
    }
    // The time-out counts silence only: an upload that still moves, however long, is never cut.
    httpRequest.setTransferTimeout(m_requestTimeout);

    const QPointer<Connector> self(this);
    m_httpClient->send(httpRequest)
        .onResolve([self, request](const QSharedPointer<HttpClient::Response> &response) {
            if (!self)
                return request->result.reject(RequestFailure{RequestFailure::Unreachable, true, QString()});
            self->checkAnswer(response, request);
        })
        .onReject([self, request]() {
            if (!self)
                return request->result.reject(RequestFailure{RequestFailure::Unreachable, true, QString()});
            self->fail(request, RequestFailure::Unreachable, QStringLiteral("the request could not be sent"));
        });
}

void Connector::checkAnswer(const QSharedPointer<HttpClient::Response> &response,
                            const QSharedPointer<PendingRequest> &request)
{
    const MsgBuilder &msg = request->msg;
    // An answer that the time-out or a closed connection cut short after its head is no answer: its status
    // says nothing of a body that never came whole.
    const bool cut = response->error() == QNetworkReply::OperationCanceledError
        || response->error() == QNetworkReply::RemoteHostClosedError;
    const int status = cut ? 0 : response->statusCode();
    const QJsonDocument document = cut ? QJsonDocument() : response->json();

    QString error;
    if (status >= 200 && status <= 299) {
        if (!document.isObject())
            error = QStringLiteral("Response is not object");
        else if (!document.object().contains(QLatin1String("result")))
            error = QStringLiteral("Response doesn't contain result field");
    } else if (retryLater(status, document.object(), request, response->error())) {
        return;
    } else if (request->method == kEventBind
               && document.object().value(QLatin1String("error")).toString() == QLatin1String("ERROR_HANDLER_ALREADY_EXIST")) {
        // Bound at an earlier start: what was asked for is in place. The request log shows the portal's answer.
        qDebug().noquote() << msg.build(MsgBuilder::Ok, QStringLiteral("The handler of %1 is already bound")
                                                            .arg(request->params.value(QLatin1String("event")).toString()));
        request->result.resolve(document.object());
        return;
    } else if (request->method == kFinish && isCallNotFound(document.object())) {
        // An earlier try reached the portal and closed the call and only its answer got lost, in this run or
        // before a restart: nothing is left to finish, and nothing bound to the call is to be undone.
        const QString line = QStringLiteral("The call %1 was already finished")
                                 .arg(request->params.value(kCallIdKey).toString());
        if (request->tries > 0)
            qDebug().noquote() << msg.build(MsgBuilder::Ok, line);
        else
            qInfo().noquote() << msg.build(MsgBuilder::Ok, line);
        request->result.resolve(QJsonObject{{kCallIdKey, request->params.value(kCallIdKey)},
                                            {kAlreadyFinished, true}});
        return;
    } else if (status == 0) {
        const QString why = Utils::networkErrorText(response->error());
        // A run of lost answers, of closed connections or of connections never made ends like a run of
        // server errors: the portal counts as lost.
        const bool lost = request->unanswered >= kMaxUnansweredTries
            || ((response->error() == QNetworkReply::RemoteHostClosedError || neverReached(response->error()))
                && request->tries >= kMaxTries);
        // An upload's caller sends it again, later: that heals by itself unless the portal counts as lost.
        failureLog(lost || request->method != kAttachRecord ? QtCriticalMsg : QtWarningMsg).noquote() << msg.build(
            MsgBuilder::Error, QStringLiteral("Cannot connect to the CRM portal at %1: %2").arg(portalHostName(), why));
        const QPointer<Connector> self(this);
        // Reported first: the owner stops the link at once, and a call's request the portal never did then
        // waits for the next start.
        if (lost)
            reportConnectionLost();
        if (!self)
            return request->result.reject(RequestFailure{RequestFailure::Unreachable, request->mayHaveBeenDone, why});
        if (!holdForNextStart(request))
            fail(request, RequestFailure::Unreachable, why);
        return;
    } else {
        error = QStringLiteral("Bad code");
        bool lost = true;
        const QString refusal = document.object().value(QLatin1String("error")).toString();
        if (status == 402) {
            failureLog(QtCriticalMsg).noquote() << msg.build(MsgBuilder::Error, QStringLiteral("Payment required"));
        } else if (status == 401 && request->custom && refusal != QLatin1String("expired_token")
                   && refusal != QLatin1String("invalid_token") && refusal != QLatin1String("NO_AUTH_FOUND")) {
            // An administrator's request the portal refuses for what it asks (a scope, a right, the
            // method), not for the token: the administrator hears why; the token and the links stay.
            lost = false;
        } else if (status == 401) {
            failureLog(QtCriticalMsg).noquote() << msg.build(MsgBuilder::Error, QStringLiteral("Invalid token"));
            // Not a token another request has renewed since this one went.
            if (m_auth)
                m_auth->dropToken(request->sentToken, false);
        } else if (status >= 500) {
            failureLog(QtCriticalMsg).noquote() << msg.build(MsgBuilder::Error, QStringLiteral("Server error"));
            // An upload is not sent again here: its caller does, and one refusal says little of the portal.
            lost = request->method != kAttachRecord;
        } else {
            lost = false;
        }
        if (lost)
            reportConnectionLost();
    }

    if (!error.isEmpty()) {
        const QString text = QStringList{QStringLiteral("An error occurred while executing the query."),
                                         QStringLiteral("Reason: %1;").arg(error),
                                         QStringLiteral("Code: %1;").arg(status),
                                         QStringLiteral("Data: %1").arg(compactJson(document.object()))}
                                 .join(QLatin1Char(' '));
        failureLog(QtCriticalMsg).noquote() << msg.build(MsgBuilder::Error, text);
        const QString code = document.object().value(QLatin1String("error")).toString();
        if (status >= 500)
            fail(request, RequestFailure::Unreachable, QStringLiteral("server error %1").arg(status));
        else if (status >= 200 && status <= 299)
            fail(request, RequestFailure::Refused, QStringLiteral("an answer that is no REST answer"));
        else
            fail(request, RequestFailure::Refused, QStringLiteral("the portal refused it (%1%2)")
                                                       .arg(status)
                                                       .arg(code.isEmpty() ? QString() : QStringLiteral(" ") + code));
        return;
    }

    m_nextBackoff = m_rateLimitBackoff;
    m_lastFailure.clear();
    const QJsonValue value = document.object().value(QLatin1String("result"));
    // A batch answers {"result": {command: result}, "result_error": ...}; callers read the results by
    // command name.
    request->result.resolve(request->method == kBatch ? value.toObject().value(QLatin1String("result")) : value);
}

bool Connector::retryLater(int status, const QJsonObject &answer, const QSharedPointer<PendingRequest> &request,
                           QNetworkReply::NetworkError networkError)
{
    const QString code = answer.value(QLatin1String("error")).toString();
    const bool expired = status == 401 && code == QLatin1String("expired_token");
    // A token the portal no longer knows (revoked, or its session gone) is as good as no token: log in anew.
    const bool unknownToken = status == 401
        && (code == QLatin1String("NO_AUTH_FOUND") || code == QLatin1String("invalid_token"));
    const bool renew = (expired || unknownToken) && !request->tokenRenewed;
    const bool limited = status == 503 && code == QLatin1String("QUERY_LIMIT_EXCEEDED");
    // No answer at all: the request may or may not have reached the portal, so only what is safe to do
    // twice goes again. A gateway's error may come after the portal did the work as well. A connection the
    // portal (or a proxy) closed costs no time-out: it has the tries of a server error.
    const bool timedOut = status == 0 && networkError == QNetworkReply::OperationCanceledError;
    const bool closed = status == 0 && networkError == QNetworkReply::RemoteHostClosedError;
    // A connection never made has the tries of a server error, whatever the method (an upload too), as nothing
    // was done. A check wants the portal's state now.
    const bool notSent = status == 0 && neverReached(networkError) && !m_forCheck;
    if (timedOut)
        ++request->unanswered;
    if (timedOut || closed || (status >= 500 && status != 503))
        request->mayHaveBeenDone = true;
    const bool repeatable = isRepeatable(request->method, request->params)
        && (!request->custom || isReading(request->method, request->params));
    const bool unanswered = timedOut && repeatable && request->unanswered < kMaxUnansweredTries;
    // A server error other than 503 may come after the portal did the work: an add is not sent twice for it
    // either. An upload is never sent again here: its caller sends it once more, later.
    const bool serverError = (((status >= 500 && !limited) || closed)
                              && (repeatable || (status == 503 && request->method != kAttachRecord)))
        || notSent;
    const bool failed = serverError || unanswered;
    if (!m_auth || (!renew && !limited && !(failed && request->tries < kMaxTries)))
        return false;

    writeRequestLog(request->method, request->params, status == 0 ? QJsonValue(QStringLiteral("no answer")) : answer,
                    QDateTime::currentMSecsSinceEpoch() - request->triedAt, request->msg, false);
    // The request keeps its place: nothing else of its call goes before it has gone again.
    if (renew) {
        qWarning().noquote() << request->msg.build(
            MsgBuilder::Warning, (expired ? QStringLiteral("The access token has expired; renewing it and sending %1 again")
                                          : QStringLiteral("The portal does not know the access token; logging in "
                                                           "again and sending %1 again"))
                                     .arg(request->method));
        request->tokenRenewed = true;
        // Several requests in flight get the same refusal: only the first renews, the others go again with
        // the token it brings (their credentials wait for the renewal under way).
        m_auth->dropToken(request->sentToken, expired);
        attempt(request);
        return true;
    }

    std::chrono::milliseconds pause{0};
    if (limited) {
        // One pause for every request the limit refused: one sent before it began waits for its end, one
        // refused again after it doubles it.
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        if (request->triedAt >= m_pauseStartedAt || now >= m_pausedUntil) {
            pause = m_nextBackoff;
            m_nextBackoff = std::min(pause * 2, m_rateLimitBackoff * kMaxBackoffFactor);
            m_pauseStartedAt = now;
            m_pausedUntil = now + pause.count();
        } else {
            pause = std::chrono::milliseconds(m_pausedUntil - now);
        }
        qWarning().noquote() << request->msg.build(
            MsgBuilder::Warning, QStringLiteral("The portal's query limit is exceeded; sending %1 again in %2 ms")
                                     .arg(request->method)
                                     .arg(pause.count()));
    } else {
        pause = m_rateLimitBackoff * (1 << request->tries);
        ++request->tries;
        // What a client's look-up is told while the tries go on.
        if (notSent) {
            m_lastFailure = Utils::networkErrorText(networkError);
            m_lastFailureKind = RequestFailure::Unreachable;
        }
        qWarning().noquote() << request->msg.build(
            MsgBuilder::Warning,
            QStringLiteral("%1 to %2; sending it again in %3 ms (try %4 of %5)")
                .arg(timedOut ? QStringLiteral("No answer")
                              : closed  ? QStringLiteral("Connection closed without an answer")
                              : notSent ? QStringLiteral("No connection (%1)").arg(Utils::networkErrorText(networkError))
                                        : QStringLiteral("Server error %1").arg(status),
                     request->method)
                .arg(pause.count())
                .arg(timedOut ? request->unanswered : request->tries)
                .arg(timedOut ? kMaxUnansweredTries - 1 : kMaxTries));
    }
    QTimer::singleShot(pause, this, [this, request]() {
        // A stop in the meantime took the credentials away: the request ends here, or waits for the next start.
        if (!m_auth) {
            if (!holdForNextStart(request))
                request->result.reject(RequestFailure{RequestFailure::Unreachable, request->mayHaveBeenDone,
                                                      QStringLiteral("the CRM link stopped")});
            return;
        }
        attempt(request);
    });
    return true;
}

bool Connector::isRepeatable(const QString &method, const QJsonObject &params)
{
    // An add that timed out may have made its record already; a second one would make a twin. Everything
    // else the connector sends reads, or sets what a second send sets again (a register carries the id of
    // its physical call, and the portal answers a repeated one with the call it has).
    const auto isAdd = [](const QString &name) { return name.endsWith(QLatin1String(".add"), Qt::CaseInsensitive); };
    if (method == kAttachRecord)
        return false;
    if (method != kBatch)
        return !isAdd(method);
    for (auto it = params.begin(); it != params.end(); ++it) {
        if (it.key().startsWith(QLatin1String("cmd[")) && isAdd(it.value().toString().section(QLatin1Char('?'), 0, 0)))
            return false;
    }
    return true;
}

bool Connector::isReading(const QString &method, const QJsonObject &params)
{
    const auto reads = [](const QString &name) {
        static const QStringList suffixes{QStringLiteral(".get"), QStringLiteral(".list"), QStringLiteral(".fields"),
                                          QStringLiteral(".search"), QStringLiteral(".current")};
        static const QStringList names{QStringLiteral("app.info"), QStringLiteral("profile"),
                                       QStringLiteral("methods"), QStringLiteral("scope"),
                                       QStringLiteral("server.time"), QStringLiteral("feature.get")};
        const QString lower = name.trimmed().toLower();
        return names.contains(lower) || std::any_of(suffixes.cbegin(), suffixes.cend(), [&lower](const QString &s) {
                   return lower.endsWith(s);
               });
    };
    if (method.compare(kBatch, Qt::CaseInsensitive) != 0)
        return reads(method);
    bool any = false;
    for (auto it = params.begin(); it != params.end(); ++it) {
        if (!it.key().startsWith(QLatin1String("cmd")))
            continue;
        // A batch's commands come as "cmd[name]" keys or as one "cmd" object.
        const QJsonObject commands =
            it.value().isObject() ? it.value().toObject() : QJsonObject{{it.key(), it.value()}};
        for (const QJsonValue &command : commands) {
            any = true;
            if (!reads(command.toString().section(QLatin1Char('?'), 0, 0)))
                return false;
        }
    }
    return any;
}

bool Connector::isCallNotFound(const QJsonObject &answer)
{
    const QLatin1String text("Call is not found");
    return answer.value(QLatin1String("error_description")).toString().contains(text, Qt::CaseInsensitive)
        || answer.value(QLatin1String("error")).toString().contains(text, Qt::CaseInsensitive);
}

void Connector::writeRequestLog(const QString &method, QJsonObject params, const QJsonValue &response,
                                qint64 durationMsec, const MsgBuilder &msg, bool ok) const
{
    // A recording is megabytes of Base64 and says nothing in a log.
    if (method == kAttachRecord)
        params.insert(QStringLiteral("FILE_CONTENT"), QStringLiteral("--redacted--"));

    const QJsonObject record{
        {QStringLiteral("1_request"), method},
        {QStringLiteral("2_duration"), durationMsec},
        {QStringLiteral("3_params"), params},
        {QStringLiteral("4_response"), response},
    };
    QByteArray text = QJsonDocument(record).toJson(QJsonDocument::Compact);
    const int zero = text.indexOf('\0');
    if (zero >= 0)
        text.truncate(zero);
    qDebug().noquote() << msg.build(ok ? MsgBuilder::Ok : MsgBuilder::Error, QString::fromUtf8(text));
}

} // namespace Orvix::CRM::Bitrix
