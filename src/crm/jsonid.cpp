#include "crm/jsonid.h"

#include <QJsonValue>
#include <QString>

#include <cmath>
#include <limits>

namespace Orvix::CRM {

int idFromJson(const QJsonValue &value)
{
    if (value.isString()) {
        bool ok = false;
        const int id = value.toString().toInt(&ok, 10);
        return ok ? id : 0;
    }
    if (!value.isDouble())
        return 0;
    const double number = value.toDouble();
    if (std::trunc(number) != number || number < std::numeric_limits<int>::min()
        || number > std::numeric_limits<int>::max())
        return 0;
    return static_cast<int>(number);
}

} // namespace Orvix::CRM
