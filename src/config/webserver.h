#pragma once

#include "config/section.h"
#include "config/setting.h"
#include "config/validators.h"

namespace Orvix::Config::Modules {

// The password a fresh configuration carries. Everyone can read it here, so the web server never
// accepts it: the service replaces it with a random one at start.
inline constexpr QLatin1String kBuiltInWebPassword("quillbem");

// A save refuses a shorter web password: the pages hand out the CRM's and the PBX's secrets. The start
// takes one from an older file, with a warning, so that nobody is locked out by an upgrade.
inline constexpr int kMinWebPasswordLength = 12;

// Whether a password may guard the protected routes at all: neither empty nor the built-in one.
inline bool isUsableWebPassword(const QString &password)
{
    return !password.isEmpty() && password != kBuiltInWebPassword;
}

// The built-in HTTP server, the addresses it is reached at, and its login.
class WebServer : public Section
{
public:
    WebServer()
        : Section(QStringLiteral("WebServer"))
    {
    }

private:
    // A host name an older build listened on is resolved once by the start (main).
    Setting<QString> m_listenHost{this, "listen_host", QStringLiteral("0.0.0.0"), Validators::listenAddress,
                                  AtStart::Accept};
    Setting<int> m_listenPort{this, "listen_port", 8077, Validators::port};
    Setting<int> m_listenPortSecure{this, "listen_port_secure", 8078, Validators::port};
    Setting<QString> m_addressExt{this, "address_ext", QString()};
    Setting<QString> m_addressInt{this, "address_int", QString()};
    // Kept in the file although nothing reads it.
    Setting<int> m_socketsPort{this, "sockets_port", 8089, Validators::port};
    Setting<QString> m_user{this, "user", QStringLiteral("admin"), Validators::webUser, AtStart::Correct};
    // The start replaces an unusable one by a random password of its own, and warns of a short one.
    Setting<QString> m_password{this, "password", QString(kBuiltInWebPassword), Validators::webPassword,
                                AtStart::Accept};
    Setting<bool> m_useHttp{this, "use_http", true};
};

} // namespace Orvix::Config::Modules
