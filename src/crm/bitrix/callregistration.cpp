#include "crm/bitrix/callregistration.h"

#include "crm/bitrix/connector.h"
#include "crm/jsonid.h"

#include <QJsonDocument>
#include <QJsonValue>

namespace Orvix::CRM::Bitrix {

namespace {

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
    , m_createdLeadId(idFromJson(json.value(QLatin1String("CRM_CREATED_LEAD"))))
    , m_activityId(idFromJson(json.value(QLatin1String("CRM_ACTIVITY_ID"))))
    , m_entityId(idFromJson(json.value(QLatin1String("CRM_ENTITY_ID"))))
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
