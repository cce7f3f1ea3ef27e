#pragma once

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvix::Utils::Settings {
class IModuleSettingsManager;
}

namespace Orvix::Config {

// The service's single access point to its settings: an empty handle on the process-wide sections, so
// it may be copied freely; every operation is static. Queries serialise the section anew, so a value
// changed by update is seen by the very next query; they never fail and never log. Main thread only.
class Manager
{
public:
    enum Module {
        App = 1,
        Asterisk = 2,
        Bitrix = 3,
        Database = 4,
        WebServer = 5,
    };

    // Creates the sections with their defaults and loads the configuration file; later calls do nothing.
    static void init();
    // Why init could not take the configuration file that exists (where in it and what is wrong);
    // empty when it was taken or there is none.
    static QString loadError();
    // The file's path; empty when the file named on the command line does not exist.
    static QString filePath();

    // Empty for a value outside the enumeration.
    static QJsonObject moduleObject(Module module);
    // Undefined when the section has no such key.
    static QJsonValue value(Module module, const QString &key);

    // A missing key or a value of another type gives the empty value of the requested type.
    static QString getString(Module module, const QString &key);
    static bool getBool(Module module, const QString &key);
    static int getInt(Module module, const QString &key);
    static QStringList getStringList(Module module, const QString &key);
    static QList<int> getIntList(Module module, const QString &key);
    static QHash<QString, QString> getStringHash(Module module, const QString &key);
    static QMap<QString, QString> getStringMap(Module module, const QString &key);

    // {section: {key: value}} of every section.
    static QJsonObject toJson();

    // Applies {section: {key: value}} all or nothing (a list or map replaces the current one whole) and
    // rewrites the configuration file; returns error key -> text, empty on success.
    static QMap<QString, QString> update(const QJsonObject &settings);

    // Drops the sections so that the next init starts from the defaults again. For tests only: the
    // service creates its sections once.
    static void resetForTesting();

private:
    static QHash<Module, Utils::Settings::IModuleSettingsManager *> &modules();
    static QString moduleName(Module module);
};

} // namespace Orvix::Config
