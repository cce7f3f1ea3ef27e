#include "config/section.h"

#include "config/settingbase.h"

namespace Orvix::Config {

Section::Section(const QString &name)
    : Utils::Settings::IModuleSettingsManager(name)
{
}

void Section::load(const Utils::Settings::HelperObject &object)
{
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
