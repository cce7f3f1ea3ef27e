#pragma once

#include <QDateTime>

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

private:
    static Source s_source;
};

} // namespace Orvix::Entities
