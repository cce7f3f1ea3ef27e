#include "actionresult.h"

namespace Orvix::WebSocketServer {

QJsonObject ActionResult::Error::toJson() const
{
    QJsonObject object{{QStringLiteral("message"), message}};
    if (code != 0)
        object.insert(QStringLiteral("code"), code);
    return object;
}

} // namespace Orvix::WebSocketServer
