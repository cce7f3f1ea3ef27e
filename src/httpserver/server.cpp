#include "server.h"

#include "accessfailures.h"
#include "config/generateddirectory.h"
#include "digestauthentication.h"
#include "iaction.h"
#include "logging.h"
#include "qhttpserver/qhttpconnection.h"
#include "qhttpserver/qhttprequest.h"
#include "qhttpserver/qhttpresponse.h"
#include "qhttpserver/qhttpsserver.h"
#include "request.h"
#include "response.h"
#include "staticfiles.h"
#include "utils/samesecret.h"
#include "webpassword.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QSharedPointer>
#include <QSslSocket>
#include <QTimer>
#include <QUrl>

#include <optional>
#include <utility>

namespace Orvix::HttpServer {

namespace {

const QString kStaticPrefix = QStringLiteral("/static/");
const QString kEventsPrefix = QStringLiteral("/events/");
// The portal's events are a few hundred bytes: no more is taken from whoever posts to their routes.
constexpr qint64 kMaxEventBodyBytes = 16 * 1024;

// Whether the Origin a browser sent is this server as the browser reached it (scheme, host and port).
bool isOwnOrigin(const Request &request, const QByteArray &origin)
{
    const QUrl from(QString::fromLatin1(origin));
    const QString scheme = request.isSecure() ? QStringLiteral("https") : QStringLiteral("http");
    const QUrl self(scheme + QStringLiteral("://") + QString::fromLatin1(request.header(QByteArrayLiteral("Host"))));
    const int defaultPort = request.isSecure() ? 443 : 80;
    return from.isValid() && self.isValid() && !from.host().isEmpty() && from.scheme() == scheme
        && from.host().compare(self.host(), Qt::CaseInsensitive) == 0
        && from.port(defaultPort) == self.port(defaultPort);
}

// Whether a browser marks the request as sent from another site; other clients send nothing. Another site
// of the same domain (another port of this host) counts as another site. Browsers without Sec-Fetch-Site
// still name the page's origin on what a page sends, except plain navigations.
bool fromAnotherSite(const Request &request)
{
    const QByteArray site = request.header(QByteArrayLiteral("Sec-Fetch-Site")).trimmed().toLower();
    if (!site.isEmpty())
        return site == "cross-site" || site == "same-site";
    const QByteArray origin = request.header(QByteArrayLiteral("Origin")).trimmed();
    return !origin.isEmpty() && !isOwnOrigin(request, origin);
}

// The portal posts its events to the handler address the service bound, which carries the key.
bool carriesEventKey(const Request &request)
{
    const QString expected = Config::GeneratedDirectory::eventKey();
    const QJsonValue given = request.query().value(Config::GeneratedDirectory::kEventKeyParameter);
    return given.isString() && Utils::sameSecret(given.toString(), expected);
}

std::optional<QHostAddress> addressOf(const QString &host)
{
    if (host.isEmpty())
        return QHostAddress(QHostAddress::Any);
    if (host == QLatin1String("localhost"))
        return QHostAddress(QHostAddress::LocalHost);
    QHostAddress address(host);
    if (address.isNull())
        return std::nullopt;
    return address;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

} // namespace

Server::Server(QObject *parent)
    : QObject(parent)
    , m_filesDirectory(QCoreApplication::applicationDirPath())
{
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this, &Server::onAboutToQuit);
}

Server::~Server() = default;

void Server::setFilesDirectory(const QString &directory)
{
    m_filesDirectory = directory;
}

QString Server::staticDirectory() const
{
    return QDir(m_filesDirectory).filePath(QStringLiteral("static"));
}

bool Server::listen(const QString &host, int port, bool useHttp)
{
    if (m_http) {
        m_http->close();
        m_http->deleteLater();
        m_http = nullptr;
    }
    if (!useHttp) {
        qInfo() << "Plain HTTP is switched off: no HTTP listener";
        return false;
    }
    const auto address = addressOf(host);
    if (!address || port < 0 || port > 65535) {
        qWarning().noquote() << QStringLiteral("HTTP server cannot listen on %1:%2: invalid address").arg(host).arg(port);
        return false;
    }
    m_http = new QHttpServer(this);
    m_http->setBodyLimit(&Server::bodyLimit);
    connect(m_http, &QHttpServer::newRequest, this, &Server::onNewRequest);
    if (!m_http->listen(*address, static_cast<quint16>(port))) {
        qWarning().noquote()
            << QStringLiteral("HTTP server cannot listen on %1:%2: %3").arg(host).arg(port).arg(m_http->errorString());
        m_http->deleteLater();
        m_http = nullptr;
        return false;
    }
    qInfo().noquote() << QStringLiteral("HTTP server listening on %1:%2").arg(host).arg(m_http->serverPort());
    return true;
}

bool Server::listenSecure(const QString &host, int port)
{
    if (m_https) {
        m_https->close();
        m_https->deleteLater();
        m_https = nullptr;
    }
    const QDir dir(m_filesDirectory);
    const QString certificatePath = dir.filePath(QStringLiteral("ssl/server.crt"));
    const QString keyPath = dir.filePath(QStringLiteral("ssl/server.key"));
    const QSslCertificate certificate(readFile(certificatePath), QSsl::Pem);
    const QByteArray keyBytes = readFile(keyPath);
    QSslKey key(keyBytes, QSsl::Rsa, QSsl::Pem);
    if (key.isNull())
        key = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
    if (certificate.isNull() || key.isNull()) {
        qWarning().noquote() << QStringLiteral("HTTPS server not started: no readable certificate %1 and key %2")
                                    .arg(certificatePath, keyPath);
        return false;
    }
    if (!QSslSocket::supportsSsl()) {
        qWarning() << "HTTPS server not started: TLS is not available";
        return false;
    }
    const auto address = addressOf(host);
    if (!address || port < 0 || port > 65535) {
        qWarning().noquote() << QStringLiteral("HTTPS server cannot listen on %1:%2: invalid address").arg(host).arg(port);
        return false;
    }
    m_https = new QHttpsServer(certificate, key, this);
    m_https->setBodyLimit(&Server::bodyLimit);
    connect(m_https, &QHttpServer::newRequest, this, &Server::onNewRequest);
    if (!m_https->listen(*address, static_cast<quint16>(port))) {
        qWarning().noquote()
            << QStringLiteral("HTTPS server cannot listen on %1:%2: %3").arg(host).arg(port).arg(m_https->errorString());
        m_https->deleteLater();
        m_https = nullptr;
        return false;
    }
    qInfo().noquote() << QStringLiteral("HTTPS server listening on %1:%2").arg(host).arg(m_https->serverPort());
    return true;
}

void Server::close()
{
    if (m_http)
        m_http->close();
    if (m_https)
        m_https->close();
}

quint16 Server::port() const
{
    return m_http && m_http->isListening() ? m_http->serverPort() : 0;
}

quint16 Server::securePort() const
{
    return m_https && m_https->isListening() ? m_https->serverPort() : 0;
}

qint64 Server::bodyLimit(const QByteArray &, const QByteArray &target)
{
    const QString path = QUrl::fromPercentEncoding(QHttpRequest::pathOf(target));
    const IAction *action = IAction::find(path);
    const qint64 limit = action ? action->maxBodyBytes() : IAction::kDefaultMaxBodyBytes;
    return path.startsWith(kEventsPrefix) ? qMin(limit, kMaxEventBodyBytes) : limit;
}

void Server::onAboutToQuit()
{
    // The actions go before the server does, and each request they leave unanswered would say so in a line
    // of its own: tens of thousands of lines in one stop. One line says it for them all.
    const int answered = QHttpConnection::answerUnanswered(
        503, QByteArrayLiteral("application/json"), QByteArrayLiteral("{\"error\":\"The service is stopping\"}"));
    if (answered > 0)
        qInfo().noquote() << QStringLiteral("Stopping: %1 requests still waiting were answered 503").arg(answered);
}

void Server::onNewRequest(QHttpRequest *request, QHttpResponse *response)
{
    handle(Request(*request), Response(response));
}

bool Server::isForeignRequest(const Request &request, const IAction &action)
{
    if (!fromAnotherSite(request))
        return false;
    const bool navigation = request.header(QByteArrayLiteral("Sec-Fetch-Mode")).trimmed().toLower() == "navigate";
    const QByteArray destination = request.header(QByteArrayLiteral("Sec-Fetch-Dest")).trimmed().toLower();
    // A page shown inside a foreign page could be clicked through by someone who does not see it.
    const bool framed = destination == "iframe" || destination == "frame" || destination == "embed"
        || destination == "object" || destination == "fencedframe";
    const bool reading = request.method() == QLatin1String("GET") || request.method() == QLatin1String("HEAD");
    return !(action.isPage() && navigation && reading && !framed);
}

bool Server::isFromBrowser(const Request &request)
{
    return fromAnotherSite(request) || !request.header(QByteArrayLiteral("Origin")).isEmpty();
}

void Server::handle(const Request &request, Response response)
{
    const QString path = request.path();
    qCDebug(lcHttpServer) << request.method() << request.target() << "from" << request.remoteAddress();
    if (IAction *action = IAction::find(path)) {
        // The portal posts its events from its servers to the address bound with the key; anything else
        // (a page in a browser, a link previewer, a forged form) would make the PBX dial.
        if (path.startsWith(kEventsPrefix)) {
            if (request.method() != QLatin1String("POST")) {
                response.setHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("POST"));
                response.sendError(405, QStringLiteral("Method not allowed"));
                return;
            }
            if (isFromBrowser(request)) {
                response.sendError(403, QStringLiteral("Cross-site request refused"));
                return;
            }
            if (!carriesEventKey(request)) {
                AccessFailures::record(request.remoteAddress(),
                                       QStringLiteral("Event to %1 from %2 refused: it does not carry the key of the "
                                                      "bound handler")
                                           .arg(path, request.remoteAddress().toString()));
                response.sendError(403, QStringLiteral("Unknown event handler"));
                return;
            }
        }
        if (request.method() != QLatin1String("GET") && request.method() != QLatin1String("POST")) {
            response.setHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET, POST"));
            response.sendError(405, QStringLiteral("Method not allowed"));
            return;
        }
        const bool needsLogin = action->requiresAuthFor(request);
        const bool checksLogin = needsLogin || action->checksPassword();
        // A page of another site could otherwise guess in the administrator's browser, and make its address
        // wait for every guess.
        if (checksLogin && isForeignRequest(request, *action)) {
            response.sendError(403, QStringLiteral("Cross-site request refused"));
            return;
        }
        if (needsLogin && !WebPassword::isSet()) {
            response.sendError(403, WebPassword::unsetError());
            return;
        }
        if (needsLogin) {
            checkDigest(*action, request, response);
            return;
        }
        // A client guessing passwords waits, its guesses one after the other; the password is checked when its
        // turn comes, so that a right guess is not told apart sooner.
        if (checksLogin) {
            afterTurn(request, response, false, actionAtTurn(request, false));
            return;
        }
        action->execute(request, response);
        return;
    }
    if (path.startsWith(kStaticPrefix)) {
        serveStatic(request, response);
        return;
    }
    response.sendError(404, QStringLiteral("Not found"));
}

void Server::refuseLogin(Response response, std::chrono::milliseconds retryAfter)
{
    const qint64 seconds = qMax<qint64>(1, (retryAfter.count() + 999) / 1000);
    response.setHeader(QByteArrayLiteral("Retry-After"), QByteArray::number(seconds));
    response.sendError(429, QStringLiteral("Too many failed logins from this address: try again in %1 s").arg(seconds));
}

void Server::checkDigest(IAction &action, const Request &request, Response response)
{
    // A challenge tells nothing: it needs no turn.
    if (request.header(QByteArrayLiteral("Authorization")).isEmpty()) {
        DigestAuthentication::sendChallenge(response);
        return;
    }
    // A client whose failures ran ahead of its turns (it does not wait for its answers) has its logins checked
    // at its turns only, as a right guess answered at once would tell it what a wrong one waiting does not.
    // A nonce its right answer used before is the administrator's browser, not a guess.
    if (!AccessFailures::mayCheckAtOnce(request.remoteAddress()) && !DigestAuthentication::usesKnownNonce(request)) {
        afterTurn(request, response, false, actionAtTurn(request, true));
        return;
    }
    // Checked at once, so that a neighbour failing behind the same address locks nobody out: a request without
    // credentials gets its challenge, a right one its answer. Only a wrong one waits for its client's turn.
    const DigestAuthentication::Result result = DigestAuthentication::check(request);
    if (result != DigestAuthentication::Result::Invalid) {
        if (DigestAuthentication::respond(request, response, result))
            action.execute(request, response);
        return;
    }
    afterTurn(request, response, true, [](Response waited) { DigestAuthentication::sendChallenge(waited); });
}

std::function<void(Response)> Server::actionAtTurn(const Request &request, bool needsLogin)
{
    // Found again: the action may be gone by the client's turn.
    return [this, request, needsLogin](Response waited) {
        if (IAction *current = IAction::find(request.path()))
            runAction(*current, request, waited, needsLogin);
    };
}

void Server::afterTurn(const Request &request, Response response, bool wrongLogin,
                       const std::function<void(Response)> &then)
{
    const AccessFailures::Turn turn = AccessFailures::takeTurn(request.remoteAddress());
    // Counted now, not when its answer goes: a guesser that leaves after a moment of silence has learnt that the
    // login was wrong all the same.
    if (wrongLogin)
        DigestAuthentication::loginFailed(request);
    if (turn.kind == AccessFailures::Turn::Refused) {
        // A wrong login is answered all the same: a client that sends its guesses side by side must not have them
        // checked free.
        if (wrongLogin)
            then(response);
        else
            refuseLogin(response, turn.in);
    } else if (turn.kind == AccessFailures::Turn::Wait) {
        waitTurn(request, response, turn.in, then);
    } else {
        then(response);
    }
}

void Server::waitTurn(const Request &request, Response response, std::chrono::milliseconds wait,
                      const std::function<void(Response)> &then)
{
    // Its connection counts as idle meanwhile, so that logins waiting out their turns never keep the portal's
    // events or the administrator out of the connections.
    response.setParked(true);
    // Owned by the answer: a client that leaves takes its waiting request, and the body it holds, along, and
    // gives its turn back.
    auto *raw = qobject_cast<QHttpResponse *>(response.lifetime());
    auto *turn = new QTimer(raw ? static_cast<QObject *>(raw) : this);
    turn->setSingleShot(true);
    const auto waiting = QSharedPointer<bool>::create(true);
    const auto giveBack = [client = request.remoteAddress(), waiting] {
        if (std::exchange(*waiting, false))
            AccessFailures::endWait(client);
    };
    if (raw)
        connect(raw, &QHttpResponse::clientGone, turn, giveBack);
    connect(turn, &QObject::destroyed, this, giveBack);
    connect(turn, &QTimer::timeout, this, [turn, response, giveBack, then, client = request.remoteAddress()]() mutable {
        // Its network's turn may have gone to a client that failed less.
        if (const std::chrono::milliseconds again = AccessFailures::untilTurn(client); again.count() > 0) {
            turn->start(again);
            return;
        }
        giveBack();
        turn->deleteLater();
        response.setParked(false);
        if (!response.isClientGone())
            then(response);
    });
    turn->start(wait);
}

void Server::runAction(IAction &action, const Request &request, Response response, bool needsLogin)
{
    if (needsLogin && !DigestAuthentication::authenticate(request, response))
        return;
    action.execute(request, response);
}

void Server::serveStatic(const Request &request, Response response)
{
    if (request.method() != QLatin1String("GET") && request.method() != QLatin1String("HEAD")) {
        response.setHeader(QByteArrayLiteral("Allow"), QByteArrayLiteral("GET, HEAD"));
        response.sendError(405, QStringLiteral("Method not allowed"));
        return;
    }
    const QString relative = request.path().mid(kStaticPrefix.size());
    const QString file = StaticFiles::resolve(staticDirectory(), relative);
    if (file.isEmpty()) {
        response.sendError(404, QStringLiteral("Not found"));
        return;
    }
    response.sendFile(file);
}

} // namespace Orvix::HttpServer
