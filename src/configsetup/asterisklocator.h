#pragma once

#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

#include <chrono>

namespace Orvix::ConfigSetup {

// Looks for Asterisk on this host and proposes settings from it: its version ("asterisk -V"), the
// Database and Asterisk settings its files give, the call pickup code (features.conf), the dial-plan
// context its phones use (sip.conf, pjsip.conf, extensions.conf) and whether CEL logging is on (asked
// of the running PBX's console). Each program runs with the time-out given. Main thread.
class AsteriskLocator
{
public:
    // The programs run as children of `parent`.
    static Utils::Promise<QJsonObject> locate(QObject *parent, const QString &rootDirectory, const QString &managerUser,
                                              std::chrono::milliseconds timeout);

    // Parts that read only files.
    static QString pickupCode(const QString &rootDirectory);
    static QString phoneContext(const QString &rootDirectory);
    // true/false from the output of "cel show status"; undefined when it says neither.
    static QJsonValue celEnabled(const QString &consoleOutput);
};

} // namespace Orvix::ConfigSetup
