#pragma once

#include <QString>

namespace Orvix::Utils {

// Whether a secret a client sent is the expected one, compared without an early exit so that the time taken
// tells nothing about how much of it was right. Never true for an empty expected secret.
bool sameSecret(const QString &given, const QString &expected);

} // namespace Orvix::Utils
