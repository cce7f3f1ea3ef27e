#include "fakecrmserver.h"

#include "fakecrmform.h"
#include "fakehttp.h"

#include <QDateTime>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTimer>
#include <QUuid>

#include <algorithm>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace Orvix::Tests {

namespace {

QJsonObject timeObject()
{
    const QDateTime now = QDateTime::currentDateTime();
    const double seconds = double(now.toMSecsSinceEpoch()) / 1000.0;
    const QString date = now.toString(Qt::ISODate);
    return QJsonObject{{"start", seconds},        {"finish", seconds},          {"duration", 0.001},
                       {"processing", 0.0005},    {"date_start", date},         {"date_finish", date}};
}

// PHP's json_encode writes an empty array as [], never {}.
QJsonValue phpMap(const QJsonObject &object)
{
    if (object.isEmpty())
        return QJsonArray();
    return object;
}

QString newId()
{
    return QUuid::createUuid().toString(QUuid::Id128);
}

} // namespace

QByteArray FakeCrmRequest::header(const QByteArray &name) const
{
    return fakeHttpHeader(headers, name);
}

QString FakeCrmRequest::restMethod() const
{
    if (!path.startsWith(QLatin1String("/rest/")))
        return QString();
    QString method = path.mid(6);
    if (method.endsWith(QLatin1Char('/')))
        method.chop(1);
    if (method.endsWith(QLatin1String(".json")))
        method.chop(5);
    return method;
}

QJsonObject FakeCrmRequest::params() const
{
    QJsonObject all = query;
    for (auto it = form.begin(); it != form.end(); ++it)
        all.insert(it.key(), it.value());
    return all;
}

FakeCrmReply FakeCrmReply::result(const QJsonValue &value, int total, int next)
{
    QJsonObject body{{"result", value}};
    if (next >= 0)
        body.insert("next", next);
    if (total >= 0)
        body.insert("total", total);
    body.insert("time", timeObject());
    return json(body);
}

FakeCrmReply FakeCrmReply::error(int status, const QString &code, const QString &description)
{
    return json(QJsonObject{{"error", code}, {"error_description", description}}, status);
}

FakeCrmReply FakeCrmReply::expiredToken()
{
    return error(401, "expired_token", "The access token provided has expired.");
}

FakeCrmReply FakeCrmReply::queryLimitExceeded()
{
    return error(503, "QUERY_LIMIT_EXCEEDED", "Too many requests");
}

FakeCrmReply FakeCrmReply::json(const QJsonValue &value, int status)
{
    FakeCrmReply reply;
    reply.status = status;
    reply.body = value.isArray() ? QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact)
                                 : QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
    return reply;
}

FakeCrmReply FakeCrmReply::html(const QByteArray &page, int status)
{
    return raw(status, page, QByteArrayLiteral("text/html; charset=UTF-8"));
}

FakeCrmReply FakeCrmReply::raw(int status, const QByteArray &body, const QByteArray &contentType)
{
    FakeCrmReply reply;
    reply.status = status;
    reply.body = body;
    reply.contentType = contentType;
    return reply;
}

FakeCrmReply FakeCrmReply::redirect(const QString &location, int status)
{
    FakeCrmReply reply = raw(status, QByteArray());
    reply.headers.append({QByteArrayLiteral("Location"), location.toUtf8()});
    return reply;
}

FakeCrmReply FakeCrmReply::silent()
{
    FakeCrmReply reply;
    reply.neverAnswer = true;
    return reply;
}

FakeCrmReply FakeCrmReply::closed()
{
    FakeCrmReply reply;
    reply.closeConnection = true;
    return reply;
}

FakeCrmReply FakeCrmReply::cutOff() const
{
    FakeCrmReply copy = *this;
    copy.headOnly = true;
    return copy;
}

FakeCrmReply FakeCrmReply::delayed(int msec) const
{
    FakeCrmReply copy = *this;
    copy.delayMsec = msec;
    return copy;
}

FakeCrmServer::FakeCrmServer(QObject *parent)
    : QObject(parent)
{
    qRegisterMetaType<Orvix::Tests::FakeCrmRequest>();
    connect(&m_server, &QTcpServer::newConnection, this, &FakeCrmServer::onNewConnection);
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qWarning("FakeCrmServer: cannot listen: %s", qPrintable(m_server.errorString()));
    m_port = m_server.serverPort();
}

FakeCrmServer::~FakeCrmServer()
{
    const auto sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
    }
    m_server.close();
}

bool FakeCrmServer::isListening() const
{
    return m_server.isListening();
}

quint16 FakeCrmServer::port() const
{
    return m_port;
}

void FakeCrmServer::setRefusing(bool refusing)
{
    if (!refusing) {
        if (!m_server.isListening() && !m_server.listen(QHostAddress::LocalHost, m_port))
            qWarning("FakeCrmServer: cannot listen again: %s", qPrintable(m_server.errorString()));
        return;
    }
    m_server.close();
    const auto sockets = m_connections.keys();
    for (QTcpSocket *socket : sockets)
        socket->abort();
}

QString FakeCrmServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

QUrl FakeCrmServer::url(const QString &path) const
{
    return QUrl(baseUrl() + path);
}

QUrl FakeCrmServer::tokenUrl() const
{
    return url(QStringLiteral("/oauth/token/"));
}

void FakeCrmServer::setRestHandler(const QString &method, RestHandler handler)
{
    m_restHandlers.insert(method.toLower(), std::move(handler));
}

void FakeCrmServer::setRestResult(const QString &method, const QJsonValue &result)
{
    setRestHandler(method, [result](const QJsonObject &) { return FakeCrmReply::result(result); });
}

void FakeCrmServer::setRouteHandler(const QString &path, RouteHandler handler)
{
    m_routes.insert(path, std::move(handler));
}

void FakeCrmServer::pushReply(const QString &path, const FakeCrmReply &reply)
{
    m_scripted[path].append(reply);
}

void FakeCrmServer::pushRestReply(const QString &method, const FakeCrmReply &reply)
{
    pushReply(QStringLiteral("/rest/%1/").arg(method), reply);
}

void FakeCrmServer::setAuthMode(AuthMode mode)
{
    m_authMode = mode;
}

void FakeCrmServer::setCredentials(const QString &login, const QString &password)
{
    m_login = login;
    m_password = password;
}

void FakeCrmServer::setClientCredentials(const QString &clientId, const QString &clientSecret)
{
    m_clientId = clientId;
    m_clientSecret = clientSecret;
}

void FakeCrmServer::setTokenLifetime(int seconds)
{
    m_tokenLifetime = seconds;
}

void FakeCrmServer::addAccessToken(const QString &token)
{
    m_accessTokens.insert(token);
    m_expiredTokens.remove(token);
}

void FakeCrmServer::addRefreshToken(const QString &token)
{
    m_refreshTokens.insert(token);
}

void FakeCrmServer::expireAccessTokens()
{
    m_expiredTokens.unite(m_accessTokens);
    m_accessTokens.clear();
}

QString FakeCrmServer::lastAccessToken() const
{
    return m_lastAccessToken;
}

QString FakeCrmServer::lastRefreshToken() const
{
    return m_lastRefreshToken;
}

int FakeCrmServer::unansweredRequests() const
{
    int count = 0;
    for (const Connection &connection : m_connections) {
        if (connection.answering)
            ++count;
    }
    return count;
}

QList<FakeCrmRequest> FakeCrmServer::requests() const
{
    return m_requests;
}

QList<FakeCrmRequest> FakeCrmServer::requests(const QString &path) const
{
    QList<FakeCrmRequest> matching;
    for (const FakeCrmRequest &request : m_requests) {
        if (request.path == path)
            matching.append(request);
    }
    return matching;
}

QList<FakeCrmRequest> FakeCrmServer::restRequests(const QString &method) const
{
    QList<FakeCrmRequest> matching;
    for (const FakeCrmRequest &request : m_requests) {
        if (request.restMethod().compare(method, Qt::CaseInsensitive) == 0)
            matching.append(request);
    }
    return matching;
}

void FakeCrmServer::clearRequests()
{
    m_requests.clear();
}

QByteArray FakeCrmServer::codePage(const QString &code)
{
    return QByteArrayLiteral("<!DOCTYPE html>\n<html>\n<head><title>Application</title></head>\n<body>\n"
                             "<h1 class=\"code\">")
        + code.toUtf8() + QByteArrayLiteral("</h1>\n</body>\n</html>\n");
}

QByteArray FakeCrmServer::loginFormPage()
{
    return QByteArrayLiteral("<!DOCTYPE html>\n<html>\n<head><title>Authorization</title></head>\n<body>\n"
                             "<form name=\"form_auth\" method=\"post\" action=\"/oauth/authorize/\">\n"
                             "<input type=\"hidden\" name=\"AUTH_FORM\" value=\"Y\" />\n"
                             "<input type=\"text\" name=\"USER_LOGIN\" maxlength=\"255\" value=\"\" />\n"
                             "<input type=\"password\" name=\"USER_PASSWORD\" maxlength=\"255\" />\n"
                             "<input type=\"submit\" name=\"Login\" value=\"Log In\" />\n"
                             "</form>\n</body>\n</html>\n");
}

QByteArray FakeCrmServer::errorPage(const QString &errorText)
{
    QByteArray page = loginFormPage();
    page.replace("<body>\n", "<body>\n<p><font class=\"errortext\">" + errorText.toUtf8() + "</font></p>\n");
    return page;
}

void FakeCrmServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        m_connections.insert(socket, Connection());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_connections.remove(socket);
            socket->deleteLater();
        });
    }
}

void FakeCrmServer::onReadyRead(QTcpSocket *socket)
{
    auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    it->buffer.append(socket->readAll());
    if (m_prompt) {
        // Linux falls back to delayed acknowledgements after a while: asked again at every read.
        const int on = 1;
        ::setsockopt(int(socket->socketDescriptor()), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof(on));
    }
    if (it->answering)
        return;

    const int headerEnd = fakeHttpHeadEnd(it->buffer, socket);
    if (headerEnd < 0)
        return;
    const FakeHttpHead head = FakeHttpHead::parse(it->buffer, headerEnd);
    if (!head.wellFormed) {
        write(socket, FakeCrmReply::raw(400, "Malformed request line"));
        socket->disconnectFromHost();
        return;
    }

    FakeCrmRequest request;
    request.verb = head.verb;
    request.path = head.path;
    request.rawQuery = head.rawQuery;
    request.headers = head.headers;
    qint64 contentLength = 0;
    for (const auto &header : head.headers) {
        if (header.first.compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = header.second.toLongLong();
    }
    if (it->buffer.size() < headerEnd + 4 + contentLength)
        return; // the body is still on its way
    request.body = it->buffer.mid(headerEnd + 4, int(contentLength));
    it->buffer.remove(0, headerEnd + 4 + int(contentLength));

    request.query = FakeCrmForm::parse(request.rawQuery);
    if (request.header("Content-Type").toLower().startsWith("application/x-www-form-urlencoded")) {
        request.formPairs = FakeCrmForm::decodePairs(request.body);
        request.form = FakeCrmForm::build(request.formPairs);
    }
    handle(socket, request);
}

void FakeCrmServer::handle(QTcpSocket *socket, const FakeCrmRequest &request)
{
    m_requests.append(request);
    const FakeCrmReply reply = answer(request);
    const bool close = request.header("Connection").toLower() == "close";
    auto it = m_connections.find(socket);
    it->answering = true;
    Q_EMIT requestReceived(request);
    if (reply.neverAnswer)
        return;
    if (reply.closeConnection) {
        socket->disconnectFromHost();
        return;
    }
    if (reply.headOnly) {
        write(socket, reply, false);
        return;
    }

    QPointer<QTcpSocket> guarded(socket);
    auto send = [this, guarded, reply, close] {
        if (!guarded)
            return;
        write(guarded, reply);
        if (close) {
            guarded->disconnectFromHost();
            return;
        }
        auto it = m_connections.find(guarded);
        if (it == m_connections.end())
            return;
        it->answering = false;
        if (!it->buffer.isEmpty())
            onReadyRead(guarded); // a request that came in while we were answering
    };
    const int delay = reply.delayMsec > 0 ? reply.delayMsec : m_answerDelay;
    if (delay > 0)
        QTimer::singleShot(delay, this, send);
    else
        send();
}

FakeCrmReply FakeCrmServer::answer(const FakeCrmRequest &request)
{
    auto scripted = m_scripted.find(request.path);
    if (scripted != m_scripted.end() && !scripted->isEmpty())
        return scripted->takeFirst();
    auto route = m_routes.find(request.path);
    if (route != m_routes.end())
        return (*route)(request);

    if (request.path == QLatin1String("/oauth/authorize/"))
        return answerAuthorize(request);
    if (request.path == QLatin1String("/oauth/token/"))
        return answerToken(request);
    const QString method = request.restMethod();
    if (!method.isEmpty()) {
        if (method.compare(QLatin1String("batch"), Qt::CaseInsensitive) == 0) {
            const FakeCrmReply denied = answerRest(method, request.params(), true);
            if (denied.status != 200)
                return denied;
            QList<QPair<QString, QString>> pairs = FakeCrmForm::decodePairs(request.rawQuery);
            pairs.append(request.formPairs);
            return answerBatch(request.params(), pairs);
        }
        return answerRest(method, request.params(), true);
    }
    return FakeCrmReply::raw(404, "Not Found");
}

FakeCrmReply FakeCrmServer::answerRest(const QString &method, const QJsonObject &params, bool checkAuth)
{
    if (checkAuth && m_authMode != AuthMode::None) {
        const QString token = params.value("auth").toString();
        if (token.isEmpty())
            return FakeCrmReply::error(401, "NO_AUTH_FOUND", "Wrong authorization data");
        if (m_authMode == AuthMode::IssuedTokens && !m_accessTokens.contains(token)) {
            if (m_expiredTokens.contains(token))
                return FakeCrmReply::expiredToken();
            return FakeCrmReply::error(401, "invalid_token", "The access token provided is invalid.");
        }
    }
    if (method.compare(QLatin1String("batch"), Qt::CaseInsensitive) == 0)
        return FakeCrmReply(); // the caller runs the commands
    auto handler = m_restHandlers.find(method.toLower());
    if (handler == m_restHandlers.end())
        return FakeCrmReply::error(404, "ERROR_METHOD_NOT_FOUND", "Method not found!");
    if (method.compare(QLatin1String("telephony.externalcall.finish"), Qt::CaseInsensitive) == 0) {
        const FakeCrmReply reply = (*handler)(params);
        // A finished call is registered anew by a register repeated after it.
        const QString callId = params.value(QLatin1String("CALL_ID")).toString();
        for (auto it = m_registrations.begin(); reply.status == 200 && it != m_registrations.end();) {
            const QJsonObject first = QJsonDocument::fromJson(it->second.body).object();
            if (first.value(QLatin1String("result")).toObject().value(QLatin1String("CALL_ID")).toString() == callId)
                it = m_registrations.erase(it);
            else
                ++it;
        }
        return reply;
    }
    if (method.compare(QLatin1String("telephony.externalcall.register"), Qt::CaseInsensitive) != 0)
        return (*handler)(params);

    // The platform refuses a number without a digit in it ("anonymous", an empty caller id).
    const QString number = params.value(QLatin1String("PHONE_NUMBER")).toVariant().toString();
    if (params.contains(QLatin1String("PHONE_NUMBER"))
        && std::none_of(number.cbegin(), number.cend(), [](QChar c) { return c.isDigit(); }))
        return FakeCrmReply::error(400, "ERROR_CORE", "Unsupported phone number format");

    // The platform answers a register of a call it has not finished, repeated within 30 minutes with the
    // same number, type, user, line and external call id, with the call it registered first; the first
    // answer may have been lost on its way, the repeated one arrives.
    QStringList key;
    for (const char *name : {"PHONE_NUMBER", "TYPE", "USER_ID", "LINE_NUMBER", "EXTERNAL_CALL_ID"})
        key.append(params.value(QLatin1String(name)).toVariant().toString());
    const QString registration = key.join(QLatin1Char('\n'));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const auto earlier = m_registrations.constFind(registration);
    if (earlier != m_registrations.constEnd() && earlier->first.secsTo(now) < 30 * 60)
        return earlier->second;
    const FakeCrmReply reply = (*handler)(params);
    if (reply.status == 200) {
        FakeCrmReply repeated = reply;
        repeated.neverAnswer = false;
        m_registrations.insert(registration, qMakePair(now, repeated));
    }
    return reply;
}

FakeCrmReply FakeCrmServer::answerBatch(const QJsonObject &params, const QList<QPair<QString, QString>> &pairs)
{
    const bool halt = params.value("halt").toString() == QLatin1String("1");
    // The portal runs at most 50 commands of one batch and refuses a longer one whole.
    if (params.value("cmd").toObject().size() > 50)
        return FakeCrmReply::error(400, "ERROR_BATCH_LENGTH_EXCEEDED", "Max batch length exceeded");
    QJsonObject results;
    QJsonObject errors;
    QJsonObject totals;
    QJsonObject nexts;
    QJsonObject times;
    QSet<QString> done;
    for (const auto &pair : pairs) {
        const QString &key = pair.first;
        if (!key.startsWith(QLatin1String("cmd[")) || !key.endsWith(QLatin1Char(']')))
            continue;
        const QString name = key.mid(4, key.size() - 5);
        if (done.contains(name))
            continue;
        done.insert(name);

        const int question = pair.second.indexOf(QLatin1Char('?'));
        const QString method = question < 0 ? pair.second : pair.second.left(question);
        const QJsonObject commandParams =
            FakeCrmForm::parse(question < 0 ? QByteArray() : pair.second.mid(question + 1).toUtf8());
        const FakeCrmReply reply = answerRest(method, commandParams, false);
        const QJsonObject body = QJsonDocument::fromJson(reply.body).object();
        if (reply.status >= 200 && reply.status < 300 && body.contains("result")) {
            results.insert(name, body.value("result"));
            if (body.contains("total"))
                totals.insert(name, body.value("total"));
            if (body.contains("next"))
                nexts.insert(name, body.value("next"));
            times.insert(name, timeObject());
            continue;
        }
        QJsonObject error{{"error", body.value("error").toString("ERROR_CORE")},
                          {"error_description", body.value("error_description").toString()}};
        errors.insert(name, error);
        if (halt)
            break;
    }
    const QJsonObject inner{{"result", phpMap(results)},     {"result_error", phpMap(errors)},
                            {"result_total", phpMap(totals)}, {"result_next", phpMap(nexts)},
                            {"result_time", phpMap(times)}};
    return FakeCrmReply::result(inner);
}

FakeCrmReply FakeCrmServer::answerAuthorize(const FakeCrmRequest &request)
{
    const QJsonObject params = request.params();
    if (params.value("USER_LOGIN").toString() != m_login || params.value("USER_PASSWORD").toString() != m_password)
        return FakeCrmReply::html(errorPage(QStringLiteral("Неверный логин или пароль.")));
    if (!m_clientId.isEmpty() && params.value("client_id").toString() != m_clientId)
        return FakeCrmReply::html(errorPage(QStringLiteral("Application not found: ") + params.value("client_id").toString()));
    const QString code = newId();
    m_codes.insert(code);
    return FakeCrmReply::html(codePage(code));
}

FakeCrmReply FakeCrmServer::answerToken(const FakeCrmRequest &request)
{
    const QJsonObject params = request.params();
    if (!m_clientId.isEmpty()
        && (params.value("client_id").toString() != m_clientId
            || params.value("client_secret").toString() != m_clientSecret)) {
        return FakeCrmReply::error(401, "invalid_client", "Invalid client credentials");
    }
    const QString grant = params.value("grant_type").toString();
    if (grant == QLatin1String("authorization_code")) {
        if (!m_codes.remove(params.value("code").toString()))
            return FakeCrmReply::error(400, "invalid_grant", "Invalid authorization code");
    } else if (grant == QLatin1String("refresh_token")) {
        if (!m_refreshTokens.remove(params.value("refresh_token").toString()))
            return FakeCrmReply::error(400, "invalid_grant", "Invalid refresh token");
    } else {
        return FakeCrmReply::error(400, "invalid_request", "Unsupported grant_type");
    }

    m_lastAccessToken = newId();
    m_lastRefreshToken = newId();
    m_accessTokens.insert(m_lastAccessToken);
    m_refreshTokens.insert(m_lastRefreshToken);
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return FakeCrmReply::json(QJsonObject{{"access_token", m_lastAccessToken},
                                          {"expires", now + m_tokenLifetime},
                                          {"expires_in", m_tokenLifetime},
                                          {"scope", "app"},
                                          {"domain", QStringLiteral("127.0.0.1:%1").arg(port())},
                                          {"server_endpoint", baseUrl() + "/rest/"},
                                          {"status", "L"},
                                          {"client_endpoint", baseUrl() + "/rest/"},
                                          {"member_id", "a223c6b3710f85df22e9377d6c4f7553"},
                                          {"user_id", 1},
                                          {"refresh_token", m_lastRefreshToken}});
}

void FakeCrmServer::write(QTcpSocket *socket, const FakeCrmReply &reply, bool withBody)
{
    QByteArray head = fakeHttpStatusLine(reply.status);
    head += "Server: fake-crm\r\n";
    head += "Content-Type: " + reply.contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
    for (const auto &header : reply.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "\r\n";
    socket->write(withBody ? head + reply.body : head);
}

} // namespace Orvix::Tests
