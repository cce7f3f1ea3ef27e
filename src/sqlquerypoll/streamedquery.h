#pragma once

#include <QString>

class QSqlDatabase;

namespace Orvix::SqlQueryPoll {

class Response;

// Runs one statement on a MySQL connection and reads its rows from the server one at a time, up to a number of
// rows and of bytes of their compact JSON, leaving the rest: Qt's driver would first take the whole result into memory, however large.
// The values come as the driver gives them to a QSqlQuery. Worker thread of the connection.
class StreamedQuery
{
public:
    enum class Outcome { Done, Failed, Unsupported };

    // Done or Failed with the response set; nativeError: the server's or client library's error number on
    // failure. Unsupported when db is no open MySQL connection: nothing was sent.
    static Outcome run(QSqlDatabase &db, const QString &sql, int maxRows, qint64 maxBytes, Response *response,
                       QString *nativeError);
    // The server's id of this open MySQL connection (what KILL names); 0 for any other.
    static quint64 connectionId(QSqlDatabase &db);
};

} // namespace Orvix::SqlQueryPoll
