#include "crm/bitrix/activity.h"

#include <QJsonArray>
#include <QJsonValue>

namespace Orvix::CRM::Bitrix {

namespace {

// The CRM sends the numeric fields of an activity as strings; anything else is not trusted.
int readInt(const QJsonObject &json, QLatin1String key)
{
    const QJsonValue value = json.value(key);
    if (!value.isString())
        return 0;
    bool ok = false;
    const int number = value.toString().toInt(&ok, 10);
    return ok ? number : 0;
}

QDateTime readTime(const QJsonObject &json, QLatin1String key)
{
    return QDateTime::fromString(json.value(key).toString(), Qt::ISODate);
}

} // namespace

Activity::Activity(const QJsonObject &json)
    : m_id(readInt(json, QLatin1String("ID")))
    , m_startTime(readTime(json, QLatin1String("START_TIME")))
    , m_endTime(readTime(json, QLatin1String("END_TIME")))
    , m_subject(json.value(QLatin1String("SUBJECT")).toString())
    , m_description(json.value(QLatin1String("DESCRIPTION")).toString())
    , m_completed(json.value(QLatin1String("COMPLETED")).toString(QStringLiteral("N")) == QLatin1String("Y"))
    , m_ownerId(readInt(json, QLatin1String("OWNER_ID")))
    , m_responsibleId(readInt(json, QLatin1String("RESPONSIBLE_ID")))
    , m_ownerTypeId(readInt(json, QLatin1String("OWNER_TYPE_ID")))
    , m_directionId(readInt(json, QLatin1String("DIRECTION")))
{
    const QJsonArray communications = json.value(QLatin1String("COMMUNICATIONS")).toArray();
    if (communications.isEmpty())
        return;
    const QJsonObject first = communications.first().toObject();
    m_phone = first.value(QLatin1String("VALUE")).toString();
    m_phoneOwnerId = readInt(first, QLatin1String("ENTITY_ID"));
    m_phoneOwnerTypeId = readInt(first, QLatin1String("ENTITY_TYPE_ID"));
}

} // namespace Orvix::CRM::Bitrix
