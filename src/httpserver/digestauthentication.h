#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>

namespace Orvix::HttpServer {

class Request;
class Response;

// HTTP digest authentication (RFC 7616, MD5, qop="auth": what browsers and curl --digest speak) of
// protected actions and pages, against the WebServer section's "user" and "password", read at each
// check so a changed password applies at once. Nonces are ours (a keyed hash of when they were made),
// expire, and each nonce count is accepted once (a replayed request is refused); a right answer to a nonce
// that is not ours (any more) is told stale. The server runs it before every action whose requiresAuth() is
// true; a page may also call authenticate() itself.
// Process-wide store of the nonces in use; main thread only.
class DigestAuthentication
{
public:
    enum class Result {
        Ok,
        Missing,  // no Digest credentials
        Invalid,  // malformed, wrong user or password, wrong realm or URI
        Stale,    // right credentials on a nonce expired or not ours: the client may retry with a fresh one
        Replayed, // a nonce count already seen
    };

    static inline constexpr std::chrono::seconds kNonceLifetime{300};
    // Nonces in use remembered for their counts; only a right answer adds one.
    static inline constexpr int kMaxNonces = 4096;

    static Result check(const Request &request);
    // True when the request may go on; otherwise answers 401 with a fresh challenge and gives false.
    static bool authenticate(const Request &request, Response response);
    // The same for what check() gave; Invalid counts a failed login (AccessFailures).
    static bool respond(const Request &request, Response response, Result result);
    // Counts a wrong digest as a failed login, as respond() does for Invalid.
    static void loginFailed(const Request &request);
    // Whether the credentials name a nonce that a right answer of the same client used last: no guesser's.
    static bool usesKnownNonce(const Request &request);
    // 401 with a WWW-Authenticate: Digest challenge.
    static void sendChallenge(Response response, bool stale = false);
    static QString realm();

    // For tests: a shorter lifetime, to see nonces expire.
    static void setNonceLifetime(std::chrono::milliseconds lifetime);

private:
    static QByteArray newNonce();
};

} // namespace Orvix::HttpServer
