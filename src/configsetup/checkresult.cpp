#include "configsetup/checkresult.h"

namespace Orvix::ConfigSetup {

QJsonObject checkResult(int status, const QString &message)
{
    return QJsonObject{{QStringLiteral("status"), status}, {QStringLiteral("message"), message}};
}

} // namespace Orvix::ConfigSetup
