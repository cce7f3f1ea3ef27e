#pragma once

#include "crm/entitytype.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Orvix::CRM {

// The CRM record a phone number belongs to (lead, deal, contact, company, user, task or a company of the
// company-lookup service). A plain value type, copied freely into promises, lists and call records.
class Entity
{
public:
    Entity() = default;
    Entity(EntityType type, int id, const QString &title, const QString &name, bool linkedLoaded);

    bool isValid() const;

    EntityType type() const { return m_type; }
    int id() const { return m_id; }
    QString title() const { return m_title; }
    QString name() const { return m_name; }
    QString address() const { return m_address; }
    void setAddress(const QString &address) { m_address = address; }
    bool linkedLoaded() const { return m_linkedLoaded; }

    int contactId() const { return m_contactId; }
    int companyId() const { return m_companyId; }
    int responsibleId() const { return m_responsibleId; }
    void setContactId(int id) { m_contactId = id; }
    void setCompanyId(int id) { m_companyId = id; }
    void setResponsibleId(int id) { m_responsibleId = id; }

    bool isClosed() const { return m_closed; }
    void setClosed(bool closed) { m_closed = closed; }

    QString statusSemanticId() const { return m_statusSemanticId; }
    // The CRM leaves the field out or empty for records without a status; an empty text never replaces one.
    void setStatusSemanticId(const QString &id);

    QJsonArray department() const { return m_department; }
    void setDepartment(const QJsonArray &department) { m_department = department; }

    QStringList phones() const { return m_phones; }
    void addPhone(const QString &phone);
    bool hasCommonPhone(const QSet<QString> &phones) const;
    QString shortestPhone() const;
    QString responsiblePhone() const;

    QJsonObject contact() const { return m_contact; }
    QJsonObject company() const { return m_company; }
    QJsonObject responsible() const { return m_responsible; }
    QJsonArray deals() const { return m_deals; }
    void setContact(const Entity &contact);
    void setCompany(const Entity &company);
    void setResponsible(const Entity &responsible);
    void addDeal(const Entity &deal);
    QJsonArray activeDeals() const;

    static QString typeToString(EntityType type);
    QString typeToString() const { return typeToString(m_type); }
    static EntityType stringToType(const QString &text);
    // The record parsers and the registration code know these two by these names.
    static EntityType typeFromString(const QString &text) { return stringToType(text); }
    QString toText() const { return toString(); }

    QJsonObject toJson() const;
    QString toString(int level = 0) const;

private:
    bool m_linkedLoaded = true;
    EntityType m_type = EntityType::Unknown;
    int m_id = 0;
    QString m_title;
    QString m_name;
    QString m_address;
    QStringList m_phones;
    int m_contactId = 0;
    int m_companyId = 0;
    int m_responsibleId = 0;
    bool m_closed = false;
    QJsonObject m_contact;
    QJsonObject m_company;
    QJsonObject m_responsible;
    QJsonArray m_deals;
    QJsonArray m_department;
    QString m_statusSemanticId;
};

} // namespace Orvix::CRM
