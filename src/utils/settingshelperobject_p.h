#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace Orvix::Utils::Settings {

// State of one application of settings, shared by the root reader and every reader derived from it.
class HelperPrivate
{
public:
    QMap<QString, QString> errors;
    // false during the checking pass, true during the assigning pass
    bool applyMode = false;
    bool lenient = false;
    QStringList corrections;
};

} // namespace Orvix::Utils::Settings
