#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

namespace Orvix::Tests {

// One HTTP request as the fake portal received it.
struct FakeCrmRequest
{
    QByteArray verb;                                 // "GET", "POST", "DELETE"
    QString path;                                    // decoded path, e.g. "/rest/user.get/"
    QByteArray rawQuery;                             // the URL query as sent, without "?"
    QJsonObject query;                               // rawQuery decoded PHP-style
    QJsonObject form;                                // form body decoded PHP-style ({} for other bodies)
    QList<QPair<QString, QString>> formPairs;        // form body pairs in wire order, decoded
    QList<QPair<QByteArray, QByteArray>> headers;    // in wire order, names as sent
    QByteArray body;                                 // raw body bytes

    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
    QString restMethod() const;                      // "user.get" for "/rest/user.get/", else empty
    QJsonObject params() const;                      // query overlaid with form, like PHP's $_REQUEST
};

// What the fake answers to one request (or to one command of a batch).
struct FakeCrmReply
{
    int status = 200;
    QByteArray contentType = QByteArrayLiteral("application/json; charset=utf-8");
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // extra response headers
    int delayMsec = 0;                            // answer this much later
    bool neverAnswer = false;                     // keep the connection open and silent
    bool closeConnection = false;                 // close the connection without an answer
    bool headOnly = false;                        // send the status line and headers, never the body

    // {"result": value, "time": {...}} with optional "total"/"next", as the REST API answers.
    static FakeCrmReply result(const QJsonValue &value, int total = -1, int next = -1);
    // {"error": code, "error_description": description} with the given HTTP status.
    static FakeCrmReply error(int status, const QString &code, const QString &description);
    // The portal's answers to a token that its clock says has expired, and to a client over its rate limit.
    static FakeCrmReply expiredToken();       // 401 {"error": "expired_token", ...}
    static FakeCrmReply queryLimitExceeded(); // 503 {"error": "QUERY_LIMIT_EXCEEDED", ...}
    static FakeCrmReply json(const QJsonValue &value, int status = 200);
    static FakeCrmReply html(const QByteArray &page, int status = 200);
    static FakeCrmReply raw(int status, const QByteArray &body, const QByteArray &contentType = "text/plain");
    static FakeCrmReply redirect(const QString &location, int status = 302);
    static FakeCrmReply silent(); // never answers
    static FakeCrmReply closed(); // takes the request and closes the connection, as a restarting server or proxy
    FakeCrmReply cutOff() const;  // this reply's head alone, then silence: an answer the time-out cuts
    FakeCrmReply delayed(int msec) const;
};

// In-process stand-in for the CRM portal and its OAuth server: HTTP/1.1 on 127.0.0.1, free port,
// keep-alive; owned by the test, closes every connection when destroyed. Main thread only.
//
// Routes:
//  - "/rest/<method>/" (GET query and/or POST form): checks "auth" (see AuthMode), then calls the
//    handler set for <method>. No handler: 404 ERROR_METHOD_NOT_FOUND. "batch" is built in: each
//    "cmd[key]" = "method?query" runs through the same handlers and the answer is
//    {"result": {"result": {key: result}, "result_error": {key: {error...}}, "result_total",
//    "result_next", "result_time"}, "time": {...}} (empty maps are written as [] like PHP does);
//    "halt" = 1 stops at the first failed command; more than 50 commands: 400 ERROR_BATCH_LENGTH_EXCEEDED.
//  - "/oauth/authorize/" (the login form posted, as the portal's own form does, or its fields in a GET
//    query): with USER_LOGIN/USER_PASSWORD equal to the fake's credentials, an HTML
//    page carrying a fresh code in its <h1>; otherwise the login form with an error block.
//  - "/oauth/token/": grant_type "authorization_code" (a code the fake issued, once) or
//    "refresh_token" (the current refresh token) gives {"access_token", "refresh_token",
//    "expires_in", ...}; anything else 400 {"error": "invalid_grant"}; a client_id/client_secret
//    other than those set by setClientCredentials (when set) 401 {"error": "invalid_client"}.
//  - "telephony.externalcall.register": a PHONE_NUMBER without a digit is refused as the platform
//    does (400 ERROR_CORE "Unsupported phone number format"); as the platform documents, a register
//    repeated within 30 minutes with the same PHONE_NUMBER, TYPE, USER_ID, LINE_NUMBER and
//    EXTERNAL_CALL_ID gets the answer of the first (its CALL_ID) without reaching the handler, until
//    that call is finished.
//  - any path: setRouteHandler() overrides or adds routes (redirects, odd pages).
// Scripting: pushReply(path, reply) answers the next request to that exact path with the reply
// instead of its handler (a queue per path; "/rest/<m>/" of a batch command is not consumed).
// Ids and numbers in results are the test's choice; the real portal sends ids as strings.
class FakeCrmServer : public QObject
{
    Q_OBJECT
public:
    using RestHandler = std::function<FakeCrmReply(const QJsonObject &params)>;
    using RouteHandler = std::function<FakeCrmReply(const FakeCrmRequest &request)>;

    enum class AuthMode {
        IssuedTokens, // "auth" must be an access token this fake issued (or addAccessToken); default
        AnyToken,     // any non-empty "auth"
        None,         // no check
    };

    explicit FakeCrmServer(QObject *parent = nullptr); // listens at once
    ~FakeCrmServer() override;

    bool isListening() const;
    quint16 port() const;
    // The portal's host down: connections are refused and the open ones reset, until it listens again
    // on the same port.
    void setRefusing(bool refusing);
    // Every answer that sets no delay of its own comes this much later (0: at once): a slow portal.
    void setAnswerDelay(int msec) { m_answerDelay = msec; }
    QString baseUrl() const;  // "http://127.0.0.1:PORT"
    QUrl url(const QString &path) const;
    QUrl tokenUrl() const;    // baseUrl + "/oauth/token/"

    void setRestHandler(const QString &method, RestHandler handler);
    void setRestResult(const QString &method, const QJsonValue &result); // always this result
    void setRouteHandler(const QString &path, RouteHandler handler);
    void pushReply(const QString &path, const FakeCrmReply &reply);
    void pushRestReply(const QString &method, const FakeCrmReply &reply);

    void setAuthMode(AuthMode mode);
    // Acknowledges each request's bytes at once, as a portal next door: a client that writes a request's head and
    // body apart otherwise waits the 40 ms of a delayed acknowledgement for every request (a benchmark's load).
    void setPrompt(bool prompt) { m_prompt = prompt; }
    void setCredentials(const QString &login, const QString &password); // default "admin"/"secret"
    void setClientCredentials(const QString &clientId, const QString &clientSecret);
    void setTokenLifetime(int seconds); // "expires_in" of issued tokens, default 3600
    void addAccessToken(const QString &token);
    void addRefreshToken(const QString &token);
    void expireAccessTokens();          // later REST calls with them get 401 expired_token
    QString lastAccessToken() const;
    QString lastRefreshToken() const;

    // Requests received whose connection is still open and waiting for the answer (delayed or never sent).
    int unansweredRequests() const;

    QList<FakeCrmRequest> requests() const;
    QList<FakeCrmRequest> requests(const QString &path) const;
    QList<FakeCrmRequest> restRequests(const QString &method) const;
    void clearRequests();

    // Pages of the authorisation form, for pushReply("/oauth/authorize/", ...).
    static QByteArray codePage(const QString &code);
    static QByteArray errorPage(const QString &errorText); // error block plus the login form
    static QByteArray loginFormPage();

Q_SIGNALS:
    void requestReceived(const Orvix::Tests::FakeCrmRequest &request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void handle(QTcpSocket *socket, const FakeCrmRequest &request);
    FakeCrmReply answer(const FakeCrmRequest &request);
    FakeCrmReply answerRest(const QString &method, const QJsonObject &params, bool checkAuth);
    FakeCrmReply answerBatch(const QJsonObject &params, const QList<QPair<QString, QString>> &pairs);
    FakeCrmReply answerAuthorize(const FakeCrmRequest &request);
    FakeCrmReply answerToken(const FakeCrmRequest &request);
    void write(QTcpSocket *socket, const FakeCrmReply &reply, bool withBody = true);

    QTcpServer m_server;
    quint16 m_port = 0;
    int m_answerDelay = 0;
    bool m_prompt = false;
    struct Connection
    {
        QByteArray buffer;
        bool answering = false; // a delayed or never-sent answer holds back the next request
    };
    QHash<QTcpSocket *, Connection> m_connections;
    QHash<QString, RestHandler> m_restHandlers;
    QHash<QString, RouteHandler> m_routes;
    QHash<QString, QList<FakeCrmReply>> m_scripted;
    QHash<QString, QPair<QDateTime, FakeCrmReply>> m_registrations; // register key -> first answer
    QList<FakeCrmRequest> m_requests;
    AuthMode m_authMode = AuthMode::IssuedTokens;
    QString m_login = QStringLiteral("admin");
    QString m_password = QStringLiteral("secret");
    QString m_clientId;
    QString m_clientSecret;
    int m_tokenLifetime = 3600;
    QSet<QString> m_codes;
    QSet<QString> m_accessTokens;
    QSet<QString> m_expiredTokens;
    QSet<QString> m_refreshTokens;
    QString m_lastAccessToken;
    QString m_lastRefreshToken;
};

} // namespace Orvix::Tests

Q_DECLARE_METATYPE(Orvix::Tests::FakeCrmRequest)
