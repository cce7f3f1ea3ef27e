#include "utils/settingsmanager.h"

#include "utils/settingshelperobject.h"
#include "utils/settingsmodule.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>

namespace Orvix::Utils::Settings {

namespace {

const QString kDefaultConfigPath = QStringLiteral("/etc/calvena/config.json");
const QString kFileErrorKey = QStringLiteral("config_file");
constexpr int kMaxBackups = 100;

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
    const QString path = configFilePath();
    QFile file(path);
    if (path.isEmpty() || !file.exists())
        return toJson();
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning().noquote() << QStringLiteral("Cannot read configuration file %1: %2").arg(path, file.errorString());
        s_unappliedPath = path;
        return toJson();
    }
    QByteArray bytes = file.readAll();
    file.close();
    const int nul = bytes.indexOf('\0');
    if (nul >= 0)
        bytes.truncate(nul);
    const QByteArray text = QString::fromUtf8(bytes).toUtf8();

    QJsonObject settings;
    if (!text.trimmed().isEmpty()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(text, &error);
        if (error.error != QJsonParseError::NoError) {
            qWarning().noquote() << QStringLiteral("Cannot parse configuration file %1: %2 at offset %3")
                                        .arg(path, error.errorString())
                                        .arg(error.offset);
            s_unappliedPath = path;
        } else if (!document.isObject()) {
            qWarning().noquote() << QStringLiteral("Configuration file %1 does not hold a JSON object").arg(path);
            s_unappliedPath = path;
        } else {
            settings = document.object();
        }
    }

    const QMap<QString, QString> errors = apply(settings);
    if (!errors.isEmpty()) {
        qWarning() << "Settings errors:" << errors;
        s_unappliedPath = path;
    }
    return toJson();
}

QMap<QString, QString> Manager::apply(const QJsonObject &settings)
{
    HelperObject root(settings);
    loadModules(root, settings);
    const QMap<QString, QString> errors = root.errors();
    if (errors.isEmpty()) {
        root.setApplyMode(true);
        loadModules(root, settings);
    }
    return errors;
}

QMap<QString, QString> Manager::save(const QJsonObject &settings)
{
    QMap<QString, QString> errors = apply(settings);
    const QString path = configFilePath();
    if (path.isEmpty())
        return errors;
    if (path == s_unappliedPath) {
        if (!backUpUnappliedFile(path)) {
            // Rewriting now would destroy the only copy of what the administrator wrote.
            errors.insert(kFileErrorKey, QStringLiteral("Cannot back up configuration file"));
            return errors;
        }
        s_unappliedPath.clear();
    }
    if (!writeFile(path))
        errors.insert(kFileErrorKey, QStringLiteral("Cannot write configuration file"));
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
        root.addWarning(name, QStringLiteral("Settings Manager not found"));
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

bool Manager::writeFile(const QString &path)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qWarning().noquote() << QStringLiteral("Cannot write configuration file %1: %2").arg(path, file.errorString());
        return false;
    }
    // QJsonObject keeps its keys sorted, so sections and keys come out in ascending order.
    const QByteArray bytes = QJsonDocument(toJson()).toJson(QJsonDocument::Indented);
    // A short write must not replace the old file with a truncated one.
    if (file.write(bytes) != bytes.size())
        file.cancelWriting();
    if (!file.commit()) {
        qWarning().noquote() << QStringLiteral("Cannot write configuration file %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}

} // namespace Orvix::Utils::Settings
