#pragma once

#include "crm/bitrix/constants.h"
#include "httpclient/request.h"
#include "utils/promise.h"

#include <QHash>
#include <QList>
#include <QJsonObject>
#include <QObject>
#include <QSharedPointer>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>

namespace Orvix::HttpClient {
class HttpClient;
class Response;
} // namespace Orvix::HttpClient

namespace Orvix::CRM::Bitrix {

class Token;

// OAuth client of the CRM portal: logs in through the portal's authorisation page with the configured
// login and password, exchanges the code for a token at the token endpoint, renews it with the refresh
// token, and keeps it in the token file. Main thread only. Owned by the Connector between its start and
// stop; destroying it rejects every chain still waiting, so no caller is left hanging.
class Auth : public QObject
{
    Q_OBJECT

public:
    // tokenBaseDirectory: where the "generated" directory of the token file lives; empty means beside
    // the executable.
    Auth(const QString &host, const QString &login, const QString &password, const QString &generatedPostfix,
         const QSharedPointer<HttpClient::HttpClient> &client, QObject *parent = nullptr,
         const QString &tokenBaseDirectory = QString());
    ~Auth() override;

    // {"auth": access token}, after a refresh or a fresh login when the stored token cannot be used. Callers
    // that ask while one renewal is under way wait for that one: requests in flight together renew once.
    Utils::Promise<QJsonObject, QJsonObject> getCredentials();
    Utils::Promise<void, QJsonObject> refreshToken();
    Utils::Promise<void, QJsonObject> requestToken();
    Utils::Promise<QString, QJsonObject> getCode();
    Utils::Promise<void, QJsonObject> getToken(const QString &code);

    QString getRestUrl(const QString &method) const;
    QString portalHost() const { return m_host; }
    QUrl tokenUrl() const { return m_tokenUrl; }
    QSharedPointer<Token> token() const { return m_token; }

    // Empties the stored token, so that the next getCredentials logs in with login and password.
    void resetToken();
    // Keeps the token but counts it as expired, so that the next getCredentials renews it.
    void expireToken();
    // expireToken (expired) or resetToken for a token the portal refused, if it is still the access token
    // used: one another request has renewed since stays.
    void dropToken(const QString &used, bool expired);

    // Rejects every pending chain and ignores every answer still to come; the object is then only good for
    // deletion. The destructor does the same.
    void cancel();

    // Transfer time-out of every OAuth request; a server that never answers fails the request with
    // status 0 once it passes.
    void setRequestTimeout(std::chrono::milliseconds timeout) { m_requestTimeout = timeout; }

private:
    template <typename T>
    Utils::Promise<T, QJsonObject> makePromise();
    Utils::Promise<QSharedPointer<HttpClient::Response>> send(HttpClient::Request request);
    bool isAlive() const { return !m_cancelled; }
    QJsonObject credentials() const;
    // Refreshes the token, else logs in afresh, and settles everyone waiting for credentials.
    void renew();
    // Stores a token endpoint answer; false (and the old token kept) when it carries no access token.
    bool acceptTokenAnswer(const QJsonObject &answer);
    QString scrapeCode(const QByteArray &page, QJsonObject *error) const;
    // Asks the token endpoint with the given grant, stores the token it answers and settles `result`;
    // errorFormat ("... [%1]:", the status) heads the log line of a failure.
    void fetchToken(const QJsonObject &params, QLatin1String errorFormat,
                    const Utils::Promise<void, QJsonObject> &result);

    static QJsonObject errorObject(const HttpClient::Response &response, const QByteArray &body);
    static QJsonObject cancelledError();

    QString m_host;
    QString m_login;
    QString m_password;
    QSharedPointer<Token> m_token;
    QSharedPointer<HttpClient::HttpClient> m_httpClient;
    ApplicationType m_applicationType = ApplicationType::Default;
    QString m_clientId;
    QString m_clientSecret;
    QUrl m_tokenUrl;
    std::chrono::milliseconds m_requestTimeout = HttpClient::kDefaultTransferTimeout;
    // Originating object of every OAuth request in flight; cancel() destroys it, which aborts them, so a
    // stopped login never stays open at the portal beside the next one.
    QObject *m_requestOwner = nullptr;
    // Rejecters of the promises still pending, run when the object goes.
    QHash<quint64, std::function<void()>> m_pending;
    quint64 m_nextPendingId = 0;
    bool m_cancelled = false;
    // Callers of getCredentials waiting for the renewal under way; empty when there is none.
    QList<Utils::Promise<QJsonObject, QJsonObject>> m_waitingForToken;
};

} // namespace Orvix::CRM::Bitrix
