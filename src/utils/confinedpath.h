#pragma once

#include <QString>

namespace Orvix::Utils {

// The canonical form of `path` when it exists and lies below the existing directory `root` once both
// are resolved (links and ".."); empty otherwise, and always for an empty root or path or one holding
// a NUL.
QString confinedPath(const QString &root, const QString &path);

// Whether a secret a client sent is the expected one, compared without an early exit so that the time taken
// tells nothing about how much of it was right. Never true for an empty expected secret.
bool sameSecret(const QString &given, const QString &expected);

} // namespace Orvix::Utils
