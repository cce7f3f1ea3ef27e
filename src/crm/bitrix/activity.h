#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace Orvix::CRM::Bitrix {

// Copy of one CRM activity as "crm.activity.list" returns it. A value type.
class Activity
{
public:
    Activity() = default;
    explicit Activity(const QJsonObject &json);

    int id() const { return m_id; }
    QDateTime startTime() const { return m_startTime; }
    QDateTime endTime() const { return m_endTime; }
    QString subject() const { return m_subject; }
    QString description() const { return m_description; }
    bool isCompleted() const { return m_completed; }
    int ownerId() const { return m_ownerId; }
    int responsibleId() const { return m_responsibleId; }
    int ownerTypeId() const { return m_ownerTypeId; }
    int directionId() const { return m_directionId; }
    QString phone() const { return m_phone; }
    int phoneOwnerId() const { return m_phoneOwnerId; }
    int phoneOwnerTypeId() const { return m_phoneOwnerTypeId; }

private:
    int m_id = 0;
    QDateTime m_startTime;
    QDateTime m_endTime;
    QString m_subject;
    QString m_description;
    bool m_completed = false;
    int m_ownerId = 0;
    int m_responsibleId = 0;
    int m_ownerTypeId = 0;
    int m_directionId = 0;
    QString m_phone;
    int m_phoneOwnerId = 0;
    int m_phoneOwnerTypeId = 0;
};

} // namespace Orvix::CRM::Bitrix
