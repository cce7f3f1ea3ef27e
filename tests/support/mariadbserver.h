#pragma once

#include "support/mariadbsettings.h"

#include <QString>

namespace Orvix::Tests {

// A MariaDB server of one test's own, for tests that take the server away (outages) without disturbing the
// shared fixture. It lives in a fresh folder below the build tree, keeps its port across halt() and start(), and is
// stopped and removed by the destructor; should the test program die first, the script's watchdog removes it.
class MariaDbServer
{
public:
    MariaDbServer();
    ~MariaDbServer();

    MariaDbServer(const MariaDbServer &) = delete;
    MariaDbServer &operator=(const MariaDbServer &) = delete;

    // The first start creates the datadir, the database and the user; later ones restart on the same port.
    bool start();
    // Stops the server and keeps its data.
    bool halt();
    bool isRunning() const { return m_running; }

    MariaDbSettings settings() const { return m_settings; }
    QString errorString() const { return m_error; }
    // What the script printed for the last start, halt or stop.
    QString scriptOutput() const { return m_output; }

private:
    bool runScript(const QString &action);

    QString m_directory;
    MariaDbSettings m_settings;
    QString m_error;
    QString m_output;
    bool m_running = false;
};

} // namespace Orvix::Tests
