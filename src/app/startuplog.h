#pragma once

#include <QtGlobal>

namespace Orvix {

// Keeps the messages written before the log file is known (while the configuration that names it is
// loaded): warnings and worse reach the standard error output at once, and every message the log file
// once the logger is set up, so an administrator reading the log also sees why the configuration was not taken.
// Main thread, once at start-up.
class StartupLog
{
public:
    StartupLog() = delete;

    // From here on messages are also kept.
    static void begin();
    // Hands every kept message to the message handler installed now (the logger's) and stops keeping.
    static void replay();
};

} // namespace Orvix
