#pragma once

#include <QSqlDatabase>
#include <QString>

namespace Orvix::Tests {

// Where a test finds a MariaDB server of the fixture, read from the env file that mariadb-fixture.sh writes.
struct MariaDbSettings
{
    QString host;
    int port = 0;
    QString database;
    QString user;
    QString password;
    QString socket;
    // Why the settings could not be read; empty when they are usable.
    QString error;

    bool isValid() const { return error.isEmpty() && port > 0; }

    // A connection of this thread named `name` to the server and its database (none when empty), not yet
    // opened. The caller drops every handle, then removes it with QSqlDatabase::removeDatabase(name).
    QSqlDatabase addConnection(const QString &name) const;

    static MariaDbSettings fromFile(const QString &path);
};

} // namespace Orvix::Tests
