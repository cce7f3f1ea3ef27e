#include "configsetup/asterisksettings.h"

#include "config/asterisk.h"

#include <QHostAddress>

namespace Orvix::ConfigSetup {

namespace {

const QString kDatabase = QStringLiteral("Database");
const QString kAsterisk = QStringLiteral("Asterisk");

// The first value present among the keys, empty when none is.
QString firstOf(const AsteriskConfigReader::Section &section, std::initializer_list<const char *> keys)
{
    for (const char *key : keys) {
        const QString value = section.value(QString::fromLatin1(key));
        if (!value.isEmpty())
            return value;
    }
    return QString();
}

QJsonObject proposeDatabase(const AsteriskConfigReader::Sections &sections)
{
    QJsonObject database;
    // cel_odbc.conf: a section naming the res_odbc connection and the table CEL writes to.
    AsteriskConfigReader::Section cel;
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (it.value().contains(QStringLiteral("connection")) && it.value().contains(QStringLiteral("table"))) {
            cel = it.value();
            break;
        }
    }
    if (cel.isEmpty())
        return database;
    const QString table = cel.value(QStringLiteral("table"));
    if (!table.isEmpty())
        database.insert(QStringLiteral("table_name_aliases"), QJsonObject{{QStringLiteral("cel"), table}});

    // res_odbc.conf: the connection's DSN and credentials.
    const AsteriskConfigReader::Section connection =
        AsteriskSettings::section(sections, cel.value(QStringLiteral("connection")));
    // odbc.ini: where the DSN's server is.
    const AsteriskConfigReader::Section dsn =
        AsteriskSettings::section(sections, connection.value(QStringLiteral("dsn")));

    QString host = firstOf(dsn, {"server", "servername", "host"});
    if (host.isEmpty() && !firstOf(dsn, {"socket"}).isEmpty())
        host = QStringLiteral("localhost");
    if (!host.isEmpty())
        database.insert(QStringLiteral("host"), host);
    bool ok = false;
    const int port = firstOf(dsn, {"port"}).toInt(&ok);
    if (ok && port > 0 && port < 65536)
        database.insert(QStringLiteral("port"), port);
    const QString user = firstOf(connection, {"username"}).isEmpty() ? firstOf(dsn, {"user", "uid", "username"})
                                                                     : firstOf(connection, {"username"});
    if (!user.isEmpty())
        database.insert(QStringLiteral("user"), user);
    const QString password = firstOf(connection, {"password"}).isEmpty() ? firstOf(dsn, {"password", "pwd"})
                                                                         : firstOf(connection, {"password"});
    if (!password.isEmpty())
        database.insert(QStringLiteral("password"), password);
    const QString name = firstOf(dsn, {"database"});
    if (!name.isEmpty())
        database.insert(QStringLiteral("database"), name);
    return database;
}

QJsonObject proposeAsterisk(const AsteriskConfigReader::Sections &sections,
                            const AsteriskConfigReader::Sections &managerSections, const QString &managerUser)
{
    QJsonObject asterisk;
    const AsteriskConfigReader::Section general = sections.value(QStringLiteral("general"));
    bool ok = false;
    const int port = general.value(QStringLiteral("port")).toInt(&ok);
    if (ok && port > 0 && port < 65536)
        asterisk.insert(QStringLiteral("port"), port);
    const QString bindAddress = general.value(QStringLiteral("bindaddr"));
    if (!bindAddress.isEmpty()) {
        // Listening on every address: this host reaches it on loopback.
        const QHostAddress address(bindAddress);
        const bool any =
            address == QHostAddress::AnyIPv4 || address == QHostAddress::AnyIPv6 || address == QHostAddress::Any;
        asterisk.insert(QStringLiteral("host"), any ? QStringLiteral("127.0.0.1") : bindAddress);
    }
    // Asterisk finds manager users without regard to case.
    const AsteriskConfigReader::Section user = AsteriskSettings::section(managerSections, managerUser);
    if (!user.isEmpty()) {
        asterisk.insert(QStringLiteral("user"), managerUser);
        const QString secret = user.value(QStringLiteral("secret"));
        if (!secret.isEmpty() && AsteriskSettings::isServiceUser(managerUser))
            asterisk.insert(QStringLiteral("password"), secret);
    }
    return asterisk;
}

} // namespace

QJsonObject AsteriskSettings::propose(const AsteriskConfigReader::Sections &sections,
                                      const AsteriskConfigReader::Sections &managerSections, const QString &managerUser)
{
    return QJsonObject{{kDatabase, proposeDatabase(sections)},
                       {kAsterisk, proposeAsterisk(sections, managerSections, managerUser)}};
}

AsteriskConfigReader::Section AsteriskSettings::section(const AsteriskConfigReader::Sections &sections,
                                                        const QString &name)
{
    if (name.isEmpty())
        return {};
    const auto exact = sections.constFind(name);
    if (exact != sections.cend())
        return exact.value();
    for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
        if (it.key().compare(name, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return {};
}

bool AsteriskSettings::isServiceUser(const QString &name)
{
    // Asterisk finds manager users without regard to case.
    return name.compare(Config::Modules::kServiceManagerUser, Qt::CaseInsensitive) == 0;
}

bool AsteriskSettings::isLocalHost(const QString &host)
{
    const QString trimmed = host.trimmed();
    if (trimmed.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return true;
    const QHostAddress address(trimmed);
    return !address.isNull() && address.isLoopback();
}

} // namespace Orvix::ConfigSetup
