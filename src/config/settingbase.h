#pragma once

#include <QJsonValue>
#include <QString>

namespace Orvix::Utils::Settings {
class HelperObject;
}

namespace Orvix::Config {

class Section;

// One key of a configuration section; registers itself with its section, which owns it as a member.
class SettingBase
{
public:
    SettingBase(Section *section, const char *key);
    virtual ~SettingBase() = default;

    SettingBase(const SettingBase &) = delete;
    SettingBase &operator=(const SettingBase &) = delete;

    QString key() const { return m_key; }

    virtual void load(const Utils::Settings::HelperObject &object) = 0;
    virtual QJsonValue toJson() const = 0;

private:
    QString m_key;
};

} // namespace Orvix::Config
