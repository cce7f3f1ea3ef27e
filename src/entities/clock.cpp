#include "entities/clock.h"

#include <QFile>
#include <QFileInfo>

#include <time.h>

namespace Orvix::Entities {

Clock::Source Clock::s_source;

QDateTime Clock::now()
{
    return s_source ? s_source() : QDateTime::currentDateTime();
}

void Clock::setSource(Source source)
{
    s_source = std::move(source);
}

void Clock::readTimeZoneOnce(const QString &zoneFile)
{
    if (qEnvironmentVariableIsSet("TZ") || !QFileInfo::exists(zoneFile))
        return;
    qputenv("TZ", QByteArrayLiteral(":") + QFile::encodeName(zoneFile));
    tzset();
}

} // namespace Orvix::Entities
