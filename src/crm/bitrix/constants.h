#pragma once

#include <QLatin1String>
#include <QMap>
#include <QPair>
#include <QString>

namespace Orvix::CRM::Bitrix {

// Which registered CRM application the service authorises as; only one exists.
enum class ApplicationType : qint32 {
    Default = 0,
};

// OAuth client id and secret of each registered application.
const QMap<ApplicationType, QPair<QString, QString>> &applicationCredentials();

// The CRM vendor's OAuth token endpoint. Deployments and tests that need another one set the environment
// variable kTokenUrlVariable instead of a configuration key.
inline constexpr QLatin1String kDefaultTokenUrl("https://oauth.bitrix.info/oauth/token/");
inline constexpr const char kTokenUrlVariable[] = "CALVENA_OAUTH_TOKEN_URL";

inline constexpr QLatin1String kRestUrlTemplate("%1/rest/%2/");
inline constexpr QLatin1String kAuthorizeUrlTemplate("%1/oauth/authorize/");

// The REST method of a recording upload, which goes in a lane of its own.
inline constexpr QLatin1String kAttachRecord("telephony.externalcall.attachRecord");

inline constexpr QLatin1String kCodeRequestError("Authorization code request error [%1]:");
inline constexpr QLatin1String kTokenRequestError("Authorization token request error [%1]:");
inline constexpr QLatin1String kRefreshRequestError("Refresh token request error [%1]:");

} // namespace Orvix::CRM::Bitrix
