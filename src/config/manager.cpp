#include "config/manager.h"

#include "config/app.h"
#include "config/asterisk.h"
#include "config/bitrix.h"
#include "config/database.h"
#include "config/webserver.h"
#include "utils/settingsmanager.h"

#include <QJsonArray>

namespace Orvix::Config {

namespace {

// Every member of a JSON object as text: a QHash or a QMap of the same pairs.
template <typename Container>
Container stringPairs(const QJsonObject &object)
{
    Container pairs;
    for (auto it = object.begin(); it != object.end(); ++it)
        pairs.insert(it.key(), it.value().toString());
    return pairs;
}

} // namespace

QHash<Manager::Module, Utils::Settings::IModuleSettingsManager *> &Manager::modules()
{
    static QHash<Module, Utils::Settings::IModuleSettingsManager *> sections;
    return sections;
}

QString Manager::moduleName(Module module)
{
    switch (module) {
    case App:
        return QStringLiteral("App");
    case Asterisk:
        return QStringLiteral("Asterisk");
    case Bitrix:
        return QStringLiteral("Bitrix");
    case Database:
        return QStringLiteral("Database");
    case WebServer:
        return QStringLiteral("WebServer");
    }
    return QString();
}

void Manager::init()
{
    auto &sections = modules();
    if (sections.contains(App))
        return;
    sections.insert(App, new Modules::App);
    sections.insert(Asterisk, new Modules::Asterisk);
    sections.insert(Bitrix, new Modules::Bitrix);
    sections.insert(Database, new Modules::Database);
    sections.insert(WebServer, new Modules::WebServer);
    Utils::Settings::Manager::load();
}

QString Manager::loadError()
{
    return Utils::Settings::Manager::loadError();
}

QString Manager::filePath()
{
    return Utils::Settings::Manager::configFilePath();
}

void Manager::resetForTesting()
{
    qDeleteAll(modules());
    modules().clear();
}

QJsonObject Manager::moduleObject(Module module)
{
    const QString name = moduleName(module);
    if (name.isEmpty())
        return QJsonObject();
    return Utils::Settings::Manager::moduleToJson(name);
}

QJsonValue Manager::value(Module module, const QString &key)
{
    return moduleObject(module).value(key);
}

QString Manager::getString(Module module, const QString &key)
{
    const QJsonValue v = value(module, key);
    return v.isString() ? v.toString() : QString();
}

bool Manager::getBool(Module module, const QString &key)
{
    const QJsonValue v = value(module, key);
    return v.isBool() && v.toBool();
}

int Manager::getInt(Module module, const QString &key)
{
    const QJsonValue v = value(module, key);
    return v.isDouble() ? v.toInt() : 0;
}

QStringList Manager::getStringList(Module module, const QString &key)
{
    QStringList list;
    for (const QJsonValue &element : value(module, key).toArray())
        list.append(element.toString());
    return list;
}

QList<int> Manager::getIntList(Module module, const QString &key)
{
    QList<int> list;
    for (const QJsonValue &element : value(module, key).toArray())
        list.append(element.toInt());
    return list;
}

QHash<QString, QString> Manager::getStringHash(Module module, const QString &key)
{
    return stringPairs<QHash<QString, QString>>(value(module, key).toObject());
}

QMap<QString, QString> Manager::getStringMap(Module module, const QString &key)
{
    return stringPairs<QMap<QString, QString>>(value(module, key).toObject());
}

QJsonObject Manager::toJson()
{
    return Utils::Settings::Manager::toJson();
}

QMap<QString, QString> Manager::update(const QJsonObject &settings)
{
    return Utils::Settings::Manager::save(settings);
}

} // namespace Orvix::Config
