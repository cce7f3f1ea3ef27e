#pragma once

#include <QHash>
#include <QSharedPointer>
#include <QString>
#include <QStringList>

namespace Orvix::Entities {

class Call;

// Collects, per call id, what the CRM side settled about a call (entity matched, user assigned) and
// turns it into one summary line when the call is over. One process-wide instance; main thread only.
class TelephonyEventLogHandler
{
public:
    static QSharedPointer<TelephonyEventLogHandler> instance();

    void addEvent(const QString &callId, const QString &line);
    void removeEvents(const QString &callId);
    QString callSummary(const Call &call) const;

private:
    struct EventList
    {
        QStringList lines;
        qint64 touchedAtMs = 0;
    };

    // Lists of calls that never reach their summary would otherwise stay for the life of the service.
    void pruneStaleLists(qint64 nowMs);

    static QSharedPointer<TelephonyEventLogHandler> g_instance;

    QHash<QString, EventList> m_events;
    qint64 m_lastPruneMs = 0;
};

} // namespace Orvix::Entities
