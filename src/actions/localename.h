#pragma once

#include <QString>

namespace Orvix::Actions {

class Reply;

// A dictionary name becomes a file name in the locales directory: only a bare name (letters, digits,
// '_', '-'), with or without ".json", so that no request reaches a file outside that directory.
// False after answering 400 "Malformed parameter: name" when the name is no such bare name.
bool requireLocaleName(const QString &name, Reply *reply);

} // namespace Orvix::Actions
