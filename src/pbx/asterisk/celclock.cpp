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
// The earliest bound itself, on the PBX's clock: what it was at the save is no later than the PBX's time at
// any start after it, whatever became of this host's clock meanwhile.
const QString kEarliest = QStringLiteral("cel_clock_earliest");

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
    m_rowNoted = true;
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
    if (m_rowNoted)
        return;
    QDateTime earliest;
    QDateTime latest;
    const QJsonValue offset = state.value(kOffset);
    if (offset.isDouble()) {
        earliest = Entities::Clock::now().addMSecs(static_cast<qint64>(offset.toDouble()));
        const QJsonValue span = state.value(kSpan);
        if (span.isDouble() && span.toDouble() >= 0)
            latest = earliest.addMSecs(static_cast<qint64>(span.toDouble()));
    }
    // A file of an earlier version keeps neither: the newest time it holds is behind the PBX by the quiet time
    // before the stop and the time the service was down, until the first new row. Without the offset either,
    // that time is all there is.
    QDateTime saved = QDateTime::fromString(state.value(kEarliest).toString(), Qt::ISODateWithMs);
    if (!saved.isValid() || (newestSaved.isValid() && saved < newestSaved))
        saved = newestSaved;
    if (saved.isValid() && (!earliest.isValid() || saved < earliest))
        earliest = saved;
    // Restored before in this process (the CRM side asked first, or the link restarted): moved on since.
    const QDateTime before = this->earliest();
    if (before.isValid() && (!earliest.isValid() || earliest < before))
        earliest = before;
    if (earliest.isValid())
        set(earliest, latest.isValid() && earliest <= latest ? earliest.msecsTo(latest) : -1);
}

QByteArray CelClock::stateText() const
{
    const QDateTime low = earliest();
    if (!low.isValid())
        return QByteArray();
    const QDateTime hostNow = Entities::Clock::now();
    QByteArray text = ",\"" + kOffset.toLatin1() + "\":" + QByteArray::number(hostNow.msecsTo(low)) + ",\""
        + kEarliest.toLatin1() + "\":\"" + low.toUTC().toString(Qt::ISODateWithMs).toLatin1() + '"';
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
