#pragma once

#include "configsetup/asteriskconfigreader.h"

#include <QJsonObject>
#include <QLatin1String>
#include <QString>

namespace Orvix::ConfigSetup {

// The files that describe the PBX, read in this order at start.
inline constexpr QLatin1String kCelOdbcFile("/etc/asterisk/cel_odbc.conf");
inline constexpr QLatin1String kResOdbcFile("/etc/asterisk/res_odbc.conf");
inline constexpr QLatin1String kOdbcIniFile("/etc/odbc.ini");
inline constexpr QLatin1String kManagerFile("/etc/asterisk/manager.conf");
inline constexpr QLatin1String kFeaturesFile("/etc/asterisk/features.conf");
inline constexpr QLatin1String kExtensionsFile("/etc/asterisk/extensions.conf");
inline constexpr QLatin1String kSipFile("/etc/asterisk/sip.conf");
inline constexpr QLatin1String kPjsipFile("/etc/asterisk/pjsip.conf");

// What the PBX's own files say about the service's Database and Asterisk settings: the CEL backend's
// connection (cel_odbc.conf -> res_odbc.conf -> odbc.ini) and the manager interface (manager.conf).
struct AsteriskSettings
{
    // {"Database": {...}, "Asterisk": {...}} with only the keys the files give, named as the settings.
    static QJsonObject propose(const AsteriskConfigReader::Sections &sections,
                               const AsteriskConfigReader::Sections &managerSections, const QString &managerUser);

    // The section of that name, or, failing that, one whose name differs only in case (unixODBC
    // compares DSN names that way).
    static AsteriskConfigReader::Section section(const AsteriskConfigReader::Sections &sections, const QString &name);

    // Whether Asterisk takes the name for the service's own manager user (Modules::kServiceManagerUser): the
    // only one whose secret is taken from its files. Another user's would show on the page and go to
    // whatever address is saved next.
    static bool isServiceUser(const QString &name);

    // True for the addresses of this host.
    static bool isLocalHost(const QString &host);
};

} // namespace Orvix::ConfigSetup
