#include "crm/bitrix/callregistration.h"

#include "crm/bitrix/connector.h"

#include <QJsonDocument>
#include <QJsonValue>

#include <cmath>
#include <limits>

namespace Orvix::CRM::Bitrix {

namespace {

// The CRM sends ids as strings in some answers and as numbers in others; both mean the same id.
int readId(const QJsonValue &value)
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

EntityType readEntityType(const QString &text)
{
    // Case-sensitive on purpose: the CRM writes these in upper case.
    if (text == QLatin1String("LEAD"))
        return EntityType::Lead;
    if (text == QLatin1String("CONTACT"))
        return EntityType::Contact;
    if (text == QLatin1String("COMPANY"))
        return EntityType::Company;
    if (text == QLatin1String("DEAL"))
        return EntityType::Deal;
    return EntityType::Unknown;
}

} // namespace

CallRegistration::CallRegistration(const QJsonObject &json)
    : m_callId(json.value(QLatin1String("CALL_ID")).toString())
    , m_createdLeadId(readId(json.value(QLatin1String("CRM_CREATED_LEAD"))))
    , m_activityId(readId(json.value(QLatin1String("CRM_ACTIVITY_ID"))))
    , m_entityId(readId(json.value(QLatin1String("CRM_ENTITY_ID"))))
    , m_entityType(readEntityType(json.value(QLatin1String("CRM_ENTITY_TYPE")).toString(QStringLiteral("UNKNOWN"))))
{
}

bool CallRegistration::isLeadCreated() const
{
    return m_createdLeadId >= 1 && m_createdLeadId == m_entityId;
}

QString CallRegistration::toJson() const
{
    const QJsonObject json{
        {QStringLiteral("ID"), m_callId},
        {QStringLiteral("CREATED_LEAD_ID"), m_createdLeadId},
        {QStringLiteral("ACTIVITY_ID"), m_activityId},
        {QStringLiteral("ENTITY_ID"), m_entityId},
        {QStringLiteral("ENTITY_TYPE"), static_cast<qint32>(m_entityType)},
        {QStringLiteral("DEAL_ID"), m_dealId},
    };
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Compact));
}

Utils::Promise<Entity> CallRegistration::loadEntity(Connector &connector, bool withLinked,
                                                   const Utils::MsgBuilder &msg) const
{
    switch (m_entityType) {
    case EntityType::Contact:
        return connector.getContact(m_entityId, withLinked, msg);
    case EntityType::Company:
        return connector.getCompany(m_entityId, withLinked, msg);
    case EntityType::Lead:
        return connector.getLead(m_entityId, withLinked, msg);
    default: {
        Utils::Promise<Entity> none;
        none.resolve(Entity());
        return none;
    }
    }
}

} // namespace Orvix::CRM::Bitrix
