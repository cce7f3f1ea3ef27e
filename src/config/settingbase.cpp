#include "config/settingbase.h"

#include "config/section.h"

namespace Orvix::Config {

SettingBase::SettingBase(Section *section, const char *key)
    : m_key(QString::fromLatin1(key))
{
    section->addSetting(this);
}

} // namespace Orvix::Config
