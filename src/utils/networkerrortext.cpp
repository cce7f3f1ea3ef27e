#include "utils/networkerrortext.h"

namespace Orvix::Utils {

QString socketErrorText(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QAbstractSocket::RemoteHostClosedError:
        return QStringLiteral("closed by the other side");
    case QAbstractSocket::HostNotFoundError:
        return QStringLiteral("host not found");
    case QAbstractSocket::SocketAccessError:
        return QStringLiteral("not permitted");
    case QAbstractSocket::SocketResourceError:
        return QStringLiteral("out of sockets or memory");
    case QAbstractSocket::SocketTimeoutError:
        return QStringLiteral("timed out");
    case QAbstractSocket::NetworkError:
        return QStringLiteral("network unreachable");
    case QAbstractSocket::SslHandshakeFailedError:
        return QStringLiteral("TLS handshake failed");
    case QAbstractSocket::ProxyConnectionRefusedError:
    case QAbstractSocket::ProxyConnectionClosedError:
    case QAbstractSocket::ProxyConnectionTimeoutError:
    case QAbstractSocket::ProxyNotFoundError:
    case QAbstractSocket::ProxyProtocolError:
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return QStringLiteral("the proxy failed");
    default:
        return QStringLiteral("socket error %1").arg(int(error));
    }
}

QString networkErrorText(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::NoError:
        return QString();
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("closed by the other side");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("no answer in time");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("TLS handshake failed");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
        return QStringLiteral("network unreachable");
    case QNetworkReply::ProtocolUnknownError:
        return QStringLiteral("the address names no known protocol");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("not an HTTP answer (a header past its limit, or broken)");
    case QNetworkReply::InsecureRedirectError:
        return QStringLiteral("redirected to another server than the one asked");
    default:
        if (error >= QNetworkReply::ProxyConnectionRefusedError && error < QNetworkReply::ContentAccessDenied)
            return QStringLiteral("the proxy failed");
        return QStringLiteral("network error %1").arg(int(error));
    }
}

} // namespace Orvix::Utils
