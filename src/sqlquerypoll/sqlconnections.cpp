#include "sqlquerypoll/sqlconnections.h"

#include <QMutex>
#include <QMutexLocker>

namespace Orvix::SqlQueryPoll {

namespace {

const QString kMySqlDriver = QStringLiteral("QMYSQL");

QMutex &driverMutex()
{
    static QMutex mutex;
    return mutex;
}

// With the mutex held: one MySQL driver registered for the life of the process, so that the client library is
// initialised once and never ended between two connections, whatever other threads of the process do.
void keepMySqlLibrary()
{
    static bool kept = false;
    if (kept)
        return;
    kept = true;
    QSqlDatabase::addDatabase(kMySqlDriver, QStringLiteral("orvix_mysql_library"));
}

} // namespace

QSqlDatabase SqlConnections::add(const QString &name, const QString &driverName)
{
    QMutexLocker locker(&driverMutex());
    if (driverName == kMySqlDriver)
        keepMySqlLibrary();
    return QSqlDatabase::addDatabase(driverName, name);
}

void SqlConnections::remove(const QString &name)
{
    QMutexLocker locker(&driverMutex());
    QSqlDatabase::removeDatabase(name);
}

} // namespace Orvix::SqlQueryPoll
