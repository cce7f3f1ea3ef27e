#pragma once

#include <QString>

class QSqlError;

namespace Orvix::SqlQueryPoll {

// Why opening a connection to the database at host:port failed, in the words an administrator reads
// ("connection refused", "host not found", "the server refused the user or its password"); the server's
// own text for the rest ("Unknown database 'cdr'"). May try a connection of its own: blocks for up to 5 s.
QString connectionErrorText(const QSqlError &error, const QString &host, int port);

} // namespace Orvix::SqlQueryPoll
