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

    // What reading the file at start makes of a value its validator refuses; a save refuses it whatever
    // this says, so that nothing new of the kind is written.
    enum class AtStart {
        Refuse,  // the start stops: the service cannot run with it
        Correct, // the validator's own reading of it when that passes, else the default; a warning names the key
        CorrectOrRefuse, // the validator's own reading of it when that passes, with a warning; else the start stops
        Accept,  // taken as it is: the start mends it itself
    };
};

} // namespace Orvix::Utils::Settings
