#pragma once

#include <QHostAddress>
#include <QString>

#include <chrono>

namespace Orvix::HttpServer {

// Failed logins and refused requests (wrong digests, a wrong /auth, events without the key, recording
// paths refused), counted per client, so that one client that keeps failing cannot flood the log: the
// first failure after a quiet minute is logged as it is, the others of that minute in one summary line
// when it ends. Process-wide; main thread only.
class AccessFailures
{
public:
    static inline constexpr std::chrono::seconds kInterval{60};

    // `line` is what the failure would log by itself.
    static void record(const QHostAddress &client, const QString &line);

    // For tests: a shorter minute. Ends the running one, with its summary.
    static void setInterval(std::chrono::milliseconds interval);
};

} // namespace Orvix::HttpServer
