#include "sqlquerypoll/connectionerror.h"

#include "utils/networkerrortext.h"

#include <QSqlError>
#include <QTcpSocket>

#include <chrono>

namespace Orvix::SqlQueryPoll {

namespace {
constexpr std::chrono::milliseconds kProbeTimeout{5000};
} // namespace

QString connectionErrorText(const QSqlError &error, const QString &host, int port)
{
    // MySQL client errors (errmsg.h) and server errors (mysqld_error.h).
    switch (error.nativeErrorCode().toInt()) {
    case 1045: // ER_ACCESS_DENIED_ERROR
        return QStringLiteral("the server refused the user or its password");
    case 2005: // CR_UNKNOWN_HOST
        return QStringLiteral("host not found");
    case 2006: // CR_SERVER_GONE_ERROR
    case 2013: // CR_SERVER_LOST
        return QStringLiteral("the connection was lost");
    case 2002: // CR_CONNECTION_ERROR
    case 2003: { // CR_CONN_HOST_ERROR
        if (host.isEmpty() || host == QLatin1String("localhost"))
            return QStringLiteral("the local server does not answer");
        const QString why = tcpConnectFailure(host, port, kProbeTimeout);
        return why.isEmpty() ? QStringLiteral("the server does not answer") : why;
    }
    default:
        break;
    }
    const QString text = error.databaseText().isEmpty() ? error.driverText() : error.databaseText();
    return text.isEmpty() ? error.text() : text;
}

QString tcpConnectFailure(const QString &host, int port, std::chrono::milliseconds timeout)
{
    QTcpSocket probe;
    probe.connectToHost(host, static_cast<quint16>(port));
    if (probe.waitForConnected(int(timeout.count())))
        return QString();
    return Utils::socketErrorText(probe.error());
}

} // namespace Orvix::SqlQueryPoll
