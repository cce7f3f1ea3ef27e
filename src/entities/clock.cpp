#include "entities/clock.h"

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

} // namespace Orvix::Entities
