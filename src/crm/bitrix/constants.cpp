#include "crm/bitrix/constants.h"

namespace Orvix::CRM::Bitrix {

const QMap<ApplicationType, QPair<QString, QString>> &applicationCredentials()
{
    static const QMap<ApplicationType, QPair<QString, QString>> credentials{
        {ApplicationType::Default,
         {QStringLiteral("app.6b2e9a4c1d8f73.24681357"), QStringLiteral("a1b2c3d4e5f60718293a4b5c6d7e8f90")}},
    };
    return credentials;
}

} // namespace Orvix::CRM::Bitrix
