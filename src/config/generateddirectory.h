#pragma once

#include <QString>

namespace Orvix::Config {

// Where the service keeps the files it writes for itself (state.json, token.json, the saved registrations):
// "generated" plus a postfix, beside the executable whatever the working directory, so that a service started
// from elsewhere finds what it saved. Reads the configuration; main thread.
class GeneratedDirectory
{
public:
    // With the App setting generated_postfix.
    static QString path();
    // An empty baseDirectory means the executable's directory.
    static QString path(const QString &postfix, const QString &baseDirectory = QString());
};

} // namespace Orvix::Config
