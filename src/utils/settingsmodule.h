#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvix::Utils::Settings {

class HelperObject;

// One section of the configuration file: holds its values as typed members with built-in defaults,
// reads them from the section's JSON object and writes them back. A section registers itself by name
// with Settings::Manager for its whole life; the registry does not own it.
class IModuleSettingsManager
{
public:
    explicit IModuleSettingsManager(const QString &name);
    virtual ~IModuleSettingsManager();

    IModuleSettingsManager(const IModuleSettingsManager &) = delete;
    IModuleSettingsManager &operator=(const IModuleSettingsManager &) = delete;

    QString name() const { return m_name; }

    virtual void load(const HelperObject &object) = 0;
    virtual QJsonObject toJson() const = 0;

private:
    QString m_name;
};

} // namespace Orvix::Utils::Settings
