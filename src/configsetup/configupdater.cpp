#include "configsetup/configupdater.h"

#include "config/generateddirectory.h"
#include "config/manager.h"
#include "config/validators.h"
#include "configsetup/asteriskchecker.h"
#include "configsetup/asterisklocator.h"
#include "configsetup/asterisksettings.h"
#include "configsetup/checkresult.h"
#include "configsetup/crmchecker.h"
#include "configsetup/dbchecker.h"
#include "configsetup/networkchecker.h"
#include "configsetup/programrunner.h"
#include "crm/bitrix/constants.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

namespace Orvix::ConfigSetup {

namespace {

using Settings = Orvix::Config::Manager;

const QString kDatabaseKey = QStringLiteral("database");
const QString kAsteriskKey = QStringLiteral("asterisk");
const QString kBitrixKey = QStringLiteral("bitrix");
const QString kNetworkKey = QStringLiteral("network");
const QString kGeneralKey = QStringLiteral("general");

// Defaults of the settings that the files may fill in: a value still at its default was never chosen.
constexpr int kDefaultDatabasePort = 3306;
const QString kDefaultDatabaseName = QStringLiteral("asteriskcdrdb");
const QString kDefaultCelTable = QStringLiteral("cel");
constexpr int kDefaultAmiPort = 5038;
const QString kDefaultAmiHost = QStringLiteral("127.0.0.1");

// The manager classes the service reads and writes: call events and originate, console commands.
const QString kManagerClasses = QStringLiteral("system,call,command,originate");
constexpr int kSecretLength = 24;
// The CRM check's token lives beside the running link's, never in its file.
const QString kCheckPostfix = QStringLiteral("_check");

QString text(const QJsonObject &settings, const QString &key, const QString &current)
{
    const QJsonValue value = settings.value(key);
    return value.isString() ? value.toString() : current;
}

int number(const QJsonObject &settings, const QString &key, int current)
{
    const QJsonValue value = settings.value(key);
    if (value.isDouble())
        return value.toInt();
    if (value.isString()) {
        bool ok = false;
        const int parsed = value.toString().trimmed().toInt(&ok);
        return ok ? parsed : -1; // a port that is no number fails the check, it is not replaced silently
    }
    return current;
}

// The saved secret goes only to the saved address: a check of another one takes the secret from the request
// (a page of another site that makes the browser ask for a check cannot know it). A secret that is no text
// counts as none, since text() would put the saved one in its place. Empty when the check may go on, else the
// answer that says what is missing.
QString missingSecret(const QJsonObject &given, const QStringList &secretKeys, const QString &what,
                      const QString &address, const QString &savedAddress)
{
    if (address.compare(savedAddress, Qt::CaseInsensitive) == 0)
        return QString();
    for (const QString &key : secretKeys) {
        if (!given.value(key).isString())
            return QStringLiteral("Give the %1 to check %2: what is saved is sent only to %3")
                .arg(what, address, savedAddress.isEmpty() ? QStringLiteral("the saved address") : savedAddress);
    }
    return QString();
}

QString hostAndPort(const QString &host, int port)
{
    return QStringLiteral("%1:%2").arg(host.trimmed()).arg(port);
}

DbChecker::Settings dbSettings(const QJsonObject &given)
{
    DbChecker::Settings db;
    db.host = text(given, QStringLiteral("host"), Settings::getString(Settings::Database, QStringLiteral("host")));
    db.port = number(given, QStringLiteral("port"), Settings::getInt(Settings::Database, QStringLiteral("port")));
    db.user = text(given, QStringLiteral("user"), Settings::getString(Settings::Database, QStringLiteral("user")));
    db.password =
        text(given, QStringLiteral("password"), Settings::getString(Settings::Database, QStringLiteral("password")));
    db.database =
        text(given, QStringLiteral("database"), Settings::getString(Settings::Database, QStringLiteral("database")));
    // The entries given stand in for the saved ones of the same name.
    const auto aliases = [&given](const QString &key) {
        QHash<QString, QString> names = Settings::getStringHash(Settings::Database, key);
        const QJsonObject givenNames = given.value(key).toObject();
        for (auto it = givenNames.begin(); it != givenNames.end(); ++it)
            names.insert(it.key(), it.value().toString());
        return names;
    };
    const QHash<QString, QString> tables = aliases(QStringLiteral("table_name_aliases"));
    db.celTable = tables.value(QStringLiteral("cel"), QStringLiteral("cel"));
    db.cdrTable = tables.value(QStringLiteral("cdr"), QStringLiteral("cdr"));
    db.columns = aliases(QStringLiteral("column_name_aliases"));
    return db;
}

QJsonObject checkedWith(const DbChecker::Settings &db)
{
    QJsonObject columns;
    for (auto it = db.columns.cbegin(); it != db.columns.cend(); ++it)
        columns.insert(it.key(), it.value());
    return QJsonObject{{QStringLiteral("host"), db.host},         {QStringLiteral("port"), db.port},
                       {QStringLiteral("user"), db.user},         {QStringLiteral("password"), db.password},
                       {QStringLiteral("database"), db.database}, {QStringLiteral("cel"), db.celTable},
                       {QStringLiteral("cdr"), db.cdrTable},      {QStringLiteral("columns"), columns}};
}

QJsonObject amiSettings(const QJsonObject &given)
{
    QJsonObject ami;
    for (const QString &key : {QStringLiteral("host"), QStringLiteral("user"), QStringLiteral("password")})
        ami.insert(key, text(given, key, Settings::getString(Settings::Asterisk, key)));
    ami.insert(QStringLiteral("port"),
               number(given, QStringLiteral("port"), Settings::getInt(Settings::Asterisk, QStringLiteral("port"))));
    return ami;
}

CrmChecker::Settings crmSettings(const QJsonObject &given)
{
    CrmChecker::Settings crm;
    crm.host = text(given, QStringLiteral("host"), Settings::getString(Settings::Bitrix, QStringLiteral("host")));
    // As the setting takes it when saved: a bare host is https, a page's address its portal's.
    QString refused;
    Config::Validators::portalAddress(crm.host, refused);
    crm.userId =
        number(given, QStringLiteral("user_id"), Settings::getInt(Settings::Bitrix, QStringLiteral("user_id")));
    crm.login =
        text(given, QStringLiteral("user_login"), Settings::getString(Settings::Bitrix, QStringLiteral("user_login")));
    crm.password = text(given, QStringLiteral("user_password"),
                        Settings::getString(Settings::Bitrix, QStringLiteral("user_password")));
    return crm;
}

QJsonObject checkedWith(const CrmChecker::Settings &crm)
{
    return QJsonObject{{QStringLiteral("host"), crm.host},
                       {QStringLiteral("user_id"), crm.userId},
                       {QStringLiteral("user_login"), crm.login},
                       {QStringLiteral("user_password"), crm.password}};
}

QString randomSecret()
{
    static const QString alphabet = QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789");
    QString secret;
    secret.reserve(kSecretLength);
    for (int i = 0; i < kSecretLength; ++i)
        secret.append(alphabet.at(QRandomGenerator::system()->bounded(alphabet.size())));
    return secret;
}

// Adds key: value to changes when it differs from the current value.
void propose(QJsonObject &changes, const QString &key, const QJsonValue &proposed, const QJsonValue &current)
{
    if (!proposed.isUndefined() && !proposed.isNull() && proposed != current)
        changes.insert(key, proposed);
}

QJsonObject general(const QJsonObject &checks)
{
    int worst = kCheckOk;
    QStringList failed;
    QStringList unchecked;
    for (const QString &key : {kDatabaseKey, kAsteriskKey, kBitrixKey, kNetworkKey}) {
        const int status = checks.value(key).toObject().value(QStringLiteral("status")).toInt(kNotChecked);
        if (status > kCheckOk)
            failed.append(key);
        else if (status == kNotChecked)
            unchecked.append(key);
        if (status > worst || (worst == kCheckOk && status == kNotChecked))
            worst = status;
    }
    if (!failed.isEmpty())
        return checkResult(worst, QStringLiteral("Failed: %1").arg(failed.join(QStringLiteral(", "))));
    if (!unchecked.isEmpty())
        return checkResult(kNotChecked, QStringLiteral("Not checked: %1").arg(unchecked.join(QStringLiteral(", "))));
    return checkResult(kCheckOk, QStringLiteral("All checks passed"));
}

// The files that manager.conf includes ("#include" and "#tryinclude", a name relative to its directory,
// wildcards in the file name), below the reader's root.
QStringList includedFiles(const AsteriskConfigReader &reader, const QString &managerText)
{
    static const QRegularExpression include(QStringLiteral("^[ \\t]*#(?:try)?include[ \\t]+[\"<]?([^\"<>\\s]+)"),
                                            QRegularExpression::MultilineOption);
    QStringList files;
    QRegularExpressionMatchIterator it = include.globalMatch(managerText);
    while (it.hasNext()) {
        QString name = it.next().captured(1);
        if (!QDir::isAbsolutePath(name))
            name = QFileInfo(QString(kManagerFile)).path() + QLatin1Char('/') + name;
        const QFileInfo pattern(reader.resolve(name));
        const QDir directory = pattern.dir();
        for (const QString &entry : directory.entryList({pattern.fileName()}, QDir::Files, QDir::Name))
            files.append(directory.filePath(entry));
    }
    return files;
}

// Whether an included file defines the user: Asterisk reads it as part of manager.conf, and a second
// section of that name would replace the user's secret under whoever else logs in with it.
bool definedInIncludedFile(const AsteriskConfigReader &reader, const QString &managerText, const QString &user)
{
    for (const QString &path : includedFiles(reader, managerText)) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)
            && !AsteriskSettings::section(AsteriskConfigReader::parse(QString::fromUtf8(file.readAll())), user)
                    .isEmpty())
            return true;
    }
    return false;
}

} // namespace

ConfigUpdater::ConfigUpdater(QSharedPointer<HttpClient::HttpClient> client, Orvix::Config::Manager &, QObject *parent)
    : QObject(parent)
    , m_client(std::move(client))
{
    for (const QString &key : {kDatabaseKey, kAsteriskKey, kBitrixKey, kNetworkKey})
        m_status.insert(key, notChecked());
}

ConfigUpdater::~ConfigUpdater() = default;

void ConfigUpdater::setRootDirectory(const QString &root)
{
    m_root = root.isEmpty() ? QStringLiteral("/") : root;
}

void ConfigUpdater::setTokenBaseDirectory(const QString &directory)
{
    m_tokenBaseDirectory = directory;
}

void ConfigUpdater::setNetworkHost(const QString &host, quint16 port)
{
    m_networkHost = host;
    m_networkPort = port;
}

void ConfigUpdater::setCheckTimeout(std::chrono::milliseconds timeout)
{
    m_checkTimeout = timeout;
}

void ConfigUpdater::setCrmCheckTimeout(std::chrono::milliseconds timeout)
{
    m_crmCheckTimeout = timeout;
}

// ---- checks ----

void ConfigUpdater::checkConnections(Utils::Promise<QJsonObject> promise, const QJsonObject &settings)
{
    // One after another, in a fixed order: the answer lists them all.
    auto results = QSharedPointer<QJsonObject>::create();
    const auto self = QPointer<ConfigUpdater>(this);
    const auto finishAll = [results, promise] {
        results->insert(kGeneralKey, general(*results));
        promise.resolve(*results);
    };
    const auto step = [self, results](const QString &key, auto start, auto next) {
        if (!self) {
            results->insert(key, notChecked());
            next();
            return;
        }
        Utils::Promise<QJsonObject> one;
        one.onResolve([results, key, next](const QJsonObject &result) {
            results->insert(key, result);
            next();
        });
        start(self.data(), one);
    };
    // The sections the request gives, as typed on the page and not saved yet, stand in for the saved ones.
    const QJsonObject database = settings.value(QStringLiteral("Database")).toObject();
    const QJsonObject asterisk = settings.value(QStringLiteral("Asterisk")).toObject();
    const QJsonObject bitrix = settings.value(QStringLiteral("Bitrix")).toObject();
    const auto network = [step, finishAll] {
        step(kNetworkKey, [](ConfigUpdater *u, Utils::Promise<QJsonObject> p) { u->networkCheck(p); }, finishAll);
    };
    const auto crm = [step, network, bitrix] {
        step(kBitrixKey, [bitrix](ConfigUpdater *u, Utils::Promise<QJsonObject> p) { u->bxCheck(p, bitrix); },
             network);
    };
    const auto ami = [step, crm, asterisk] {
        step(kAsteriskKey,
             [asterisk](ConfigUpdater *u, Utils::Promise<QJsonObject> p) { u->asteriskCheck(p, asterisk); }, crm);
    };
    step(kDatabaseKey, [database](ConfigUpdater *u, Utils::Promise<QJsonObject> p) { u->dbCheck(p, database); },
         ami);
}

void ConfigUpdater::dbCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings)
{
    DbChecker::Settings db = dbSettings(settings);
    db.timeout = std::max(std::chrono::seconds(1), std::chrono::duration_cast<std::chrono::seconds>(m_checkTimeout));
    const QJsonObject used = checkedWith(db);
    const DbChecker::Settings saved = dbSettings(QJsonObject());
    const QString missing = missingSecret(settings, {QStringLiteral("password")}, QStringLiteral("database password"),
                                          hostAndPort(db.host, db.port), hostAndPort(saved.host, saved.port));
    const bool valid = db.port > 0 && db.port <= 65535;
    // The client library would try a socket of its own choosing and say only that: the setting is what is missing.
    const bool hostless = db.host.trimmed().isEmpty();
    if (!valid || hostless || !missing.isEmpty()) {
        const QJsonObject result = !valid
            ? checkResult(DbStatus::ConnectionFailed, QStringLiteral("The port is not valid"))
            : hostless ? checkResult(DbStatus::IncompleteSettings,
                                     QStringLiteral("No database host is set: enter the address of the PBX's database "
                                                    "server, or localhost for a server on this host"))
                       : checkResult(DbStatus::IncompleteSettings, missing);
        storeStatus(kDatabaseKey, result, used);
        promise.resolve(result);
        return;
    }
    DbChecker::check(db).onResolve([self = QPointer<ConfigUpdater>(this), promise, used](const QJsonObject &result) {
        if (self)
            self->storeStatus(kDatabaseKey, result, used);
        promise.resolve(result);
    });
}

void ConfigUpdater::asteriskCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings)
{
    const QJsonObject used = amiSettings(settings);
    const QString host = used.value(QStringLiteral("host")).toString();
    const int port = used.value(QStringLiteral("port")).toInt();
    const QJsonObject saved = amiSettings(QJsonObject());
    const QString missing = missingSecret(
        settings, {QStringLiteral("password")}, QStringLiteral("manager secret"), hostAndPort(host, port),
        hostAndPort(saved.value(QStringLiteral("host")).toString(), saved.value(QStringLiteral("port")).toInt()));

    const bool valid = port > 0 && port <= 65535 && !host.trimmed().isEmpty();
    // Asterisk lets no manager user in without one; only the service's own is filled in from its files.
    const QString noSecret = used.value(QStringLiteral("password")).toString().isEmpty()
        ? QStringLiteral("Enter the secret of manager user \"%1\" (Asterisk.password)")
              .arg(used.value(QStringLiteral("user")).toString())
        : QString();
    if (!valid || !missing.isEmpty() || !noSecret.isEmpty()) {
        const QJsonObject result = !valid
            ? checkResult(AsteriskStatus::ConnectionFailed, QStringLiteral("The host or port is not valid"))
            : checkResult(AsteriskStatus::IncompleteSettings, missing.isEmpty() ? noSecret : missing);
        storeStatus(kAsteriskKey, result, used);
        promise.resolve(result);
        return;
    }
    AsteriskChecker::check(this, host, static_cast<quint16>(port), used.value(QStringLiteral("user")).toString(),
                           used.value(QStringLiteral("password")).toString(), m_checkTimeout)
        .onResolve([self = QPointer<ConfigUpdater>(this), promise, used](const QJsonObject &result) {
            if (self)
                self->storeStatus(kAsteriskKey, result, used);
            promise.resolve(result);
        });
}

void ConfigUpdater::bxCheck(Utils::Promise<QJsonObject> promise, const QJsonObject &settings)
{
    CrmChecker::Settings crm = crmSettings(settings);
    crm.generatedPostfix = Config::GeneratedDirectory::postfix() + kCheckPostfix;
    crm.tokenBaseDirectory = m_tokenBaseDirectory;
    crm.timeout = m_crmCheckTimeout;
    const QJsonObject used = checkedWith(crm);
    const QString missing =
        missingSecret(settings, {QStringLiteral("user_login"), QStringLiteral("user_password")},
                      QStringLiteral("portal login and password"), crm.host, crmSettings(QJsonObject()).host);
    if (!missing.isEmpty()) {
        const QJsonObject result = checkResult(CrmStatus::IncompleteSettings, missing);
        storeStatus(kBitrixKey, result, used);
        promise.resolve(result);
        return;
    }

    CrmChecker::check(this, m_client, crm)
        .onResolve([self = QPointer<ConfigUpdater>(this), promise, used](const QJsonObject &result) {
            if (self)
                self->storeStatus(kBitrixKey, result, used);
            promise.resolve(result);
        });
}

void ConfigUpdater::networkCheck(Utils::Promise<QJsonObject> promise)
{
    quint16 port = m_networkPort;
    const QString host = m_networkHost.isEmpty() ? oauthHost(&port) : m_networkHost;
    NetworkChecker::check(this, host, port, m_checkTimeout)
        .onResolve([self = QPointer<ConfigUpdater>(this), promise](const QJsonObject &result) {
            if (self)
                self->storeStatus(kNetworkKey, result);
            promise.resolve(result);
        });
}

void ConfigUpdater::locateAsterisk(Utils::Promise<QJsonObject> promise)
{
    AsteriskLocator::locate(this, m_root, Settings::getString(Settings::Asterisk, QStringLiteral("user")),
                            m_checkTimeout)
        .onResolve([promise](const QJsonObject &result) { promise.resolve(result); });
}

QString ConfigUpdater::oauthHost(quint16 *port) const
{
    const QByteArray configured = qgetenv(CRM::Bitrix::kTokenUrlVariable);
    const QUrl url(configured.isEmpty() ? QString(CRM::Bitrix::kDefaultTokenUrl) : QString::fromUtf8(configured));
    *port = static_cast<quint16>(url.port(url.scheme() == QLatin1String("http") ? 80 : 443));
    return url.host();
}

void ConfigUpdater::storeStatus(const QString &key, const QJsonObject &result, const QJsonObject &checkedWith)
{
    m_status.insert(key, result);
    if (!checkedWith.isEmpty())
        m_checkedWith.insert(key, checkedWith);
}

QJsonObject ConfigUpdater::checkStatus() const
{
    // A result stands only for the settings it was taken with: after a save, or a check of values typed on
    // the page and never saved, the saved settings are unchecked.
    const QHash<QString, QJsonObject> saved{{kDatabaseKey, checkedWith(dbSettings(QJsonObject()))},
                                            {kAsteriskKey, amiSettings(QJsonObject())},
                                            {kBitrixKey, checkedWith(crmSettings(QJsonObject()))}};
    QJsonObject status = m_status;
    for (auto it = m_checkedWith.cbegin(); it != m_checkedWith.cend(); ++it) {
        if (it.value() != saved.value(it.key()))
            status.insert(it.key(), checkResult(kNotChecked, QStringLiteral("Not checked with the saved settings")));
    }
    status.insert(kGeneralKey, general(status));
    return status;
}

// ---- configuration ----

QJsonObject ConfigUpdater::config() const
{
    return Settings::toJson();
}

Utils::Promise<void, QJsonObject> ConfigUpdater::updateConfig(const QJsonObject &json)
{
    Utils::Promise<void, QJsonObject> result;
    const QMap<QString, QString> errors = Settings::update(json);
    if (errors.isEmpty()) {
        result.resolve();
        return result;
    }
    QJsonObject refused;
    for (auto it = errors.cbegin(); it != errors.cend(); ++it)
        refused.insert(it.key(), it.value());
    result.reject(refused);
    return result;
}

void ConfigUpdater::setAsteriskConfig(const AsteriskConfigReader::Sections &sections)
{
    m_sections = sections;
}

void ConfigUpdater::setManagerConfig(const AsteriskConfigReader::Sections &managerSections)
{
    m_managerSections = managerSections;
}

bool ConfigUpdater::readAsteriskConfig()
{
    AsteriskConfigReader reader(m_root);
    for (const QLatin1String &file : {kCelOdbcFile, kResOdbcFile, kOdbcIniFile, kManagerFile})
        reader.readFile(file);
    setAsteriskConfig(reader.sections());
    reader.parseManagerFile(kManagerFile);
    setManagerConfig(reader.managerSections());
    return applyAsteriskConfig();
}

bool ConfigUpdater::applyAsteriskConfig()
{
    m_configured = true;
    const QString user = Settings::getString(Settings::Asterisk, QStringLiteral("user"));
    const QJsonObject proposed = AsteriskSettings::propose(m_sections, m_managerSections, user);

    // Database: the files speak for it only while the operator has not named a server, or for the
    // credentials of the very server the files name.
    const QJsonObject db = proposed.value(QStringLiteral("Database")).toObject();
    const QJsonObject currentDb = Settings::moduleObject(Settings::Database);
    const QString currentHost = currentDb.value(QStringLiteral("host")).toString();
    const bool dbUnset = currentHost.isEmpty();
    QJsonObject dbChanges;
    if (dbUnset) {
        propose(dbChanges, QStringLiteral("host"), db.value(QStringLiteral("host")),
                currentDb.value(QStringLiteral("host")));
        if (currentDb.value(QStringLiteral("port")).toInt() == kDefaultDatabasePort)
            propose(dbChanges, QStringLiteral("port"), db.value(QStringLiteral("port")),
                    currentDb.value(QStringLiteral("port")));
        if (currentDb.value(QStringLiteral("database")).toString() == kDefaultDatabaseName)
            propose(dbChanges, QStringLiteral("database"), db.value(QStringLiteral("database")),
                    currentDb.value(QStringLiteral("database")));
        QJsonObject aliases = currentDb.value(QStringLiteral("table_name_aliases")).toObject();
        const QString celTable =
            db.value(QStringLiteral("table_name_aliases")).toObject().value(QStringLiteral("cel")).toString();
        if (aliases.value(QStringLiteral("cel")).toString() == kDefaultCelTable && !celTable.isEmpty()
            && celTable != kDefaultCelTable) {
            aliases.insert(QStringLiteral("cel"), celTable);
            dbChanges.insert(QStringLiteral("table_name_aliases"), aliases);
        }
    }
    // "localhost" and 127.0.0.1 name one server: its credentials in the files are the ones it wants.
    const QString fileHost = db.value(QStringLiteral("host")).toString();
    const bool sameServer = currentHost == fileHost
        || (AsteriskSettings::isLocalHost(currentHost) && AsteriskSettings::isLocalHost(fileHost));
    if (dbUnset || sameServer) {
        for (const QString &key : {QStringLiteral("user"), QStringLiteral("password")}) {
            if (currentDb.value(key).toString().isEmpty())
                propose(dbChanges, key, db.value(key), currentDb.value(key));
        }
    }

    // Asterisk: only while the service has no manager secret yet, i.e. was never set up, and only for the
    // PBX these files belong to: this host's, or the one at the address its manager interface binds to.
    const QJsonObject ami = proposed.value(QStringLiteral("Asterisk")).toObject();
    const QJsonObject currentAmi = Settings::moduleObject(Settings::Asterisk);
    const QString currentAmiHost = currentAmi.value(QStringLiteral("host")).toString();
    const bool samePbx = AsteriskSettings::isLocalHost(currentAmiHost)
        || currentAmiHost == ami.value(QStringLiteral("host")).toString();
    QJsonObject amiChanges;
    if (samePbx && currentAmi.value(QStringLiteral("password")).toString().isEmpty()) {
        propose(amiChanges, QStringLiteral("password"), ami.value(QStringLiteral("password")),
                currentAmi.value(QStringLiteral("password")));
        if (currentAmi.value(QStringLiteral("port")).toInt() == kDefaultAmiPort)
            propose(amiChanges, QStringLiteral("port"), ami.value(QStringLiteral("port")),
                    currentAmi.value(QStringLiteral("port")));
        if (currentAmi.value(QStringLiteral("host")).toString() == kDefaultAmiHost)
            propose(amiChanges, QStringLiteral("host"), ami.value(QStringLiteral("host")),
                    currentAmi.value(QStringLiteral("host")));
        if (AsteriskSettings::section(m_managerSections, user).isEmpty())
            createManagerUser(amiChanges);
        else if (!AsteriskSettings::isServiceUser(user))
            qInfo().noquote() << QStringLiteral("Manager user \"%1\" is not the service's own: its secret is not taken "
                                                "from manager.conf; enter it on the /config page (Asterisk.password)")
                                     .arg(user);
    }

    QJsonObject update;
    if (!dbChanges.isEmpty())
        update.insert(QStringLiteral("Database"), dbChanges);
    if (!amiChanges.isEmpty())
        update.insert(QStringLiteral("Asterisk"), amiChanges);
    if (update.isEmpty())
        return false;

    QStringList keys;
    for (const QString &section : update.keys()) {
        for (const QString &key : update.value(section).toObject().keys())
            keys.append(section + QLatin1Char('.') + key);
    }
    const QMap<QString, QString> errors = Settings::update(update);
    if (!errors.isEmpty()) {
        qWarning().noquote() << QStringLiteral("Cannot save the settings taken from the Asterisk configuration: %1")
                                    .arg(QStringList(errors.values()).join(QStringLiteral("; ")));
        return false;
    }
    qInfo().noquote() << QStringLiteral("Settings taken from the Asterisk configuration: %1")
                             .arg(keys.join(QStringLiteral(", ")));
    return true;
}

bool ConfigUpdater::createManagerUser(QJsonObject &asteriskChanges)
{
    const QString user = Settings::getString(Settings::Asterisk, QStringLiteral("user"));
    const QString host = asteriskChanges.contains(QStringLiteral("host"))
        ? asteriskChanges.value(QStringLiteral("host")).toString()
        : Settings::getString(Settings::Asterisk, QStringLiteral("host"));
    // Only a PBX on this host is ours to change, and only under a name that is a plain section name
    // Asterisk reads whole.
    static const QRegularExpression plainName(
        QStringLiteral("^[A-Za-z0-9_.@-]{1,%1}\\z").arg(Orvix::Config::Validators::kMaxPbxNameBytes));
    if (!AsteriskSettings::isLocalHost(host) || !plainName.match(user).hasMatch())
        return false;

    const AsteriskConfigReader reader(m_root);
    const QString path = reader.resolve(kManagerFile);
    const QFileInfo info(path);
    if (!info.isFile() || !info.isWritable())
        return false;

    QFile file(path);
    if (!file.open(QIODevice::ReadWrite)) {
        qWarning().noquote() << QStringLiteral("Cannot open %1: %2").arg(path, file.errorString());
        return false;
    }
    if (definedInIncludedFile(reader, QString::fromUtf8(file.readAll()), user)) {
        qInfo().noquote() << QStringLiteral("Manager user \"%1\" is defined in a file %2 includes: enter its "
                                            "secret on the /config page")
                                 .arg(user, path);
        return false;
    }
    // The new section must start on a line of its own.
    bool endsWithNewline = true;
    if (file.size() > 0 && file.seek(file.size() - 1))
        endsWithNewline = file.read(1) == "\n";
    const QString secret = randomSecret();
    const QString section = QStringLiteral("%1\n[%2]\nsecret = %3\ndeny = 0.0.0.0/0.0.0.0\n"
                                           "permit = 127.0.0.1/255.255.255.255\nread = %4\nwrite = %4\n")
                                .arg(endsWithNewline ? QStringLiteral("") : QStringLiteral("\n"), user, secret,
                                     kManagerClasses);
    const QByteArray bytes = section.toUtf8();
    if (!file.seek(file.size()) || file.write(bytes) != bytes.size() || !file.flush()) {
        qWarning().noquote() << QStringLiteral("Cannot add the manager user to %1: %2").arg(path, file.errorString());
        return false;
    }
    file.close();

    m_managerSections.insert(user, AsteriskConfigReader::parse(section).value(user));
    asteriskChanges.insert(QStringLiteral("password"), secret);
    qInfo().noquote() << QStringLiteral("Manager user \"%1\" added to %2").arg(user, path);

    // Waited for: the PBX link logs in right after the start-up step that brings us here, and a login
    // before the reload would be refused and hold the link back for a whole restart delay.
    const ProgramResult reload = ProgramRunner::runAndWait(
        QStringLiteral("asterisk"), {QStringLiteral("-rx"), QStringLiteral("manager reload")}, m_checkTimeout);
    if (reload.ok())
        qInfo().noquote() << "Asterisk manager configuration reloaded";
    else
        qWarning().noquote() << "Asterisk did not reload its manager configuration; run \"manager reload\" "
                                "in its console";
    return true;
}

} // namespace Orvix::ConfigSetup
