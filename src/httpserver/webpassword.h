#pragma once

#include <QString>

namespace Orvix::HttpServer::WebPassword {

// The login of the protected routes is only as good as its password: an empty one or the built-in one
// (which every copy of the service ships with) is never accepted. Main thread only.

// Whether the WebServer section holds a password that may guard the protected routes.
bool isSet();
// Whether a password a client offers may be accepted at all.
bool isAcceptable(const QString &password);
// The configuration file an administrator edits, as an absolute path.
QString configFile();
// The answer of a protected route while no password is set.
QString unsetError();

// Run once at start: an empty or built-in password is replaced by a random one saved into the
// configuration file, and the log says where to find it. When the file cannot be written (missing, or
// without write permission, which is respected also for root) nothing changes and false is returned:
// the protected routes then answer 403 until the password is set.
bool ensure();

} // namespace Orvix::HttpServer::WebPassword
