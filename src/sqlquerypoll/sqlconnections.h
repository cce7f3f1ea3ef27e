#pragma once

#include <QSqlDatabase>
#include <QString>

namespace Orvix::SqlQueryPoll {

// The one way the service registers and removes named Qt SQL connections. Each call holds a process-wide lock:
// the MySQL driver counts its instances in a plain integer and starts and ends the client library on the first
// and the last one, so two threads making or dropping a connection at once would corrupt it and the heap.
// Safe from any thread; a connection belongs to the thread that made it.
class SqlConnections
{
public:
    // A connection named `name` of the calling thread with the given driver ("QMYSQL" unless said), not opened.
    static QSqlDatabase add(const QString &name, const QString &driverName = QStringLiteral("QMYSQL"));
    // Removes it. Every QSqlDatabase handle of it must be gone by then.
    static void remove(const QString &name);
};

} // namespace Orvix::SqlQueryPoll
