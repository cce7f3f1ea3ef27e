#include "utils/outagelog.h"

#include <QDebug>

namespace Orvix::Utils {

bool OutageLog::failed(const QString &reason, const QDateTime &now)
{
    const bool repeated = m_outage && m_outage->reason == reason;
    if (!repeated) {
        qCritical().noquote() << reason;
        m_outage = Outage{reason, now, now};
    } else if (m_outage->loggedAt.secsTo(now) >= kReminderInterval.count()) {
        qWarning().noquote() << QStringLiteral("%1 (failing since %2)")
                                    .arg(reason, m_outage->since.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        m_outage->loggedAt = now;
    } else {
        qDebug().noquote() << reason;
    }
    return repeated;
}

std::optional<QDateTime> OutageLog::recovered()
{
    if (!m_outage)
        return std::nullopt;
    const QDateTime since = m_outage->since;
    m_outage.reset();
    return since;
}

} // namespace Orvix::Utils
