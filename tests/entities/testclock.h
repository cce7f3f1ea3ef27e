#pragma once

#include "entities/clock.h"

#include <QDateTime>

// Pins the call model's clock for one test and gives the real one back afterwards.
class TestClock
{
public:
    explicit TestClock(const QDateTime &now) { set(now); }
    ~TestClock() { Orvix::Entities::Clock::setSource({}); }
    TestClock(const TestClock &) = delete;
    TestClock &operator=(const TestClock &) = delete;

    void set(const QDateTime &now)
    {
        Orvix::Entities::Clock::setSource([now] { return now; });
    }
};

// Local time, whole seconds plus milliseconds, as the PBX link stores times.
inline QDateTime at(const char *text, int ms = 0)
{
    return QDateTime::fromString(QString::fromLatin1(text), QStringLiteral("yyyy-MM-dd HH:mm:ss")).addMSecs(ms);
}
