#include "utils/settingsmodule.h"

#include "utils/settingsmanager.h"

namespace Orvix::Utils::Settings {

IModuleSettingsManager::IModuleSettingsManager(const QString &name)
    : m_name(name)
{
    Manager::registerManager(this);
}

IModuleSettingsManager::~IModuleSettingsManager()
{
    Manager::unregisterManager(this);
}

} // namespace Orvix::Utils::Settings
