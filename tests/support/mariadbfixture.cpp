#include "mariadbfixture.h"

#include <QAtomicInt>
#include <QDir>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

namespace Orvix::Tests {

namespace {

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("mariadb_fixture_%1").arg(counter.fetchAndAddRelaxed(1));
}

} // namespace

QString MariaDbFixture::scriptPath()
{
    return QStringLiteral(ORVIX_MARIADB_FIXTURE_SCRIPT);
}

QString MariaDbFixture::sharedDirectory()
{
    return QStringLiteral(ORVIX_MARIADB_FIXTURE_DIR);
}

MariaDbSettings MariaDbFixture::settings()
{
    return MariaDbSettings::fromFile(QDir(sharedDirectory()).filePath(QStringLiteral("mariadb.env")));
}

MariaDbSettings MariaDbFixture::createDatabase(const QString &name)
{
    MariaDbSettings settings = MariaDbFixture::settings();
    if (!settings.isValid())
        return settings;
    QString error;
    const QString quoted = QLatin1Char('`') + QString(name).replace(QLatin1Char('`'), QStringLiteral("``"))
                           + QLatin1Char('`');
    if (!execute(settings,
                 {QStringLiteral("DROP DATABASE IF EXISTS %1").arg(quoted),
                  QStringLiteral("CREATE DATABASE %1").arg(quoted)},
                 &error)) {
        settings.error = QStringLiteral("cannot create database %1: %2").arg(name, error);
        return settings;
    }
    settings.database = name;
    return settings;
}

bool MariaDbFixture::execute(const MariaDbSettings &settings, const QStringList &statements, QString *error)
{
    if (!settings.isValid()) {
        if (error)
            *error = settings.error;
        return false;
    }
    const QString connectionName = nextConnectionName();
    bool ok = true;
    {
        QSqlDatabase db = settings.addConnection(connectionName);
        if (!db.open()) {
            ok = false;
            if (error)
                *error = db.lastError().text();
        }
        for (int i = 0; ok && i < statements.size(); ++i) {
            QSqlQuery query(db);
            if (!query.exec(statements.at(i))) {
                ok = false;
                if (error)
                    *error = QStringLiteral("%1: %2").arg(statements.at(i), query.lastError().text());
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);
    return ok;
}

QVariant MariaDbFixture::queryValue(const MariaDbSettings &settings, const QString &sql, QString *error)
{
    const QString connectionName = nextConnectionName();
    QVariant result;
    {
        QSqlDatabase db = settings.addConnection(connectionName);
        if (!db.open()) {
            if (error)
                *error = db.lastError().text();
        } else {
            QSqlQuery query(db);
            if (query.exec(sql) && query.next())
                result = query.value(0);
            else if (error)
                *error = query.lastError().text();
        }
    }
    QSqlDatabase::removeDatabase(connectionName);
    return result;
}

} // namespace Orvix::Tests
