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
// together, every failure makes its client, and the clients of its network (an IPv4 /24, an IPv6 /48), wait
// the longest delay; a turn of the network goes to the client that waited for it and failed least (its failures
// counted as for its own waits). Only a failure books a wait, never more than kMaxDelay ahead; the count decays
// with time alone (a right login, maybe of another connection behind the same address, clears nothing). A client
// has one login waiting at a time, any other is refused at once. Other clients are not slowed. Clients are counted
// as the connection limits count them (QHttpConnection::clientKey). Process-wide; main thread only.
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
    // failure past kFreeFailures (kMaxDelay past the ceiling of all clients, for its network too), kMaxDelay
    // ahead at most.
    static void loginFailed(const QHostAddress &client, const QString &line);
    // Asked before a login is checked (or a wrong one answered). Wait holds the client's one waiting login
    // until endWait; when the wait is over, untilTurn says whether the turn is the client's.
    static Turn takeTurn(const QHostAddress &client);
    // 0 when the client's login may be checked now: its turn and its network's have come, and no client of its network
    // that waited for that turn and failed less lately (or as little, waiting longer) has it; one that came after the
    // turn fell due has it only when none waited for it. Else when to ask again.
    static std::chrono::milliseconds untilTurn(const QHostAddress &client);
    // Whether a login of the client may be checked before its turn: not while its failures (or its network's)
    // came faster than its turns, more than the longest wait ahead of them, as a client that does not wait for
    // its answers makes them, nor while other clients of its network wait for their turns.
    static bool mayCheckAtOnce(const QHostAddress &client);
    // The waiting login is checked now, or its client left.
    static void endWait(const QHostAddress &client);
    // For tests: the waits booked for the client since its failures began (unscaled).
    static std::chrono::milliseconds bookedDelay(const QHostAddress &client);
    // For tests: the client's failures in its running count.
    static int failures(const QHostAddress &client);

    // For tests: a shorter minute. Ends the running one, with its summary and its count of all failures.
    static void setInterval(std::chrono::milliseconds interval);
    // For tests: waits are this share of the booked ones; the counts and the booking stay the same.
    static void setDelayScale(double scale);
    // For tests: stops the clock that turns and failures are read on where it is, or lets it run on from there.
    static void freezeClock(bool frozen);
    static void advanceClock(std::chrono::milliseconds by);
};

} // namespace Orvix::HttpServer
