#include "configsetup/dbchecker.h"

#include "configsetup/checkresult.h"
#include "pbx/asterisk/api_sql.h"
#include "sqlquerypoll/connectionerror.h"
#include "sqlquerypoll/sqlconnections.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QThreadPool>
#include <QVariant>

namespace Orvix::ConfigSetup {

namespace {

const QString kConnectionName = QStringLiteral("only_for_check");
const QString kDriver = QStringLiteral("QMYSQL");

// MySQL server error numbers.
constexpr QLatin1String kErrorDbAccessDenied("1044");  // ER_DBACCESS_DENIED_ERROR
constexpr QLatin1String kErrorAccessDenied("1045");    // ER_ACCESS_DENIED_ERROR
constexpr QLatin1String kErrorBadDb("1049");           // ER_BAD_DB_ERROR
constexpr QLatin1String kErrorAccessNoPassword("1698"); // ER_ACCESS_DENIED_NO_PASSWORD_ERROR
constexpr QLatin1String kErrorTableAccessDenied("1142"); // ER_TABLEACCESS_DENIED_ERROR

QThreadPool &checkPool()
{
    // One thread: checks share the connection name, so they run one after another. At exit the pool
    // waits for a check still running, which its time-outs keep short.
    static QThreadPool pool;
    static const bool once = [] {
        pool.setMaxThreadCount(1);
        return true;
    }();
    Q_UNUSED(once)
    return pool;
}

// The catalogue lists only the tables the user may use: one it does not list may be there, unreadable. A read
// of no rows tells which; *denied is set when it is the user's grant that is missing.
bool tableExists(QSqlDatabase &db, const QString &table, QString &error, bool *denied)
{
    // Asked of the catalogue with a bound value: the table names come from the operator's settings.
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT COUNT(*) FROM information_schema.tables "
                                 "WHERE table_schema = DATABASE() AND table_name = ?"));
    query.addBindValue(table);
    if (!query.exec() || !query.next()) {
        error = query.lastError().text();
        return false;
    }
    if (query.value(0).toInt() > 0)
        return true;
    QSqlQuery read(db);
    const QString quoted = QLatin1Char('`') + QString(table).replace(QLatin1Char('`'), QStringLiteral("``"))
                           + QLatin1Char('`');
    *denied = !read.exec(QStringLiteral("SELECT 1 FROM %1 LIMIT 0").arg(quoted))
        && read.lastError().nativeErrorCode() == kErrorTableAccessDenied;
    return false;
}

// Why the table cannot be read: it is missing, the user may not read it, or the catalogue failed.
QJsonObject tableFailure(DbStatus status, const QString &what, const QString &table, const QString &error,
                         bool denied, const DbChecker::Settings &settings)
{
    if (!error.isEmpty())
        return checkResult(status, QStringLiteral("Cannot look for the %1 table: %2").arg(what, error));
    if (denied)
        return checkResult(status, QStringLiteral("The database user \"%1\" may not read the %2 table \"%3\": grant "
                                                  "it SELECT on %4.%3")
                                       .arg(settings.user, what, table, settings.database));
    return checkResult(status, QStringLiteral("The %1 table \"%2\" does not exist").arg(what, table));
}

// What of the given columns the table lacks, one sentence each; empty when it has them all.
QStringList missingColumns(QSqlDatabase &db, const QString &table, const QHash<QString, QString> &aliases,
                           const QStringList &keys, QString &error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT column_name FROM information_schema.columns "
                                 "WHERE table_schema = DATABASE() AND table_name = ?"));
    query.addBindValue(table);
    if (!query.exec()) {
        error = query.lastError().text();
        return {};
    }
    QStringList columns;
    while (query.next())
        columns.append(query.value(0).toString());
    QStringList missing;
    for (const QString &key : keys) {
        const QString column = aliases.value(key);
        if (column.isEmpty())
            missing.append(QStringLiteral("column_name_aliases has no %1: add it").arg(key));
        else if (!columns.contains(column, Qt::CaseInsensitive)) // MySQL column names ignore case
            missing.append(QStringLiteral("%1.%2 is missing: add it, or map the column in column_name_aliases")
                               .arg(table, column));
    }
    return missing;
}

// Why the connection failed, in words where the network can tell.
QString connectionFailure(const QString &text, const DbChecker::Settings &settings)
{
    // "localhost" and no host are the server's local socket, not the network.
    if (settings.host.isEmpty() || settings.host == QLatin1String("localhost"))
        return text;
    const QString why = SqlQueryPoll::tcpConnectFailure(settings.host, settings.port, settings.timeout);
    return why.isEmpty() ? text : why;
}

QJsonObject checkOpen(QSqlDatabase &db, const DbChecker::Settings &settings)
{
    const QString timeout = QString::number(settings.timeout.count());
    db.setHostName(settings.host);
    db.setPort(settings.port);
    db.setUserName(settings.user);
    db.setPassword(settings.password);
    db.setDatabaseName(settings.database);
    db.setConnectOptions(QStringLiteral("MYSQL_OPT_CONNECT_TIMEOUT=%1;MYSQL_OPT_READ_TIMEOUT=%1;"
                                        "MYSQL_OPT_WRITE_TIMEOUT=%1")
                             .arg(timeout));
    if (!db.open()) {
        const QSqlError error = db.lastError();
        const QString code = error.nativeErrorCode();
        const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
        if (code == kErrorAccessDenied || code == kErrorAccessNoPassword || code == kErrorDbAccessDenied)
            return checkResult(DbStatus::AccessDenied, QStringLiteral("Access denied: %1").arg(text));
        if (code == kErrorBadDb)
            return checkResult(DbStatus::UnknownDatabase, QStringLiteral("Unknown database: %1").arg(text));
        return checkResult(DbStatus::ConnectionFailed, QStringLiteral("Cannot connect to the database at %1:%2: %3")
                                                           .arg(settings.host)
                                                           .arg(settings.port)
                                                           .arg(connectionFailure(text, settings)));
    }

    QString error;
    bool denied = false;
    if (!tableExists(db, settings.celTable, error, &denied))
        return tableFailure(DbStatus::CelTableMissing, QStringLiteral("CEL"), settings.celTable, error, denied,
                            settings);
    if (!tableExists(db, settings.cdrTable, error, &denied))
        return tableFailure(DbStatus::CdrTableMissing, QStringLiteral("CDR"), settings.cdrTable, error, denied,
                            settings);
    // Each missing column would fail every poll or every recording look-up at run time, retried for a day.
    QStringList missing;
    for (const auto &[table, keys] :
         {std::pair{settings.celTable, PBX::Asterisk::ApiSql::kCelColumns},
          std::pair{settings.cdrTable, PBX::Asterisk::ApiSql::kCdrColumns}}) {
        missing += missingColumns(db, table, settings.columns, keys, error);
        if (!error.isEmpty())
            return checkResult(DbStatus::ColumnMissing,
                               QStringLiteral("Cannot read the columns of %1: %2").arg(table, error));
    }
    if (!missing.isEmpty())
        return checkResult(DbStatus::ColumnMissing, missing.join(QStringLiteral("; ")));
    return checkResult(DbStatus::Ok, QStringLiteral("Connected to the database"));
}

} // namespace

Utils::Promise<QJsonObject> DbChecker::check(const Settings &settings)
{
    Utils::Promise<QJsonObject> result;
    checkPool().start([settings, result] { result.resolve(run(settings)); });
    return result;
}

QJsonObject DbChecker::run(const Settings &settings)
{
    if (!QSqlDatabase::isDriverAvailable(kDriver))
        return checkResult(DbStatus::DriverMissing, QStringLiteral("The MySQL driver (QMYSQL) is not installed"));

    QJsonObject result;
    {
        // Through the pool's registry: the PBX link's workers make and drop MySQL connections meanwhile.
        QSqlDatabase db = SqlQueryPoll::SqlConnections::add(kConnectionName, kDriver);
        result = checkOpen(db, settings);
        db.close();
    }
    // Every handle is gone: the next check, maybe on another thread, registers the name afresh.
    SqlQueryPoll::SqlConnections::remove(kConnectionName);
    return result;
}

} // namespace Orvix::ConfigSetup
