// The Connector's lookups: who a phone number belongs to, records by id with their linked records, and
// the users found by phone, remembered for a while.

#include "crm/bitrix/connector.h"

#include "crm/jsonid.h"
#include "entities/clock.h"

#include <QDebug>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;
using Utils::Promise;

const auto kGet = HttpClient::Request::Get;
const auto kPost = HttpClient::Request::Post;

inline constexpr QLatin1String kBatch("batch");

// Deals linked to a record: %1 the upper-case type name, %2 the id.
const QString kDealsCommand = QStringLiteral(
    "crm.deal.list?&order[ID]=ASC&filter[%1_ID]=%2&filter[ACTIVE]=Y&select[]=ID&select[]=TITLE&select[]=LEAD_ID"
    "&select[]=CONTACT_ID&select[]=COMPANY_ID&select[]=ASSIGNED_BY_ID&select[]=CLOSED&select[]=DATE_MODIFY");
const QString kRecordCommand = QStringLiteral("crm.%1.list?&filter[ID]=%2&filter[ACTIVE]=Y");
const QString kUserCommand = QStringLiteral("user.get?&filter[ID]=%1&filter[ACTIVE]=Y");

QJsonArray listSelect()
{
    return QJsonArray{"ID",         "TITLE",      "NAME",       "SECOND_NAME",    "LAST_NAME",
                      "PHONE",      "LEAD_ID",    "CONTACT_ID", "COMPANY_ID",     "ASSIGNED_BY_ID"};
}

// The member of object named like key, compared without regard to case.
QJsonValue memberIgnoringCase(const QJsonObject &object, const QString &key)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key().compare(key, Qt::CaseInsensitive) == 0)
            return it.value();
    }
    return QJsonValue(QJsonValue::Undefined);
}

bool isListed(const QJsonObject &foundIds, const QString &type, int id)
{
    const QJsonArray ids = memberIgnoringCase(foundIds, type).toArray();
    for (const QJsonValue &value : ids) {
        if (idFromJson(value) == id)
            return true;
    }
    return false;
}

QJsonObject firstRecord(const QJsonValue &value)
{
    return value.isArray() ? value.toArray().at(0).toObject() : value.toObject();
}

QList<Entity> parseAll(EntityType type, const QJsonArray &records)
{
    QList<Entity> entities;
    for (const QJsonValue &record : records)
        entities.append(Connector::parseEntity(type, record.toObject(), true));
    return entities;
}

// A search's outcome for callers that need not tell a failed search from one that found nothing.
Promise<Entity> foundOrNot(const Promise<Entity, bool> &search)
{
    Promise<Entity> result;
    search.onResolve([result](const Entity &entity) { result.resolve(entity); })
        .onReject([result](bool) { result.reject(); });
    return result;
}

} // namespace

Promise<Entity> Connector::findEntityByPhone(const QStringList &phones, const QJsonObject &customFilters,
                                             const MsgBuilder &msg)
{
    return foundOrNot(searchByPhone(phones, customFilters, msg));
}

Promise<Entity, bool> Connector::searchByPhone(const QStringList &phones, const QJsonObject &customFilters,
                                               const MsgBuilder &msg)
{
    Promise<Entity, bool> result;
    if (phones.isEmpty()) {
        result.reject(false);
        return result;
    }
    const QJsonObject batch{
        {QStringLiteral("cmd[1_user_by_internal]"),
         makeBatchCommand(QStringLiteral("user.get"), makeUserListParams(makeUserPhoneFilter(phones, 1)))},
        {QStringLiteral("cmd[2_user_by_external]"),
         makeBatchCommand(QStringLiteral("user.get"), makeUserListParams(makeUserPhoneFilter(phones, 2)))},
        {QStringLiteral("cmd[3_entity]"),
         makeBatchCommand(QStringLiteral("crm.duplicate.findbycomm"), makeDuplicateSearchParams(phones))},
    };
    const QPointer<Connector> self(this);
    run(kBatch, batch, kPost, msg)
        .onResolve([self, phones, customFilters, msg, result](const QJsonValue &value) {
            // A command that failed inside the batch is absent from the answer: it found nothing.
            const QJsonObject answer = value.toObject();
            for (const char *users : {"1_user_by_internal", "2_user_by_external"}) {
                const Entity user = findEntityWithPhones(
                    phones, parseAll(EntityType::User, answer.value(QLatin1String(users)).toArray()));
                if (user.isValid())
                    return result.resolve(user);
            }
            const QJsonObject found = answer.value(QLatin1String("3_entity")).toObject();
            if (found.isEmpty() || !self)
                return result.reject(false);
            self->listEntities(found, customFilters, msg)
                .onResolve([result](const Entity &entity) { result.resolve(entity); })
                .onReject([result](bool failed) { result.reject(failed); });
        })
        .onReject([result]() { result.reject(true); });
    return result;
}

Promise<Entity> Connector::findEntityByPhone(const QString &phone, const QJsonObject &customFilters,
                                             const MsgBuilder &msg)
{
    return findEntityByPhone(phoneVariants(phone), customFilters, msg);
}

Promise<Entity> Connector::findUserByPhone(const QStringList &phones)
{
    Promise<Entity> result;
    findEntityByPhone(phones, QJsonObject(), MsgBuilder())
        .onResolve([result](const Entity &entity) {
            if (entity.isValid() && entity.type() == EntityType::User)
                result.resolve(entity);
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<Entity> Connector::findUserByPhone(const QString &phone, const MsgBuilder &msg)
{
    return foundOrNot(searchUser(phone, msg));
}

Promise<Entity, bool> Connector::searchUser(const QString &phone, const MsgBuilder &msg)
{
    Promise<Entity, bool> result;
    const QPointer<Connector> self(this);
    customizePhone(stripLeadingZeros(phone), msg)
        .onResolve([self, phone, msg, result](const QString &customized) {
            if (!self)
                return result.reject(true);
            self->searchByPhone(self->phoneVariants(customized), QJsonObject(), msg)
                .onResolve([self, phone, result](const Entity &entity) {
                    if (!entity.isValid() || entity.type() != EntityType::User)
                        return result.reject(false);
                    if (self)
                        self->storeUser(phone, entity);
                    result.resolve(entity);
                })
                .onReject([result](bool failed) { result.reject(failed); });
        })
        .onReject([msg, result]() {
            qCritical().noquote() << msg.build(MsgBuilder::Error, QStringLiteral("Customizer behave in unexpected way"));
            result.reject(true);
        });
    return result;
}

Promise<Entity> Connector::findUserByPhoneCached(const QString &phone, const MsgBuilder &msg)
{
    return foundOrNot(searchUserCached(phone, msg));
}

Promise<Entity, bool> Connector::searchUserCached(const QString &phone, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::UserSearch);
    dropExpiredUsers(Entities::Clock::now());
    const auto cached = m_userCache.constFind(phone);
    if (m_cacheStorageTimeMin != 0 && cached != m_userCache.constEnd()) {
        const Entity &user = cached->second;
        qDebug().noquote() << trace.build(MsgBuilder::Ok, QStringLiteral("Take user#%1 from cache. Phones: (%2)")
                                                               .arg(phone, user.phones().join(QLatin1Char(','))));
        Promise<Entity, bool> result;
        result.resolve(user);
        return result;
    }
    return searchUser(phone, trace);
}

void Connector::storeUser(const QString &phone, const Entity &user)
{
    const QDateTime now = Entities::Clock::now();
    dropExpiredUsers(now);
    if (m_cacheStorageTimeMin == 0)
        return;
    m_userCache.insert(phone, qMakePair(now.addSecs(qint64(m_cacheStorageTimeMin) * 60), user));
}

void Connector::dropExpiredUsers(const QDateTime &now)
{
    // Phones come from HTTP clients too: without this the cache would grow for the life of the service.
    for (auto it = m_userCache.begin(); it != m_userCache.end();) {
        if (!it->first.isValid() || it->first <= now)
            it = m_userCache.erase(it);
        else
            ++it;
    }
}

Promise<Entity, bool> Connector::listEntities(const QJsonObject &foundIds, const QJsonObject &customFilters,
                                              const MsgBuilder &msg)
{
    Promise<Entity, bool> result;
    QJsonObject batch;
    int number = 0;
    for (const char *name : {"contact", "company", "lead"}) {
        const QString type = QString::fromLatin1(name);
        QJsonObject filter;
        if (customFilters.contains(type)) {
            filter = customFilters.value(type).toObject();
        } else {
            const QJsonValue ids = memberIgnoringCase(foundIds, type);
            if (ids.isUndefined())
                continue;
            filter.insert(QStringLiteral("ID"), ids);
            // Only leads still in progress.
            if (type == QLatin1String("lead"))
                filter.insert(QStringLiteral("STATUS_SEMANTIC_ID"), QStringLiteral("P"));
        }
        const QJsonObject params{{QStringLiteral("filter"), filter},
                                 {QStringLiteral("select"), listSelect()},
                                 {QStringLiteral("order"), QJsonObject{{QStringLiteral("ID"), QStringLiteral("DESC")}}}};
        batch.insert(QStringLiteral("cmd[%1_%2]").arg(number).arg(type),
                     makeBatchCommand(QStringLiteral("crm.%1.list").arg(type), params));
        ++number;
    }
    if (batch.isEmpty()) {
        result.reject(false);
        return result;
    }

    run(kBatch, batch, kPost, msg)
        .onResolve([foundIds, customFilters, result](const QJsonValue &value) {
            const QJsonObject answer = value.toObject();
            Entity found;
            // Sorted keys are the command order: a contact before a company before a lead.
            for (auto it = answer.begin(); it != answer.end(); ++it) {
                if (!it.value().isArray() && !it.value().isObject())
                    continue;
                if (it.value().isArray() && it.value().toArray().isEmpty())
                    continue;
                const QString type = it.key().mid(it.key().indexOf(QLatin1Char('_')) + 1);
                found = parseEntity(Entity::typeFromString(type), firstRecord(it.value()), true);
                if (found.isValid() && (customFilters.contains(type) || isListed(foundIds, type, found.id())))
                    break;
            }
            if (found.isValid())
                result.resolve(found);
            else
                result.reject(false);
        })
        .onReject([result]() { result.reject(true); });
    return result;
}

Promise<Entity> Connector::getUser(int id)
{
    Promise<Entity> result;
    const QJsonObject filter{{QStringLiteral("ID"), QString::number(id)}};
    run(QStringLiteral("user.get"), makeUserListParams(filter), kGet, MsgBuilder())
        .onResolve([result](const QJsonValue &value) {
            const Entity user = parseUser(value.toArray().at(0).toObject(), true);
            if (user.isValid() && user.type() == EntityType::User)
                result.resolve(user);
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<QList<Entity>> Connector::findEntities(EntityType type, QJsonObject filter, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::EntityList);
    filter.insert(QStringLiteral("ACTIVE"), QStringLiteral("Y"));
    QJsonArray select = listSelect();
    select.append(QStringLiteral("DATE_MODIFY"));
    const QJsonObject params{{QStringLiteral("order"), QJsonObject{{QStringLiteral("ID"), QStringLiteral("ASC")}}},
                             {QStringLiteral("filter"), filter},
                             {QStringLiteral("select"), select}};
    return runAndConvert<QList<Entity>>(
        QStringLiteral("crm.%1.list").arg(Entity::typeToString(type)), params, kGet, trace,
        [type](const QJsonValue &value) { return parseAll(type, value.toArray()); });
}

Promise<Entity> Connector::getEntity(EntityType type, int id, bool withLinked, const MsgBuilder &msg)
{
    Promise<Entity> result;
    const QPointer<Connector> self(this);
    findEntities(type, QJsonObject{{QStringLiteral("ID"), QString::number(id)}}, msg)
        .onResolve([self, withLinked, result](const QList<Entity> &entities) {
            const Entity entity = entities.value(0);
            if (!entity.isValid())
                return result.reject();
            if (!withLinked || !self)
                return result.resolve(entity);
            // Without its linked records the entity is still what was asked for.
            self->loadEntityConnectedEntities(entity)
                .onResolve([result](const Entity &completed) { result.resolve(completed); })
                .onReject([entity, result]() { result.resolve(entity); });
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<Entity> Connector::getLead(int id, bool withLinked, const MsgBuilder &msg)
{
    return getEntity(EntityType::Lead, id, withLinked, msg);
}

Promise<Entity> Connector::getContact(int id, bool withLinked, const MsgBuilder &msg)
{
    return getEntity(EntityType::Contact, id, withLinked, msg);
}

Promise<Entity> Connector::getCompany(int id, bool withLinked, const MsgBuilder &msg)
{
    return getEntity(EntityType::Company, id, withLinked, msg);
}

Promise<Entity> Connector::loadEntityConnectedEntities(const Entity &entity)
{
    Promise<Entity> result;
    if (!entity.isValid()) {
        result.reject();
        return result;
    }
    QJsonObject batch{{QStringLiteral("cmd[deals]"),
                       kDealsCommand.arg(entity.typeToString().toUpper()).arg(entity.id())}};
    if (entity.contactId() > 0) {
        batch.insert(QStringLiteral("cmd[contact]"), kRecordCommand.arg(QStringLiteral("contact")).arg(entity.contactId()));
        batch.insert(QStringLiteral("cmd[contact_deals]"), kDealsCommand.arg(QStringLiteral("CONTACT")).arg(entity.contactId()));
    }
    if (entity.companyId() > 0) {
        batch.insert(QStringLiteral("cmd[company]"), kRecordCommand.arg(QStringLiteral("company")).arg(entity.companyId()));
        batch.insert(QStringLiteral("cmd[company_deals]"), kDealsCommand.arg(QStringLiteral("COMPANY")).arg(entity.companyId()));
    }
    if (entity.responsibleId() > 0)
        batch.insert(QStringLiteral("cmd[responsible]"), kUserCommand.arg(entity.responsibleId()));

    run(kBatch, batch, kGet, MsgBuilder())
        .onResolve([entity, result](const QJsonValue &value) {
            const QJsonObject answer = value.toObject();
            Entity completed = entity;
            completed.setContact(parseContact(firstRecord(answer.value(QLatin1String("contact"))), false));
            completed.setCompany(parseCompany(firstRecord(answer.value(QLatin1String("company"))), false));
            completed.setResponsible(parseUser(firstRecord(answer.value(QLatin1String("responsible"))), false));
            // The record's own deals; else its company's; else its contact's.
            QJsonArray deals = answer.value(QLatin1String("deals")).toArray();
            if (deals.isEmpty())
                deals = answer.value(QLatin1String("company_deals")).toArray();
            if (deals.isEmpty())
                deals = answer.value(QLatin1String("contact_deals")).toArray();
            for (const QJsonValue &deal : deals)
                completed.addDeal(parseDeal(deal.toObject(), false));
            result.resolve(completed);
        })
        .onReject([result]() { result.reject(); });
    return result;
}

} // namespace Orvix::CRM::Bitrix
