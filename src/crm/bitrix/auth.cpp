#include "crm/bitrix/auth.h"

#include "crm/bitrix/token.h"
#include "httpclient/httpclient.h"
#include "httpclient/request.h"
#include "httpclient/response.h"
#include "utils/networkerrortext.h"

#include <QDebug>
#include <QJsonDocument>
#include <QPointer>
#include <QRegularExpression>
#include <QUrlQuery>

#include <utility>

namespace Orvix::CRM::Bitrix {

namespace {

using HttpResponse = QSharedPointer<HttpClient::Response>;

constexpr auto kGet = HttpClient::Request::Get;

// The portal's pages are matched line by line; "." never crosses a line break.
constexpr QRegularExpression::PatternOptions kPageOptions = QRegularExpression::CaseInsensitiveOption
                                                            | QRegularExpression::MultilineOption
                                                            | QRegularExpression::UseUnicodePropertiesOption;

QByteArray upToZero(QByteArray bytes)
{
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return bytes;
}

QUrl tokenUrlFromEnvironment()
{
    const QByteArray overridden = qgetenv(kTokenUrlVariable);
    return QUrl(overridden.isEmpty() ? QString(kDefaultTokenUrl) : QString::fromUtf8(overridden));
}

} // namespace

Auth::Auth(const QString &host, const QString &login, const QString &password, const QString &generatedPostfix,
           const QSharedPointer<HttpClient::HttpClient> &client, QObject *parent, const QString &tokenBaseDirectory)
    : QObject(parent)
    , m_host(host)
    , m_login(login)
    , m_password(password)
    , m_token(QSharedPointer<Token>::create(generatedPostfix, tokenBaseDirectory))
    , m_httpClient(client)
    , m_tokenUrl(tokenUrlFromEnvironment())
    , m_requestOwner(new QObject(this))
{
    m_token->load();
    const auto credentials = applicationCredentials().value(m_applicationType);
    m_clientId = credentials.first;
    m_clientSecret = credentials.second;
    if (m_host.endsWith(QLatin1Char('/')))
        m_host.chop(1);
}

Auth::~Auth()
{
    cancel();
}

void Auth::cancel()
{
    // Callbacks that run from here on see m_cancelled and only pass the rejection up their chain.
    m_cancelled = true;
    m_waitingForToken.clear();
    const auto pending = std::exchange(m_pending, {});
    for (const auto &reject : pending)
        reject();
    // Aborts the requests still in flight; their answers would only meet m_cancelled anyway.
    delete std::exchange(m_requestOwner, nullptr);
}

QJsonObject Auth::cancelledError()
{
    return QJsonObject{{QStringLiteral("code"), 0},
                       {QStringLiteral("description"), QStringLiteral("Authorization was cancelled")}};
}

template <typename T>
Utils::Promise<T, QJsonObject> Auth::makePromise()
{
    Utils::Promise<T, QJsonObject> promise;
    const quint64 id = ++m_nextPendingId;
    m_pending.insert(id, [promise]() { promise.reject(cancelledError()); });
    const QPointer<Auth> self(this);
    const auto forget = [self, id]() {
        if (self)
            self->m_pending.remove(id);
    };
    if constexpr (std::is_void_v<T>)
        promise.onResolve(forget);
    else
        promise.onResolve([forget](const T &) { forget(); });
    promise.onReject([forget](const QJsonObject &) { forget(); });
    return promise;
}

Utils::Promise<QSharedPointer<HttpClient::Response>> Auth::send(HttpClient::Request request)
{
    request.setTransferTimeout(m_requestTimeout);
    request.setOriginatingObject(m_requestOwner);
    return m_httpClient->send(request);
}

QJsonObject Auth::credentials() const
{
    return QJsonObject{{QStringLiteral("auth"), m_token->getAccess()}};
}

QJsonObject Auth::errorObject(const HttpClient::Response &response, const QByteArray &body)
{
    const int status = response.statusCode();
    // No HTTP answer at all: the administrator must read why (refused, unknown host, time-out).
    const QString description = status == 0 ? QStringLiteral("Cannot connect to the CRM portal at %1: %2")
                                                  .arg(response.url().host(), Utils::networkErrorText(response.error()))
        : status >= 400 && status <= 499 ? QStringLiteral("Client Error")
                                         : QString::fromLatin1(upToZero(body));
    return QJsonObject{{QStringLiteral("code"), status}, {QStringLiteral("description"), description}};
}

bool Auth::acceptTokenAnswer(const QJsonObject &answer)
{
    // A 200 answer without a token (a proxy's page, a changed endpoint) must not wipe the token we have.
    if (answer.value(QLatin1String("access_token")).toString().isEmpty())
        return false;
    m_token->fromJson(answer);
    m_token->save();
    return true;
}

QString Auth::getRestUrl(const QString &method) const
{
    return QString(kRestUrlTemplate).arg(m_host, method);
}

void Auth::expireToken()
{
    m_token->expire();
}

void Auth::resetToken()
{
    m_token->fromJson(QJsonObject());
    m_token->save();
}

void Auth::dropToken(const QString &used, bool expired)
{
    if (m_token->getAccess() != used)
        return;
    if (expired)
        expireToken();
    else
        resetToken();
}

Utils::Promise<QJsonObject, QJsonObject> Auth::getCredentials()
{
    auto result = makePromise<QJsonObject>();
    if (m_token->isValid()) {
        result.resolve(credentials());
        return result;
    }
    m_waitingForToken.append(result);
    if (m_waitingForToken.size() == 1)
        renew();
    return result;
}

void Auth::renew()
{
    const QPointer<Auth> self(this);
    // Everyone waiting hears the outcome of this one renewal. Once cancelled (the destructor cancels too) there
    // is nobody left to tell: cancel() rejected each of them through m_pending, as every promise of makePromise.
    const auto settle = [self](const QJsonObject *error) {
        if (!self || !self->isAlive())
            return;
        const auto waiting = std::exchange(self->m_waitingForToken, {});
        const QJsonObject credentials = self->credentials();
        for (const auto &promise : waiting) {
            if (error)
                promise.reject(*error);
            else
                promise.resolve(credentials);
        }
    };
    refreshToken()
        .onResolve([settle]() { settle(nullptr); })
        .onReject([self, settle](const QJsonObject &) {
            // Whatever made the refresh fail, a fresh login is the way out.
            if (!self || !self->isAlive())
                return;
            self->requestToken()
                .onResolve([settle]() { settle(nullptr); })
                .onReject([settle](const QJsonObject &error) { settle(&error); });
        });
}

Utils::Promise<void, QJsonObject> Auth::refreshToken()
{
    auto result = makePromise<void>();
    if (m_token->getRefresh().isEmpty()) {
        result.reject(QJsonObject{{QStringLiteral("code"), 0},
                                  {QStringLiteral("description"), QStringLiteral("Refresh_token is empty")}});
        return result;
    }
    if (m_host.isEmpty()) {
        result.reject(QJsonObject{{QStringLiteral("description"), QStringLiteral("Portal address is empty")}});
        return result;
    }

    const QJsonObject params{
        {QStringLiteral("grant_type"), QStringLiteral("refresh_token")},
        {QStringLiteral("refresh_token"), m_token->getRefresh()},
        {QStringLiteral("client_id"), m_clientId},
        {QStringLiteral("client_secret"), m_clientSecret},
    };
    qDebug().noquote() << "\tRefresh authorization token request";
    fetchToken(params, kRefreshRequestError, result);
    return result;
}

Utils::Promise<void, QJsonObject> Auth::requestToken()
{
    auto result = makePromise<void>();
    const QPointer<Auth> self(this);
    getCode()
        .onResolve([self, result](const QString &code) {
            if (!self || !self->isAlive())
                return result.reject(cancelledError());
            self->getToken(code)
                .onResolve([result]() { result.resolve(); })
                .onReject([result](const QJsonObject &error) { result.reject(error); });
        })
        .onReject([result](const QJsonObject &error) { result.reject(error); });
    return result;
}

Utils::Promise<QString, QJsonObject> Auth::getCode()
{
    auto result = makePromise<QString>();
    if (m_host.isEmpty()) {
        result.reject(QJsonObject{{QStringLiteral("description"), QStringLiteral("Portal address is empty")}});
        return result;
    }
    if (m_login.isEmpty()) {
        result.reject(QJsonObject{{QStringLiteral("description"), QStringLiteral("User login is empty")}});
        return result;
    }

    // The login form's fields go in a form body, as the portal's own login form posts them: a URL with the
    // password would stand in the access logs of the portal and of every proxy on the way.
    const QJsonObject form{
        {QStringLiteral("AUTH_FORM"), QStringLiteral("Y")},
        {QStringLiteral("TYPE"), QStringLiteral("AUTH")},
        {QStringLiteral("USER_REMEMBER"), QStringLiteral("Y")},
        {QStringLiteral("USER_LOGIN"), m_login},
        {QStringLiteral("USER_PASSWORD"), m_password},
    };
    QUrl url(QString(kAuthorizeUrlTemplate).arg(m_host), QUrl::TolerantMode);
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("response_type"), QStringLiteral("code"));
    query.addQueryItem(QStringLiteral("client_id"), m_clientId);
    url.setQuery(query);
    // The request carries the password: never log its parameters.
    qDebug().noquote() << "\tAuthorization code request";
    const QPointer<Auth> self(this);
    const HttpClient::Request request(url, HttpClient::Request::Post, form);
    send(request).onResolve([self, result](const HttpResponse &response) {
        if (!self || !self->isAlive())
            return result.reject(cancelledError());
        const int status = response->statusCode();
        const QByteArray body = response->body();
        if (status != 200) {
            const QJsonObject error = errorObject(*response, body);
            qDebug().noquote() << QString(kCodeRequestError).arg(status)
                               << error.value(QLatin1String("description")).toString();
            return result.reject(error);
        }
        QJsonObject error;
        const QString code = self->scrapeCode(body, &error);
        if (code.isEmpty())
            return result.reject(error);
        result.resolve(code);
    });
    return result;
}

QString Auth::scrapeCode(const QByteArray &page, QJsonObject *error) const
{
    const QString text = QString::fromUtf8(upToZero(page));

    static const QRegularExpression codePattern(QStringLiteral("<h1.*?>.*?([0-9a-zA-Z]+).*?</h1>"), kPageOptions);
    const QString code = codePattern.match(text).captured(1);
    if (!code.isEmpty())
        return code;

    static const QRegularExpression errorPattern(
        QStringLiteral("<p><font class=\"errortext\">.*?([\\S\\s]+).*?</font></p>"), kPageOptions);
    const QRegularExpressionMatch errorMatch = errorPattern.match(text);
    if (errorMatch.hasMatch()) {
        const QStringList parts = errorMatch.captured(1).split(QStringLiteral(": "));
        qDebug().noquote() << "Unknown error:" << parts.value(0).toLower() << parts.value(1).toLower();
        *error = QJsonObject{{QStringLiteral("code"), 200}, {QStringLiteral("description"), QString()}};
        return QString();
    }

    static const QRegularExpression loginFormPattern(QStringLiteral("<input.*?name=\"USER_LOGIN\".*?/>"),
                                                     kPageOptions);
    if (loginFormPattern.match(text).hasMatch()) {
        *error = QJsonObject{
            {QStringLiteral("code"), 200},
            {QStringLiteral("description"),
             QStringLiteral("An authorization form received in response. The password is not correct or we've got "
                            "captcha.")}};
        return QString();
    }

    *error = QJsonObject{
        {QStringLiteral("code"), 200},
        {QStringLiteral("description"), QStringLiteral("Failed to find authorization code in response.")}};
    return QString();
}

Utils::Promise<void, QJsonObject> Auth::getToken(const QString &code)
{
    auto result = makePromise<void>();
    const QJsonObject params{
        {QStringLiteral("grant_type"), QStringLiteral("authorization_code")},
        {QStringLiteral("code"), code},
        {QStringLiteral("client_id"), m_clientId},
        {QStringLiteral("client_secret"), m_clientSecret},
    };
    qDebug().noquote() << "\tAuthorization token request";
    fetchToken(params, kTokenRequestError, result);
    return result;
}

void Auth::fetchToken(const QJsonObject &params, QLatin1String errorFormat,
                      const Utils::Promise<void, QJsonObject> &result)
{
    const QPointer<Auth> self(this);
    send(HttpClient::Request(m_tokenUrl, kGet, params))
        .onResolve([self, result, errorFormat](const HttpResponse &response) {
            if (!self || !self->isAlive())
                return result.reject(cancelledError());
            const int status = response->statusCode();
            const QByteArray body = response->body();
            QJsonObject error;
            if (status == 200) {
                if (self->acceptTokenAnswer(QJsonDocument::fromJson(upToZero(body)).object()))
                    return result.resolve();
                error = QJsonObject{{QStringLiteral("code"), status},
                                    {QStringLiteral("description"), QStringLiteral("The answer has no access token")}};
            } else {
                error = errorObject(*response, body);
            }
            qDebug().noquote() << QString(errorFormat).arg(status)
                               << error.value(QLatin1String("description")).toString();
            result.reject(error);
        });
}

} // namespace Orvix::CRM::Bitrix
