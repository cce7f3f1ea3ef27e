#include "utils/settingsmanager.h"

#include "utils/settingshelperobject.h"
#include "utils/settingsmodule.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace Orvix::Utils::Settings {

namespace {

const QString kDefaultConfigPath = QStringLiteral("/etc/calvena/config.json");
const QString kFileErrorKey = QStringLiteral("config_file");
constexpr int kMaxBackups = 100;

// "line:column" of a byte offset into UTF-8 text, both counted from 1, the column in characters.
QString lineAndColumn(const QByteArray &text, int offset)
{
    const QByteArray before = text.left(offset);
    const int line = before.count('\n') + 1;
    const int column = QString::fromUtf8(before.mid(before.lastIndexOf('\n') + 1)).size() + 1;
    return QStringLiteral("%1:%2").arg(line).arg(column);
}

// {"Section.key": value} of {section: {key: value}}; a section that is no object stands as a whole.
QMap<QString, QJsonValue> flatten(const QJsonObject &settings)
{
    QMap<QString, QJsonValue> values;
    for (auto section = settings.begin(); section != settings.end(); ++section) {
        const QJsonObject keys = section.value().toObject();
        if (!section.value().isObject())
            values.insert(section.key(), section.value());
        for (auto it = keys.begin(); it != keys.end(); ++it)
            values.insert(section.key() + QLatin1Char('.') + it.key(), it.value());
    }
    return values;
}

} // namespace

QMap<QString, IModuleSettingsManager *> &Manager::managers()
{
    static QMap<QString, IModuleSettingsManager *> registry;
    return registry;
}

void Manager::registerManager(IModuleSettingsManager *manager)
{
    managers().insert(manager->name(), manager);
}

void Manager::unregisterManager(IModuleSettingsManager *manager)
{
    // A section that replaced this one under the same name stays registered.
    auto it = managers().find(manager->name());
    if (it != managers().end() && it.value() == manager)
        managers().erase(it);
}

QJsonObject Manager::moduleToJson(const QString &name)
{
    IModuleSettingsManager *manager = managers().value(name);
    return manager ? manager->toJson() : QJsonObject();
}

QJsonObject Manager::toJson()
{
    QJsonObject result;
    const auto &registry = managers();
    for (auto it = registry.cbegin(); it != registry.cend(); ++it)
        result.insert(it.key(), it.value()->toJson());
    return result;
}

QString Manager::configFilePath()
{
    if (configName.isEmpty())
        return kDefaultConfigPath;
    if (QFile::exists(configName))
        return configName;
    qDebug().noquote() << QStringLiteral("File %1 doesn't exist").arg(configName);
    return QString();
}

QJsonObject Manager::load()
{
    s_unappliedPath.clear();
    s_loadError.clear();
    s_fileSettings = QJsonObject();
    const QString path = configFilePath();
    QFile file(path);
    s_seenPath = path;
    s_seenBytes.clear();
    if (path.isEmpty() || !file.exists())
        return toJson();
    // unapplied: the file holds something of the administrator's to keep before it is rewritten.
    const auto refuse = [&path](const QString &error, bool unapplied = true) {
        s_loadError = error;
        if (unapplied)
            s_unappliedPath = path;
    };
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        s_seenPath.clear();
        refuse(QStringLiteral("Cannot read configuration file %1: %2").arg(path, file.errorString()));
        return toJson();
    }
    QByteArray bytes = file.readAll();
    file.close();
    s_seenBytes = bytes;
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QByteArray text = QString::fromUtf8(bytes).toUtf8();

    if (text.trimmed().isEmpty()) {
        refuse(QStringLiteral("Cannot parse configuration file %1: the file is empty").arg(path), false);
        return toJson();
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError) {
        refuse(QStringLiteral("Cannot parse configuration file %1:%2: %3")
                   .arg(path, lineAndColumn(text, error.offset), error.errorString()));
        return toJson();
    }
    if (!document.isObject()) {
        refuse(QStringLiteral("Cannot parse configuration file %1: the top level is not a JSON object").arg(path));
        return toJson();
    }
    s_fileSettings = document.object();
    QStringList corrections;
    const QMap<QString, QString> errors = apply(s_fileSettings, &corrections);
    if (!errors.isEmpty()) {
        QStringList refused;
        for (auto it = errors.cbegin(); it != errors.cend(); ++it)
            refused.append(it.key() + QStringLiteral(": ") + it.value());
        refuse(QStringLiteral("Configuration file %1 holds refused values: %2")
                   .arg(path, refused.join(QStringLiteral("; "))));
        return toJson();
    }
    for (const QString &correction : qAsConst(corrections))
        qWarning().noquote() << QStringLiteral("Configuration file %1: %2").arg(path, correction);
    QStringList defaults;
    for (auto it = managers().cbegin(); it != managers().cend(); ++it) {
        const QJsonObject written = s_fileSettings.value(it.key()).toObject();
        for (const QString &key : it.value()->toJson().keys()) {
            if (!written.contains(key))
                defaults.append(it.key() + QLatin1Char('.') + key);
        }
    }
    if (!defaults.isEmpty())
        qDebug().noquote() << "Settings left at their defaults:" << defaults.join(QStringLiteral(", "));
    return toJson();
}

QMap<QString, QString> Manager::apply(const QJsonObject &settings, QStringList *startCorrections)
{
    HelperObject root(settings);
    root.setLenient(startCorrections != nullptr);
    loadModules(root, settings);
    const QMap<QString, QString> errors = root.errors();
    if (errors.isEmpty()) {
        root.setApplyMode(true);
        loadModules(root, settings);
        if (startCorrections)
            *startCorrections = root.corrections();
    }
    return errors;
}

QMap<QString, QString> Manager::save(const QJsonObject &settings)
{
    const QJsonObject previous = toJson();
    QMap<QString, QString> errors = apply(settings);
    const QString path = configFilePath();
    if (!errors.isEmpty() || path.isEmpty())
        return errors;
    // The values in force are put back as they are, whatever a save would say of them.
    QStringList unused;
    const QString edited = handEdits(path);
    if (!edited.isEmpty()) {
        apply(previous, &unused);
        const QString refusal =
            QStringLiteral("Not saved: configuration file %1 was changed since the service last read or wrote it: %2. "
                           "The file is kept as it is; to take its values, restart the service or send them with "
                           "/update_config, then save again")
                .arg(path, edited);
        qWarning().noquote() << refusal;
        errors.insert(kFileChangedKey, refusal);
        return errors;
    }
    if (path == s_unappliedPath) {
        if (!backUpUnappliedFile(path)) {
            // Rewriting now would destroy the only copy of what the administrator wrote.
            apply(previous, &unused);
            errors.insert(kFileErrorKey, QStringLiteral("Cannot back up configuration file"));
            return errors;
        }
        s_unappliedPath.clear();
    }
    QString writeError;
    if (!writeFile(path, &writeError)) {
        // What is not in the file would be gone at the next start: the service keeps what it had.
        apply(previous, &unused);
        errors.insert(kFileErrorKey, QStringLiteral("Cannot write configuration file %1: %2").arg(path, writeError));
    }
    return errors;
}

void Manager::loadModules(HelperObject &root, const QJsonObject &settings)
{
    for (auto it = settings.begin(); it != settings.end(); ++it)
        loadModule(it.key(), root);
}

void Manager::loadModule(const QString &name, HelperObject &root)
{
    IModuleSettingsManager *manager = managers().value(name);
    if (!manager) {
        // A misspelt section would otherwise be dropped while the caller is told it was saved.
        root.addError(name, QStringLiteral("Unknown section"));
        return;
    }
    if (!root.value(name).isObject()) {
        root.addError(name, QStringLiteral("Expected an object of settings"));
        return;
    }
    manager->load(root.child(name));
}

bool Manager::backUpUnappliedFile(const QString &path)
{
    QFile original(path);
    if (!original.exists())
        return true;
    if (!original.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("Cannot read configuration file %1: %2").arg(path, original.errorString());
        return false;
    }
    const QByteArray bytes = original.readAll();
    original.close();

    // Never overwrite an earlier backup: each may hold a different lost edit.
    for (int n = 0; n < kMaxBackups; ++n) {
        const QString backupPath = path + (n == 0 ? QStringLiteral(".bak") : QStringLiteral(".bak.%1").arg(n));
        QFile backup(backupPath);
        if (backup.exists())
            continue;
        if (!backup.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
            if (backup.exists())
                continue; // created by someone else meanwhile
            qWarning().noquote()
                << QStringLiteral("Cannot write backup %1: %2").arg(backupPath, backup.errorString());
            return false;
        }
        // The file holds passwords: the backup is no more readable than the original.
        const bool restricted = backup.setPermissions(original.permissions());
        const bool written = restricted && backup.write(bytes) == bytes.size();
        const bool flushed = backup.flush();
        backup.close();
        if (!written || !flushed) {
            qWarning().noquote()
                << QStringLiteral("Cannot write backup %1: %2").arg(backupPath, backup.errorString());
            backup.remove();
            return false;
        }
        qWarning().noquote()
            << QStringLiteral("Configuration file %1 was not applied; its content is kept in %2").arg(path, backupPath);
        return true;
    }
    qWarning().noquote() << QStringLiteral("Too many backups of configuration file %1").arg(path);
    return false;
}

bool Manager::writeFile(const QString &path, QString *error)
{
    // QJsonObject keeps its keys sorted, so sections and keys come out in ascending order.
    const QByteArray bytes = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    if (!writePrivateFile(path, bytes, error)) {
        qWarning().noquote() << QStringLiteral("Cannot write configuration file %1: %2").arg(path, *error);
        return false;
    }
    s_seenPath = path;
    s_seenBytes = bytes;
    return true;
}

QString Manager::handEdits(const QString &path)
{
    if (path != s_seenPath)
        return QString();
    // One that cannot be read is left to the write, which says why it fails.
    QFile file(path);
    if (file.exists() && !file.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    const QByteArray bytes = file.isOpen() ? file.readAll() : QByteArray();
    if (bytes == s_seenBytes)
        return QString();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!bytes.trimmed().isEmpty() && (error.error != QJsonParseError::NoError || !document.isObject()))
        return QStringLiteral("it holds no JSON object now");
    // A value edited to what the save sets anyway is taken: so is one sent with /update_config.
    const QMap<QString, QJsonValue> now = flatten(document.object());
    const QMap<QString, QJsonValue> seen = flatten(QJsonDocument::fromJson(s_seenBytes).object());
    const QMap<QString, QJsonValue> inForce = flatten(toJson());
    QStringList keys = now.keys() + seen.keys();
    keys.removeDuplicates();
    QStringList differ;
    const QJsonValue none(QJsonValue::Undefined);
    for (const QString &key : qAsConst(keys)) {
        if (now.value(key, none) != seen.value(key, none) && now.value(key, none) != inForce.value(key, none))
            differ.append(key);
    }
    differ.sort();
    if (differ.isEmpty())
        return QString();
    return QStringLiteral("%1 differ from the values in force").arg(differ.join(QStringLiteral(", ")));
}

bool Manager::writePrivateFile(const QString &path, const QByteArray &bytes, QString *error)
{
    // Through a link, the file it points at is replaced, not the link.
    const QFileInfo info(path);
    const QString target = info.isSymLink() ? info.symLinkTarget() : path;
    struct stat old = {};
    const bool replacing = ::stat(QFile::encodeName(target).constData(), &old) == 0 && S_ISREG(old.st_mode);
    // QTemporaryFile makes its file for its owner alone: nobody can open it before its mode is set below.
    QTemporaryFile file(target + QStringLiteral(".XXXXXX"));
    if (!file.open()) {
        *error = file.errorString();
        return false;
    }
    mode_t mode = S_IRUSR | S_IWUSR;
    if (replacing) {
        mode = old.st_mode & 07777;
        if (mode & (S_IROTH | S_IWOTH)) {
            qWarning().noquote() << QStringLiteral("%1 was open to every user of this host; it holds passwords, so "
                                                   "it is now its owner's alone (0600)")
                                        .arg(target);
            mode = S_IRUSR | S_IWUSR;
        }
        // The administrator's file stays theirs when root rewrites it (only root may give a file away).
        if (::fchown(file.handle(), old.st_uid, old.st_gid) != 0 && ::geteuid() == 0) {
            *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
    }
    const bool written = ::fchmod(file.handle(), mode) == 0 && file.write(bytes) == bytes.size() && file.flush()
        && ::fsync(file.handle()) == 0;
    if (!written
        || ::rename(QFile::encodeName(file.fileName()).constData(), QFile::encodeName(target).constData()) != 0) {
        *error = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    file.setAutoRemove(false);
    return true;
}

} // namespace Orvix::Utils::Settings
