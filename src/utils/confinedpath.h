#pragma once

#include <QString>

namespace Orvix::Utils {

// The canonical form of `path` when it lies below the directory `root` once links and ".." are
// resolved; empty otherwise, and always for an empty root or path or one holding a NUL. A root or path
// that does not exist (yet) is judged by its cleaned absolute form.
QString confinedPath(const QString &root, const QString &path);

} // namespace Orvix::Utils
