#pragma once

#include "httpclient/request.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSharedPointer>
#include <QString>

#include <chrono>
#include <functional>

class QTimer;

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

    QString m_tokenBaseDirectory;
    std::chrono::milliseconds m_requestTimeout = HttpClient::kDefaultTransferTimeout;
    // The request waiting for credentials, if any: a stop settles it, since its Auth goes away.
    quint64 m_executionCount = 0;
    quint64 m_awaitingCredentials = 0;
    Utils::Promise<QJsonValue> m_awaitingCredentialsPromise;
};

} // namespace Orvix::CRM::Bitrix
