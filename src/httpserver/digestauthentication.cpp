#include "digestauthentication.h"

#include "accessfailures.h"
#include "config/manager.h"
#include "logging.h"
#include "qhttpserver/qhttpconnection.h"
#include "webpassword.h"
#include "request.h"
#include "response.h"

#include <QCryptographicHash>
#include <QDebug>
#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <deque>
#include <optional>
#include <utility>

namespace Orvix::HttpServer {

namespace {

// Compares without an early exit, so the time taken tells nothing about where the texts differ.
bool constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a.at(i) ^ b.at(i));
    return difference == 0;
}

// Nonces carry the moment they were made and a keyed hash of it: a challenge costs no memory, so no flood
// of challenges can push out the nonces that clients are using. Only a nonce answered right is remembered,
// for its count.
struct UsedNonce
{
    qint64 created = 0; // ms on the monotonic clock
    quint64 lastCount = 0;
    QHostAddress client; // that answered it right last, as the throttle counts it; none after its wrong answer
};

struct NonceStore
{
    QByteArray secret;
    QElapsedTimer clock;
    std::chrono::milliseconds lifetime = DigestAuthentication::kNonceLifetime;
    QByteArray opaque;
    QHash<QByteArray, UsedNonce> used;
    std::deque<QByteArray> order; // of used, oldest first
    // A nonce made at or before this moment whose count was pushed out by the cap: it cannot be told
    // from a replay any more, so its client is asked to take a fresh one (stale).
    qint64 forgottenUpTo = -1;

    NonceStore()
    {
        clock.start();
        secret = randomBytes(32);
        opaque = randomBytes(16).toHex();
    }

    static QByteArray randomBytes(int size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
        return bytes;
    }

    QByteArray mac(const QByteArray &payload) const
    {
        return QMessageAuthenticationCode::hash(payload, secret, QCryptographicHash::Sha256).left(16).toHex();
    }

    // 16 hex digits of the time, 16 of chance (two challenges in one millisecond differ), 32 of the hash.
    QByteArray make() const
    {
        const QByteArray payload = QByteArray::number(clock.elapsed(), 16).rightJustified(16, '0')
            + randomBytes(8).toHex();
        return payload + mac(payload);
    }

    // When the nonce was made, if it is one of ours.
    std::optional<qint64> createdAt(const QByteArray &nonce) const
    {
        if (nonce.size() != 64 || !constantTimeEquals(mac(nonce.left(32)), nonce.mid(32)))
            return std::nullopt;
        bool ok = false;
        const qint64 created = nonce.left(16).toLongLong(&ok, 16);
        return ok ? std::optional<qint64>(created) : std::nullopt;
    }

    // An expired nonce is answered stale before its count is looked at; the count goes a lifetime later.
    bool isGone(qint64 created, qint64 now) const
    {
        constexpr std::chrono::milliseconds kStaleGrace = DigestAuthentication::kNonceLifetime;
        return now - created > (lifetime + kStaleGrace).count();
    }

    void remember(const QByteArray &nonce, qint64 created, quint64 count, qint64 now, const QHostAddress &client)
    {
        while (!order.empty()) {
            const auto oldest = used.constFind(order.front());
            const bool gone = oldest == used.cend() || isGone(oldest->created, now);
            if (!gone && used.size() < DigestAuthentication::kMaxNonces)
                break;
            if (!gone)
                forgottenUpTo = qMax(forgottenUpTo, oldest->created);
            used.remove(order.front());
            order.pop_front();
        }
        used.insert(nonce, UsedNonce{created, count, client});
        order.push_back(nonce);
    }
};

NonceStore &store()
{
    static NonceStore instance;
    return instance;
}

QByteArray md5Hex(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

// The parameters of `Digest a=b, c="d"` (quoted strings may hold escaped characters and commas).
std::optional<QMap<QByteArray, QByteArray>> parseCredentials(const QByteArray &header)
{
    const QByteArray scheme("digest ");
    if (header.size() <= scheme.size() || header.left(scheme.size()).toLower() != scheme)
        return std::nullopt;
    QMap<QByteArray, QByteArray> parameters;
    int i = scheme.size();
    const int size = header.size();
    while (i < size) {
        while (i < size && (header.at(i) == ' ' || header.at(i) == ',' || header.at(i) == '\t'))
            ++i;
        if (i >= size)
            break;
        const int nameStart = i;
        while (i < size && header.at(i) != '=' && header.at(i) != ',')
            ++i;
        if (i >= size || header.at(i) != '=')
            return std::nullopt;
        const QByteArray name = header.mid(nameStart, i - nameStart).trimmed().toLower();
        ++i;
        while (i < size && header.at(i) == ' ')
            ++i;
        QByteArray value;
        if (i < size && header.at(i) == '"') {
            ++i;
            bool closed = false;
            while (i < size) {
                const char c = header.at(i++);
                if (c == '\\' && i < size) {
                    value += header.at(i++);
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    value += c;
                }
            }
            if (!closed)
                return std::nullopt;
        } else {
            const int valueStart = i;
            while (i < size && header.at(i) != ',')
                ++i;
            value = header.mid(valueStart, i - valueStart).trimmed();
        }
        if (name.isEmpty() || parameters.contains(name))
            return std::nullopt;
        parameters.insert(name, value);
    }
    return parameters;
}

QByteArray nonceOf(const Request &request)
{
    const auto credentials = parseCredentials(request.header(QByteArrayLiteral("Authorization")));
    return credentials ? credentials->value("nonce") : QByteArray();
}

} // namespace

QString DigestAuthentication::realm()
{
    return QStringLiteral("calvena");
}

void DigestAuthentication::setNonceLifetime(std::chrono::milliseconds lifetime)
{
    store().lifetime = lifetime;
}

QByteArray DigestAuthentication::newNonce()
{
    return store().make();
}

DigestAuthentication::Result DigestAuthentication::check(const Request &request)
{
    const QByteArray header = request.header(QByteArrayLiteral("Authorization"));
    if (header.isEmpty())
        return Result::Missing;
    const auto credentials = parseCredentials(header);
    if (!credentials)
        return header.trimmed().toLower().startsWith("digest") ? Result::Invalid : Result::Missing;
    const auto &p = *credentials;
    const QByteArray username = p.value("username");
    const QByteArray nonce = p.value("nonce");
    const QByteArray uri = p.value("uri");
    const QByteArray response = p.value("response").toLower();
    const QByteArray qop = p.value("qop");
    const QByteArray nc = p.value("nc");
    const QByteArray cnonce = p.value("cnonce");
    const QByteArray algorithm = p.value("algorithm", QByteArrayLiteral("MD5"));
    if (username.isEmpty() || nonce.isEmpty() || response.size() != 32 || qop != "auth" || nc.size() != 8
        || cnonce.isEmpty() || algorithm.toUpper() != "MD5" || p.value("realm") != realm().toUtf8())
        return Result::Invalid;
    // The digest covers the URI the client names; it must be the one requested, or a captured answer
    // for one page would open another.
    if (uri != request.target())
        return Result::Invalid;
    bool ok = false;
    const quint64 count = nc.toULongLong(&ok, 16);
    if (!ok || count == 0)
        return Result::Invalid;

    NonceStore &nonces = store();
    const qint64 now = nonces.clock.elapsed();
    const QHostAddress client = QHttpConnection::clientKey(request.remoteAddress());
    const QByteArray user = Config::Manager::getString(Config::Manager::WebServer, QStringLiteral("user")).toUtf8();
    const QString configured = Config::Manager::getString(Config::Manager::WebServer, QStringLiteral("password"));
    if (!WebPassword::isAcceptable(configured))
        return Result::Invalid;
    const QByteArray password = configured.toUtf8();
    const QByteArray ha1 = md5Hex(user + ':' + realm().toUtf8() + ':' + password);
    const QByteArray ha2 = md5Hex(request.method().toLatin1() + ':' + uri);
    const QByteArray expected = md5Hex(ha1 + ':' + nonce + ':' + nc + ':' + cnonce + ':' + qop + ':' + ha2);
    const bool userMatches = constantTimeEquals(username, user);
    const bool responseMatches = constantTimeEquals(response, expected);
    if (!userMatches || !responseMatches)
        return Result::Invalid;
    // Stale for a right answer to a nonce that is no longer ours (RFC 7616, 3.3): expired, or made before the
    // service restarted, which browsers keep answering; their user is not asked again.
    const std::optional<qint64> created = nonces.createdAt(nonce);
    if (!created || now - *created > nonces.lifetime.count())
        return Result::Stale;
    const auto it = nonces.used.find(nonce);
    if (it == nonces.used.end()) {
        if (*created <= nonces.forgottenUpTo)
            return Result::Stale;
        nonces.remember(nonce, *created, count, now, client);
        return Result::Ok;
    }
    if (count <= it->lastCount)
        return Result::Replayed;
    it->lastCount = count;
    it->client = client;
    return Result::Ok;
}

// Its client's alone, or another address that has seen it (a shared network, a copied request) could guess at once.
bool DigestAuthentication::usesKnownNonce(const Request &request)
{
    const auto it = store().used.constFind(nonceOf(request));
    return it != store().used.cend() && it->client == QHttpConnection::clientKey(request.remoteAddress());
}

bool DigestAuthentication::authenticate(const Request &request, Response response)
{
    return respond(request, std::move(response), check(request));
}

bool DigestAuthentication::respond(const Request &request, Response response, Result result)
{
    switch (result) {
    case Result::Ok:
        return true;
    case Result::Missing:
    case Result::Stale:
        break;
    case Result::Invalid:
        loginFailed(request);
        break;
    case Result::Replayed:
        AccessFailures::record(request.remoteAddress(),
                               QStringLiteral("HTTP authentication refused a replayed request for %1 from %2")
                                   .arg(request.path(), request.remoteAddress().toString()));
        break;
    }
    sendChallenge(response, result == Result::Stale);
    return false;
}

void DigestAuthentication::loginFailed(const Request &request)
{
    // A browser does not answer its own nonce wrong: the guesses that follow on it wait their turns.
    if (usesKnownNonce(request))
        store().used[nonceOf(request)].client = QHostAddress();
    AccessFailures::loginFailed(request.remoteAddress(), QStringLiteral("HTTP authentication failed for %1 from %2")
                                                             .arg(request.path(), request.remoteAddress().toString()));
}

void DigestAuthentication::sendChallenge(Response response, bool stale)
{
    QByteArray challenge = "Digest realm=\"" + realm().toUtf8() + "\", qop=\"auth\", algorithm=MD5, nonce=\""
        + newNonce() + "\", opaque=\"" + store().opaque + "\"";
    if (stale)
        challenge += ", stale=true";
    response.setHeader(QByteArrayLiteral("WWW-Authenticate"), challenge);
    response.sendError(401, QStringLiteral("Unauthorized"));
}

} // namespace Orvix::HttpServer
