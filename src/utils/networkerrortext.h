#pragma once

#include <QAbstractSocket>
#include <QNetworkReply>
#include <QString>

namespace Orvix::Utils {

// Why a connection failed, in the words an administrator reads in the log and on the check cards
// ("connection refused", "host not found", "timed out"), instead of the names of Qt's enums.
QString socketErrorText(QAbstractSocket::SocketError error);
QString networkErrorText(QNetworkReply::NetworkError error);

} // namespace Orvix::Utils
