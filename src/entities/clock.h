#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

namespace Orvix::Entities {

// The one place where the call model reads the current time (recent and outdated legs, minutes since
// a call ended, age of event lists), so tests can stand exactly on a boundary. Main thread only.
class Clock
{
public:
    using Source = std::function<QDateTime()>;

    static QDateTime now();
    // An empty source restores the system clock.
    static void setSource(Source source);
    // With TZ unset the C library looks at the zone file again at every local-time conversion (a file
    // system call each, a third of the service's CPU under load). Names the file in TZ when TZ is
    // unset and the file exists, so that it is read once; a zone changed later is not followed until
    // a restart. Call first thing in main(), before any thread starts.
    static void readTimeZoneOnce(const QString &zoneFile = QStringLiteral("/etc/localtime"));

private:
    static Source s_source;
};

} // namespace Orvix::Entities
