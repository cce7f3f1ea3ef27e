#pragma once

#include "support/mariadbsettings.h"

#include <QStringList>
#include <QVariant>

namespace Orvix::Tests {

// The MariaDB server that CTest starts once for every test marked with the fixture "mariadb"
// (FIXTURES_REQUIRED mariadb) and stops after the last of them. Tests that run in parallel share it, so each test
// works in a database of its own (createDatabase). A test that stops a server uses a MariaDbServer instead.
class MariaDbFixture
{
public:
    // The shared server; invalid (with error set) when no fixture is running, which the test must treat as a failure.
    static MariaDbSettings settings();

    // Creates (afresh: an existing one is dropped) the database `name` on the shared server and returns settings
    // that point at it.
    static MariaDbSettings createDatabase(const QString &name);

    // Runs the statements in order on a short-lived connection of this thread; stops at the first failure.
    static bool execute(const MariaDbSettings &settings, const QStringList &statements, QString *error = nullptr);

    // The first column of the first row of `sql`, on a short-lived connection of this thread; invalid, with the
    // reason in *error, when the connection or the query fails or there is no row.
    static QVariant queryValue(const MariaDbSettings &settings, const QString &sql, QString *error = nullptr);

    // The bash script behind the fixture and the folder of the shared server.
    static QString scriptPath();
    static QString sharedDirectory();
};

} // namespace Orvix::Tests
