#pragma once

#include <QString>

#include <chrono>

class QSqlError;

namespace Orvix::SqlQueryPoll {

// Why opening a connection to the database at host:port failed, in the words an administrator reads
// ("connection refused", "host not found", "the server refused the user or its password"); the server's
// own text for the rest ("Unknown database 'cdr'"). May try a connection of its own: blocks for up to 5 s.
QString connectionErrorText(const QSqlError &error, const QString &host, int port);
// Why a TCP connection to host:port cannot be made within the timeout, in words; empty when it can. The
// database client says only that it could not connect, with the system error of its own non-blocking
// connect (EINPROGRESS also when refused): the network is asked instead. Blocks for up to the timeout.
QString tcpConnectFailure(const QString &host, int port, std::chrono::milliseconds timeout);

} // namespace Orvix::SqlQueryPoll
