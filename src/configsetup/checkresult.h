#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvix::ConfigSetup {

// Status codes of the checks: 0 is fine, -1 not checked, a positive code names the failure.
inline constexpr int kNotChecked = -1;
inline constexpr int kCheckOk = 0;

enum class DbStatus : int {
    Ok = 0,
    DriverMissing = 1,
    ConnectionFailed = 2,
    AccessDenied = 3,
    UnknownDatabase = 4,
    CelTableMissing = 5,
    CdrTableMissing = 6,
    ColumnMissing = 7,
    IncompleteSettings = 8,
};

enum class AsteriskStatus : int {
    Ok = 0,
    ConnectionFailed = 1,
    AuthenticationFailed = 2,
    Timeout = 3,
    IncompleteSettings = 4,
};

enum class CrmStatus : int {
    Ok = 0,
    IncompleteSettings = 1,
    PortalUnreachable = 2,
    LoginRefused = 3,
    AuthorizationError = 4,
    RequestFailed = 5,
    Timeout = 6,
};

enum class NetworkStatus : int {
    Ok = 0,
    Unreachable = 1,
};

enum class LocateStatus : int {
    Ok = 0,
    NotInstalled = 1,
};

// {"status": code, "message": text}
QJsonObject checkResult(int status, const QString &message);
template <typename Status>
QJsonObject checkResult(Status status, const QString &message)
{
    return checkResult(static_cast<int>(status), message);
}
inline QJsonObject notChecked()
{
    return checkResult(kNotChecked, QStringLiteral("Not checked"));
}

} // namespace Orvix::ConfigSetup
