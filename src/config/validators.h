#pragma once

#include <QString>

namespace Orvix::Config::Validators {

// Refusals of values that would only fail later, at a listener, a timer or the logger. Each sets an
// error text when the value cannot be used; main thread.

// A TCP port: 1-65535.
void port(int &value, QString &error);
// A number of milliseconds or minutes: 0 or more.
void nonNegative(int &value, QString &error);
// One of the logger's levels: debug, info, warning, critical, fatal, in any letter case, or empty
// (fatal lines only).
void logLevel(QString &value, QString &error);
// The name of a dictionary in the "locales" directory beside the executable; where a program has no
// such directory (it starts no CRM link), only the form of the name is checked.
void locale(QString &value, QString &error);

} // namespace Orvix::Config::Validators
