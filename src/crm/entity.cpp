#include "crm/entity.h"

#include <QJsonValue>

namespace Orvix::CRM {

namespace {

// Earliest of the shortest: a later number replaces the candidate only when strictly shorter.
QString shortestOf(const QStringList &phones)
{
    if (phones.isEmpty())
        return QString();
    QString shortest = phones.first();
    for (const QString &phone : phones) {
        if (phone.size() < shortest.size())
            shortest = phone;
    }
    return shortest;
}

QJsonValue objectOrNull(const QJsonObject &object)
{
    return object.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(object);
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("Y") : QStringLiteral("N");
}

} // namespace

Entity::Entity(EntityType type, int id, const QString &title, const QString &name, bool linkedLoaded)
    : m_linkedLoaded(linkedLoaded)
    , m_type(type)
    , m_id(id < 0 ? 0 : id)
    , m_title(title)
    , m_name(name)
{
}

bool Entity::isValid() const
{
    if (m_type == EntityType::DoubleGisCompany)
        return true;
    if (static_cast<qint32>(m_type) < 1)
        return false;
    return m_id >= 1;
}

void Entity::setStatusSemanticId(const QString &id)
{
    if (!id.isEmpty())
        m_statusSemanticId = id;
}

void Entity::addPhone(const QString &phone)
{
    if (!phone.isEmpty())
        m_phones.append(phone);
}

bool Entity::hasCommonPhone(const QSet<QString> &phones) const
{
    for (const QString &phone : m_phones) {
        if (phones.contains(phone))
            return true;
    }
    return false;
}

QString Entity::shortestPhone() const
{
    return shortestOf(m_phones);
}

QString Entity::responsiblePhone() const
{
    QStringList phones;
    const QJsonArray array = m_responsible.value(QLatin1String("phones")).toArray();
    for (const QJsonValue &value : array)
        phones.append(value.toString());
    return shortestOf(phones);
}

void Entity::setContact(const Entity &contact)
{
    m_contact = contact.type() == EntityType::Contact ? contact.toJson() : QJsonObject();
}

void Entity::setCompany(const Entity &company)
{
    m_company = company.type() == EntityType::Company ? company.toJson() : QJsonObject();
}

void Entity::setResponsible(const Entity &responsible)
{
    m_responsible = responsible.type() == EntityType::User ? responsible.toJson() : QJsonObject();
}

void Entity::addDeal(const Entity &deal)
{
    if (deal.type() == EntityType::Deal)
        m_deals.append(deal.toJson());
}

QJsonArray Entity::activeDeals() const
{
    QJsonArray active;
    for (const QJsonValue &deal : m_deals) {
        // A deal that does not say whether it is closed counts as closed.
        if (!deal.toObject().value(QLatin1String("is_closed")).toBool(true))
            active.append(deal);
    }
    return active;
}

QString Entity::typeToString(EntityType type)
{
    switch (type) {
    case EntityType::Unknown:
        return QStringLiteral("unknown");
    case EntityType::Lead:
        return QStringLiteral("lead");
    case EntityType::Deal:
        return QStringLiteral("deal");
    case EntityType::Contact:
        return QStringLiteral("contact");
    case EntityType::Company:
        return QStringLiteral("company");
    case EntityType::Task:
        return QStringLiteral("task");
    case EntityType::User:
        return QStringLiteral("user");
    case EntityType::DoubleGisCompany:
        return QStringLiteral("2gis_company");
    }
    return QStringLiteral("unknown");
}

EntityType Entity::stringToType(const QString &text)
{
    if (text.compare(QLatin1String("lead"), Qt::CaseInsensitive) == 0)
        return EntityType::Lead;
    if (text.compare(QLatin1String("contact"), Qt::CaseInsensitive) == 0)
        return EntityType::Contact;
    if (text.compare(QLatin1String("company"), Qt::CaseInsensitive) == 0)
        return EntityType::Company;
    return EntityType::Unknown;
}

QJsonObject Entity::toJson() const
{
    QJsonObject json{
        {QStringLiteral("is_valid"), isValid()},
        {QStringLiteral("is_closed"), m_closed},
        {QStringLiteral("type"), typeToString()},
        {QStringLiteral("id"), m_id},
        {QStringLiteral("name"), m_name},
        {QStringLiteral("title"), m_title},
        {QStringLiteral("address"), m_address},
        {QStringLiteral("phones"), QJsonArray::fromStringList(m_phones)},
        {QStringLiteral("company_id"), m_companyId},
        {QStringLiteral("contact_id"), m_contactId},
        {QStringLiteral("responsible_id"), m_responsibleId},
        {QStringLiteral("department"), m_department},
    };
    if (m_linkedLoaded) {
        json.insert(QStringLiteral("company"), objectOrNull(m_company));
        json.insert(QStringLiteral("contact"), objectOrNull(m_contact));
        json.insert(QStringLiteral("responsible"), objectOrNull(m_responsible));
        json.insert(QStringLiteral("deals"), m_deals);
        json.insert(QStringLiteral("active_deals"), activeDeals());
    }
    return json;
}

QString Entity::toString(int level) const
{
    QStringList dealIds;
    for (const QJsonValue &deal : m_deals)
        dealIds.append(QString::number(deal.toObject().value(QLatin1String("id")).toInt()));

    const QList<QPair<QString, QString>> fields{
        {QStringLiteral("id"), QString::number(m_id)},
        {QStringLiteral("is_valid"), yesNo(isValid())},
        {QStringLiteral("is_closed"), yesNo(m_closed)},
        {QStringLiteral("type"), typeToString()},
        {QStringLiteral("name"), m_name},
        {QStringLiteral("title"), m_title},
        {QStringLiteral("address"), m_address},
        {QStringLiteral("phones"), m_phones.join(QStringLiteral(", "))},
        {QStringLiteral("company_id"), QString::number(m_companyId)},
        {QStringLiteral("contact_id"), QString::number(m_contactId)},
        {QStringLiteral("responsible_id"), QString::number(m_responsibleId)},
        {QStringLiteral("deal_ids"), dealIds.join(QStringLiteral(", "))},
    };

    const QString indent(level > 0 ? level : 0, QLatin1Char('\t'));
    QString text = QStringLiteral("\n");
    for (const auto &field : fields)
        text += QStringLiteral("%1\t|- %2: %3\n").arg(indent, field.first, field.second);
    return text;
}

} // namespace Orvix::CRM
