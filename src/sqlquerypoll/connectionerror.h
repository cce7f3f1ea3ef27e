#pragma once

#include <QString>

class QSqlError;

namespace Orvix::SqlQueryPoll {

// Why opening a connection to the database failed, in the words an administrator reads ("connection
// refused", "host not found", "the server refused the user or its password"); the server's own text
// for the rest ("Unknown database 'cdr'").
QString connectionErrorText(const QSqlError &error);

} // namespace Orvix::SqlQueryPoll
