#pragma once

#include <QJsonObject>
#include <QString>

namespace Orvix {

// The values of one CRM click-to-call event. The event receivers derive from it, so each carries the
// record of the last event it read.
class C2CData
{
public:
    int userId = 0;
    QString phoneNumber;
    QString lineNumber;
    QJsonObject eventData;
};

// Fills every member of the record from the event object (values under "data", all read as strings).
void parseExternalCallStartEvent(C2CData &record, const QJsonObject &params);

} // namespace Orvix
