#pragma once

#include "utils/settingshelperbase.h"
#include "utils/settingsmodule.h"

#include <QVector>

namespace Orvix::Config {

class SettingBase;

// A configuration section whose keys are Setting members: reads and writes every key it declares.
class Section : public Utils::Settings::IModuleSettingsManager
{
public:
    void load(const Utils::Settings::HelperObject &object) override;
    QJsonObject toJson() const override;

protected:
    using AtStart = Utils::Settings::HelperBase::AtStart;

    explicit Section(const QString &name);

private:
    friend class SettingBase;
    void addSetting(SettingBase *setting);

    // members of the derived section, in declaration order
    QVector<SettingBase *> m_settings;
};

} // namespace Orvix::Config
