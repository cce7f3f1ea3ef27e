#pragma once

#include "config/section.h"
#include "config/setting.h"
#include "config/validators.h"

namespace Orvix::Config::Modules {

// The manager user the service adds to a local Asterisk for itself: the one whose secret it may take from
// Asterisk's files.
inline constexpr QLatin1String kServiceManagerUser("calv");

// The PBX's manager interface and the parameters of calls it is asked to originate.
class Asterisk : public Section
{
public:
    Asterisk()
        : Section(QStringLiteral("Asterisk"))
    {
    }

private:
    Setting<QString> m_host{this, "host", QStringLiteral("127.0.0.1")};
    Setting<int> m_port{this, "port", 5038, Validators::port};
    // Written into manager.conf when the service adds its manager user there. A name Asterisk cannot read
    // whole stops the start: the default in its place could add a user to manager.conf no one chose.
    Setting<QString> m_user{this, "user", QString(kServiceManagerUser), Validators::pbxName, AtStart::CorrectOrRefuse};
    Setting<QString> m_password{this, "password", QString(), Validators::pbxSecret};
    Setting<QString> m_pickupCode{this, "pickup_code", QStringLiteral("*8")};
    Setting<QString> m_recordingsDir{this, "recordings_dir", QString()};
    Setting<bool> m_recordingsDirSubdirsByDate{this, "recordings_dir_subdirs_by_date", false};
    // #TO# and #FROM# are filled in per call.
    Setting<QHash<QString, QString>> m_originate{this,
                                                 "originate",
                                                 {{QStringLiteral("caller_id"), QStringLiteral("Звонок на #TO# <#TO#>")},
                                                  {QStringLiteral("channel"), QStringLiteral("SIP/#FROM#")},
                                                  {QStringLiteral("context"), QStringLiteral("from-internal")},
                                                  {QStringLiteral("extension"), QStringLiteral("#TO#")},
                                                  {QStringLiteral("priority"), QStringLiteral("1")}}};
    Setting<QHash<QString, QString>> m_callback{this, "callback", {}};
};

} // namespace Orvix::Config::Modules
