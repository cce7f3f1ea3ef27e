#pragma once

#include <QHostAddress>
#include <QString>

#include <chrono>

namespace Orvix::HttpServer {

// Failed logins and refused requests (wrong digests, a wrong /auth, events without the key, recording
// links refused), counted per client, so that one client that keeps failing cannot flood the log: the
// first failure after a quiet minute is logged as it is, the others of that minute in one summary line
// when it ends, which names the clients that failed most. A client whose logins keep failing (kFreeFailures
// times, each within a minute of the one before) is answered later, longer the more it fails, so that
// guessing a password takes ages; other clients are not slowed. Clients are counted as the connection
// limits count them (QHttpConnection::clientKey). Process-wide; main thread only.
class AccessFailures
{
public:
    static inline constexpr std::chrono::seconds kInterval{60};
    static inline constexpr int kFreeFailures = 10;
    static inline constexpr std::chrono::milliseconds kDelayStep{250};
    static inline constexpr std::chrono::milliseconds kMaxDelay{5000};

    // `line` is what the failure would log by itself.
    static void record(const QHostAddress &client, const QString &line);
    // A wrong password or digest: recorded, and counted towards the client's delay.
    static void loginFailed(const QHostAddress &client, const QString &line);
    // How long to wait before the client's next login is checked: 0 until it failed kFreeFailures times,
    // then kDelayStep more for each failure, kMaxDelay at most. Waits of one client follow each other, so
    // that logins it sends at once are checked one by one; each call books the client's next turn.
    static std::chrono::milliseconds delayFor(const QHostAddress &client);
    // For tests: the waits booked for the client since its failures began (unscaled).
    static std::chrono::milliseconds bookedDelay(const QHostAddress &client);

    // For tests: a shorter minute. Ends the running one, with its summary.
    static void setInterval(std::chrono::milliseconds interval);
    // For tests: waits are this share of the booked ones; the counts and the booking stay the same.
    static void setDelayScale(double scale);
};

} // namespace Orvix::HttpServer
