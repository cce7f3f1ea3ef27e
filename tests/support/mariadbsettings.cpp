#include "mariadbsettings.h"

#include <QFile>
#include <QHash>

namespace Orvix::Tests {

MariaDbSettings MariaDbSettings::fromFile(const QString &path)
{
    MariaDbSettings settings;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        settings.error = QStringLiteral("no MariaDB fixture: cannot read %1 (%2); the test must run through ctest, "
                                        "which starts the server (fixture \"mariadb\")")
                             .arg(path, file.errorString());
        return settings;
    }
    QHash<QString, QString> values;
    while (!file.atEnd()) {
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals > 0)
            values.insert(line.left(equals), line.mid(equals + 1));
    }
    settings.host = values.value(QStringLiteral("host"));
    settings.port = values.value(QStringLiteral("port")).toInt();
    settings.database = values.value(QStringLiteral("database"));
    settings.user = values.value(QStringLiteral("user"));
    settings.password = values.value(QStringLiteral("password"));
    settings.socket = values.value(QStringLiteral("socket"));
    if (settings.host.isEmpty() || settings.port <= 0 || settings.user.isEmpty())
        settings.error = QStringLiteral("MariaDB fixture file %1 is incomplete").arg(path);
    return settings;
}

QSqlDatabase MariaDbSettings::addConnection(const QString &name) const
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QMYSQL"), name);
    db.setHostName(host);
    db.setPort(port);
    db.setUserName(user);
    db.setPassword(password);
    db.setDatabaseName(database);
    return db;
}

} // namespace Orvix::Tests
