#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonObject>

namespace Orvix::PBX::Asterisk {

// The PBX writes a CEL row a moment after its event: a poll query sent this long after the live channels were
// listed reads every row of a channel that had gone by then.
inline constexpr qint64 kCelWriteDelayMsec = 1000;

// The time on the PBX's clock, the one of the CEL rows' eventtime (its zone and its error may not be this
// host's), as the bounds it lies between: no earlier than the newest stamp read, no later than what a row
// known to be new allows, both moved on by the monotonic time since. Kept over a restart of the service as
// offsets from this host's clock, so that a start has the PBX's time before its first new row; this host's
// clock may have been set while the service was down, so until a new row confirms them the earliest bound
// is no later than the last one saved. Main thread only; owned by the PBX link.
class CelClock
{
public:
    CelClock() { m_timer.start(); }

    // Never ahead of the PBX: a lost call stamped with it is never lengthened. Invalid until a row or a
    // saved state told a time.
    QDateTime earliest() const;
    // Never behind the PBX; invalid while no row written lately has bounded it.
    QDateTime latest() const;
    // A row stamped `stamp` is read now. `writtenWithinMsec`: the row was written at most that long ago (it
    // was not there for a poll sent then); -1 when that is not known (a backlog).
    void noteRow(const QDateTime &stamp, qint64 writtenWithinMsec = -1);
    // The bounds saved by the last run, checked against the newest time its tables hold (invalid when not
    // known). A process that has read a row keeps its own.
    void restore(const QJsonObject &state, const QDateTime &newestSaved);
    // The members of state.json that keep the bounds, each after a comma; empty while none is known.
    QByteArray stateText() const;

private:
    void set(const QDateTime &earliest, qint64 spanMsec);

    QElapsedTimer m_timer;
    QDateTime m_earliest; // at m_setAt
    qint64 m_setAt = 0;
    qint64 m_spanMsec = -1; // from the earliest to the latest; -1: no latest
    bool m_rowNoted = false;
};

} // namespace Orvix::PBX::Asterisk
