#include "entities/telephonyeventloghandler.h"

#include "entities/call.h"
#include "entities/callmodel_p.h"
#include "entities/clock.h"

#include <QLatin1Char>
#include <QLatin1String>

namespace Orvix::Entities {

namespace {

constexpr qint64 kStaleAfterMs = 24LL * 60 * 60 * 1000;
// Sweeping is linear in the number of lists; once a minute is plenty for a 24 h limit.
constexpr qint64 kPruneIntervalMs = 60LL * 1000;

QString twoDigits(qint64 value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// HH:mm:ss, except that hours go on past 23 instead of wrapping and a negative span shows as zero.
QString totalText(const QDateTime &start, const QDateTime &end)
{
    qint64 seconds = 0;
    if (start.isValid() && end.isValid())
        seconds = qMax<qint64>(0, start.msecsTo(end) / 1000);
    return twoDigits(seconds / 3600) + QLatin1Char(':') + twoDigits(seconds / 60 % 60) + QLatin1Char(':')
            + twoDigits(seconds % 60);
}

} // namespace

QSharedPointer<TelephonyEventLogHandler> TelephonyEventLogHandler::g_instance;

QSharedPointer<TelephonyEventLogHandler> TelephonyEventLogHandler::instance()
{
    if (!g_instance)
        g_instance = QSharedPointer<TelephonyEventLogHandler>::create();
    return g_instance;
}

void TelephonyEventLogHandler::addEvent(const QString &callId, const QString &line)
{
    const qint64 nowMs = Clock::now().toMSecsSinceEpoch();
    pruneStaleLists(nowMs);
    EventList &list = m_events[callId];
    list.lines.append(line);
    list.touchedAtMs = nowMs;
}

void TelephonyEventLogHandler::removeEvents(const QString &callId)
{
    m_events.remove(callId);
}

QString TelephonyEventLogHandler::callSummary(const Call &call) const
{
    // Built by concatenation, not by successive arg() calls: a number such as "%5" must stay as it is.
    QString text = QLatin1String("Call: {Type: ") + callTypeToString(call.type()) + QLatin1String(", From: ")
            + call.from() + QLatin1String(", To: ") + call.to() + QLatin1String(", Trunk: ") + call.trunk()
            + QLatin1String(", Time: {Start: ") + Detail::timeToText(call.startedAt()) + QLatin1String(", End: ")
            + Detail::timeToText(call.endedAt()) + QLatin1String(", Total: ")
            + totalText(call.startedAt(), call.endedAt()) + QLatin1Char('}');
    const auto it = m_events.constFind(call.id());
    if (it != m_events.cend() && !it->lines.isEmpty())
        text += QLatin1String(", ") + it->lines.join(QLatin1String(", "));
    text += QLatin1Char('}');
    return text;
}

void TelephonyEventLogHandler::pruneStaleLists(qint64 nowMs)
{
    // A clock set back also sweeps, so a jump in time cannot postpone pruning for long.
    if (m_lastPruneMs != 0 && nowMs >= m_lastPruneMs && nowMs - m_lastPruneMs < kPruneIntervalMs)
        return;
    m_lastPruneMs = nowMs;
    for (auto it = m_events.begin(); it != m_events.end();) {
        if (nowMs - it->touchedAtMs > kStaleAfterMs)
            it = m_events.erase(it);
        else
            ++it;
    }
}

} // namespace Orvix::Entities
