#pragma once

#include "config/settingbase.h"
#include "utils/settingshelperobject.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <type_traits>

namespace Orvix::Config {

// A typed key with its default: text (QString), integer (int), boolean (bool), list of texts
// (QStringList), list of integers (QList<int>) or text map (QHash<QString, QString>).
template<typename T>
class Setting : public SettingBase
{
    static_assert(std::is_same_v<T, QString> || std::is_same_v<T, int> || std::is_same_v<T, bool>
                      || std::is_same_v<T, QStringList> || std::is_same_v<T, QList<int>>
                      || std::is_same_v<T, QHash<QString, QString>>,
                  "no reader for this type");

public:
    // A validator refuses a value by setting an error text, and may rewrite it (to what a refused value
    // was meant as, or to the one form of an accepted one); a list or map is judged whole. atStart: what
    // the start makes of a value in the file that it refuses (a save refuses it in any case).
    using Validator = Utils::Settings::HelperBase::Validator<T>;
    using AtStart = Utils::Settings::HelperBase::AtStart;

    Setting(Section *section, const char *key, T defaultValue, Validator validator = {},
            AtStart atStart = AtStart::Refuse)
        : SettingBase(section, key)
        , m_value(std::move(defaultValue))
        , m_validator(std::move(validator))
        , m_atStart(atStart)
    {
    }

    const T &value() const { return m_value; }

    void load(const Utils::Settings::HelperObject &object) override
    {
        if constexpr (std::is_same_v<T, QStringList>)
            object.loadList<QString>(m_value, key(), {}, m_atStart); // no list of texts has a rule yet
        else if constexpr (std::is_same_v<T, QList<int>>)
            object.loadList<int>(m_value, key(), m_validator, m_atStart);
        else if constexpr (std::is_same_v<T, QHash<QString, QString>>)
            object.loadMap<QString>(m_value, key(), m_validator, m_atStart);
        else
            object.load<T>(m_value, key(), m_validator, m_atStart);
    }

    QJsonValue toJson() const override { return Utils::Settings::toJsonValue(m_value); }

private:
    T m_value;
    Validator m_validator;
    AtStart m_atStart;
};

} // namespace Orvix::Config
