#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <optional>

namespace Orvix::Utils {

// Tells a failure that repeats while a peer stays away so that the log stays readable: the first time as a
// critical line, the same failure again as a warning at most once per reminder interval ("(failing since
// ...)"), in between at debug level; a new kind of failure is told at once. Not thread-safe: one per link, used
// on that link's thread; the time comes from the caller (a test's clock).
class OutageLog
{
public:
    static inline constexpr std::chrono::seconds kReminderInterval{10 * 60};

    // Logs `reason` as above; true when it repeats the failure told already.
    bool failed(const QString &reason, const QDateTime &now);
    // The time the failures began, if any were told; forgets them, so that the caller says the recovery once.
    std::optional<QDateTime> recovered();

private:
    struct Outage
    {
        QString reason;
        QDateTime since;
        QDateTime loggedAt;
    };
    std::optional<Outage> m_outage;
};

} // namespace Orvix::Utils
