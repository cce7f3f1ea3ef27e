#pragma once

#include <QByteArray>
#include <QString>

namespace Orvix::Utils {

// Writes a file of the generated directory whole: aside, then renamed over the old one, so that a crash or a
// full disk leaves one or the other; readable by the service's user alone from its first byte, since these
// files hold customers' numbers and tokens. Makes the directory when it is missing. False with why in `error`.
bool saveOwnerOnlyFile(const QString &path, const QByteArray &bytes, QString *error);
// Appends to such a file, one that exists already (never to one made anew meanwhile without its first part), and
// syncs: on disk when it returns. False with why in `error`; then part of `bytes` may be there, cut short.
bool appendToOwnerFile(const QString &path, const QByteArray &bytes, QString *error);

} // namespace Orvix::Utils
