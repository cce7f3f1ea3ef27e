#pragma once

#include <QString>

#include <functional>

namespace Orvix::Utils::Settings {

// Base of the settings readers: the types a section uses to pass validators along with its members.
class HelperBase
{
public:
    // Keeps T out of template argument deduction, so that a validator written as a lambda takes the
    // member's type instead of conflicting with it.
    template<typename T>
    struct NonDeduced
    {
        using Type = T;
    };

    // May change the converted value and may set an error text; an empty validator accepts everything.
    template<typename T>
    using Validator = std::function<void(typename NonDeduced<T>::Type &value, QString &error)>;
};

} // namespace Orvix::Utils::Settings
