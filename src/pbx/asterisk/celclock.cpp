#include "pbx/asterisk/celclock.h"

#include "entities/clock.h"

#include <QJsonValue>

#include <algorithm>

namespace Orvix::PBX::Asterisk {

namespace {

// This host's clock serves only to carry the bounds over a stop of the service; while it runs, the time
// since a row is measured on the monotonic clock, which no adjustment of the host's clock moves.
const QString kOffset = QStringLiteral("cel_clock_offset_msec");
const QString kSpan = QStringLiteral("cel_clock_span_msec");

// The PBX stamps its rows in whole seconds, rounded down.
constexpr qint64 kStampResolutionMsec = 1000;

} // namespace

QDateTime CelClock::earliest() const
{
    return m_earliest.isValid() ? m_earliest.addMSecs(m_timer.elapsed() - m_setAt) : QDateTime();
}

QDateTime CelClock::latest() const
{
    return m_spanMsec >= 0 ? earliest().addMSecs(m_spanMsec) : QDateTime();
}

void CelClock::noteRow(const QDateTime &stamp, qint64 writtenWithinMsec)
{
    if (!stamp.isValid())
        return;
    const qint64 span = writtenWithinMsec < 0 ? -1 : kStampResolutionMsec + kCelWriteDelayMsec + writtenWithinMsec;
    const QDateTime low = earliest();
    const QDateTime high = latest();
    // Bounds that the row contradicts were wrong (a clock was set, or the saved offset no longer holds): the
    // row is what the PBX says now.
    if (!low.isValid() || (high.isValid() && high < stamp) || (span >= 0 && stamp.addMSecs(span) < low)) {
        set(stamp, span);
        return;
    }
    const QDateTime newLow = std::max(low, stamp);
    QDateTime newHigh = high;
    if (span >= 0 && (!newHigh.isValid() || stamp.addMSecs(span) < newHigh))
        newHigh = stamp.addMSecs(span);
    set(newLow, newHigh.isValid() ? newLow.msecsTo(newHigh) : -1);
}

void CelClock::restore(const QJsonObject &state, const QDateTime &newestSaved)
{
    if (m_earliest.isValid())
        return;
    const QJsonValue offset = state.value(kOffset);
    if (offset.isDouble()) {
        const QJsonValue span = state.value(kSpan);
        set(Entities::Clock::now().addMSecs(static_cast<qint64>(offset.toDouble())),
            span.isDouble() && span.toDouble() >= 0 ? static_cast<qint64>(span.toDouble()) : -1);
    }
    // A file of an earlier version keeps no offset: the newest time it holds is behind the PBX by the quiet
    // time before the stop and the time the service was down, until the first new row.
    noteRow(newestSaved);
}

QByteArray CelClock::stateText() const
{
    const QDateTime low = earliest();
    if (!low.isValid())
        return QByteArray();
    const QDateTime hostNow = Entities::Clock::now();
    QByteArray text = ",\"" + kOffset.toLatin1() + "\":" + QByteArray::number(hostNow.msecsTo(low));
    if (m_spanMsec >= 0)
        text += ",\"" + kSpan.toLatin1() + "\":" + QByteArray::number(m_spanMsec);
    return text;
}

void CelClock::set(const QDateTime &earliest, qint64 spanMsec)
{
    m_earliest = earliest;
    m_setAt = m_timer.elapsed();
    m_spanMsec = spanMsec;
}

} // namespace Orvix::PBX::Asterisk
