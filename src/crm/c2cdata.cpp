#include "crm/c2cdata.h"

#include <QJsonValue>

namespace Orvix {

void parseExternalCallStartEvent(C2CData &record, const QJsonObject &params)
{
    const QJsonObject data = params.value(QLatin1String("data")).toObject();

    // Form bodies decode to strings only, so a numeric USER_ID is not a value this event can carry.
    bool ok = false;
    const int userId = data.value(QLatin1String("USER_ID")).toString().toInt(&ok, 10);
    record.userId = ok ? userId : 0;
    record.phoneNumber = data.value(QLatin1String("PHONE_NUMBER")).toString();
    record.lineNumber = data.value(QLatin1String("LINE_NUMBER")).toString();

    QJsonObject eventData;
    for (const QLatin1String key :
         {QLatin1String("CALL_ID"), QLatin1String("CRM_ENTITY_ID"), QLatin1String("CRM_ENTITY_TYPE")})
        eventData.insert(key, data.value(key).toString());
    record.eventData = eventData;
}

} // namespace Orvix
