#include "config/section.h"

#include "config/settingbase.h"
#include "utils/settingshelperobject.h"

#include <algorithm>

namespace Orvix::Config {

Section::Section(const QString &name)
    : Utils::Settings::IModuleSettingsManager(name)
{
}

void Section::load(const Utils::Settings::HelperObject &object)
{
    // A misspelt key would otherwise be dropped while the caller is told it was saved.
    for (const QString &key : object.keys()) {
        const bool declared = std::any_of(m_settings.cbegin(), m_settings.cend(),
                                          [&key](const SettingBase *setting) { return setting->key() == key; });
        if (!declared)
            object.addError(object.fullKey(key), QStringLiteral("Unknown key"));
    }
    for (SettingBase *setting : qAsConst(m_settings))
        setting->load(object);
}

QJsonObject Section::toJson() const
{
    QJsonObject object;
    for (const SettingBase *setting : m_settings)
        object.insert(setting->key(), setting->toJson());
    return object;
}

void Section::addSetting(SettingBase *setting)
{
    m_settings.append(setting);
}

} // namespace Orvix::Config
