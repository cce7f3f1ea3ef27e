#pragma once

#include <QString>

namespace Orvix::Utils {

// The canonical form of `path` when it exists and lies below the existing directory `root` once both
// are resolved (links and ".."); empty otherwise, and always for an empty root or path or one holding
// a NUL.
QString confinedPath(const QString &root, const QString &path);

} // namespace Orvix::Utils
