#pragma once

#include <QHostAddress>
#include <QString>

#include <chrono>

namespace Orvix::HttpServer {

// Failed logins and refused requests (wrong digests, a wrong /auth, events without the key, recording
// links refused), counted per client, so that one client that keeps failing cannot flood the log: the
// first failure after a quiet minute is logged as it is, the others of that minute in one summary line
// when it ends, which names the clients that failed most. A client whose logins keep failing (kFreeFailures
// times, each within a minute of the one before) has its next login checked later, longer the more it
// fails, so that guessing a password takes ages; past kMaxFailuresPerMinute failures of all clients
// together, every failure makes its client wait the longest delay. Only a failure books a wait, never more
// than kMaxDelay ahead, and a right login clears its client's count; a client has one login waiting at a
// time, any other is refused at once. Other clients are not slowed. Clients are counted as the connection
// limits count them (QHttpConnection::clientKey). Process-wide; main thread only.
class AccessFailures
{
public:
    static inline constexpr std::chrono::seconds kInterval{60};
    static inline constexpr int kFreeFailures = 10;
    static inline constexpr std::chrono::milliseconds kDelayStep{250};
    static inline constexpr std::chrono::milliseconds kMaxDelay{5000};
    // Guesses spread over many addresses (an IPv6 /48 holds 65,536 clients) are slowed all the same.
    static inline constexpr int kMaxFailuresPerMinute = 100;

    // When the client's next login may be checked.
    struct Turn
    {
        enum Kind { Now, Wait, Refused };
        Kind kind = Now;
        std::chrono::milliseconds in{0}; // Wait: the wait; Refused: when to try again
    };

    // `line` is what the failure would log by itself.
    static void record(const QHostAddress &client, const QString &line);
    // A wrong password or digest: recorded, and the client's next login booked kDelayStep later for each
    // failure past kFreeFailures (kMaxDelay past the ceiling of all clients), kMaxDelay ahead at most.
    static void loginFailed(const QHostAddress &client, const QString &line);
    // A right password or digest: the client starts afresh.
    static void loginSucceeded(const QHostAddress &client);
    // Asked before a login is checked. Wait holds the client's one waiting login until endWait.
    static Turn takeTurn(const QHostAddress &client);
    // The waiting login is checked now, or its client left.
    static void endWait(const QHostAddress &client);
    // For tests: the waits booked for the client since its failures began (unscaled).
    static std::chrono::milliseconds bookedDelay(const QHostAddress &client);

    // For tests: a shorter minute. Ends the running one, with its summary and its count of all failures.
    static void setInterval(std::chrono::milliseconds interval);
    // For tests: waits are this share of the booked ones; the counts and the booking stay the same.
    static void setDelayScale(double scale);
};

} // namespace Orvix::HttpServer
