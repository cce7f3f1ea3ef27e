#pragma once

#include "crm/entity.h"
#include "crm/entitytype.h"
#include "utils/msgbuilder.h"
#include "utils/promise.h"

#include <QJsonObject>
#include <QString>

namespace Orvix::CRM::Bitrix {

class Connector;

// One call as the CRM knows it: the CRM's call id and the activity, entity and deal bound to it.
// Built from the answer of the register and finish methods or from a click-to-call event; a value type.
class CallRegistration
{
public:
    CallRegistration() = default;
    explicit CallRegistration(const QJsonObject &json);

    QString callId() const { return m_callId; }
    int activityId() const { return m_activityId; }
    int entityId() const { return m_entityId; }
    EntityType entityType() const { return m_entityType; }
    int dealId() const { return m_dealId; }
    void setDealId(int id) { m_dealId = id; }

    // The CRM bound the call to the very lead it created while registering it.
    bool isLeadCreated() const;

    // Compact JSON text for call-trace lines.
    QString toJson() const;

    // The lead, contact or company the call is bound to, as the CRM holds it now; any other binding
    // (a deal, nothing) resolves at once with an invalid entity, asking nothing.
    Utils::Promise<Entity> loadEntity(Connector &connector, bool withLinked, const Utils::MsgBuilder &msg) const;

private:
    QString m_callId;
    int m_createdLeadId = 0;
    int m_activityId = 0;
    int m_entityId = 0;
    int m_dealId = 0;
    EntityType m_entityType = EntityType::Unknown;
};

} // namespace Orvix::CRM::Bitrix
