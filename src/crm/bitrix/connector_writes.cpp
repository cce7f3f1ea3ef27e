// The Connector's writes: new, changed and deleted records, activities and tasks; and the small reads of
// the portal's lists and of the locale dictionaries.

#include "crm/bitrix/connector.h"

#include "crm/jsonid.h"
#include "crm/bitrix/localeshandler.h"
#include "entities/clock.h"

#include <QDebug>
#include <QJsonDocument>
#include <QPointer>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;
using Utils::Promise;

const auto kGet = HttpClient::Request::Get;
const auto kPost = HttpClient::Request::Post;

constexpr qint64 kTaskDeadlineSecs = 3600;

QJsonObject withSonetEvent(QJsonObject params)
{
    // The CRM announces the change in its activity stream.
    params.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("REGISTER_SONET_EVENT"), QStringLiteral("Y")}});
    return params;
}

QString taskBinding(const Entity &entity)
{
    if (entity.id() == 0)
        return QString();
    switch (entity.type()) {
    case EntityType::Lead:
        return QStringLiteral("L_%1").arg(entity.id());
    case EntityType::Deal:
        return QStringLiteral("D_%1").arg(entity.id());
    case EntityType::Contact:
        return QStringLiteral("C_%1").arg(entity.id());
    case EntityType::Company:
        return QStringLiteral("CO_%1").arg(entity.id());
    default:
        qWarning().noquote() << "Unknown case";
        return QString();
    }
}

} // namespace

Promise<Entity> Connector::addEntity(EntityType type, const QJsonObject &fields, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::EntityAdd);
    return addAndReadBack(type, fields, trace);
}

Promise<Entity> Connector::addAndReadBack(EntityType type, const QJsonObject &fields, const MsgBuilder &msg)
{
    Promise<Entity> result;
    const QPointer<Connector> self(this);
    run(QStringLiteral("crm.%1.add").arg(Entity::typeToString(type)),
        withSonetEvent(QJsonObject{{QStringLiteral("fields"), fields}}), kPost, msg)
        .onResolve([self, type, msg, result](const QJsonValue &value) {
            const int id = idFromJson(value);
            if (id < 1 || !self)
                return result.reject();
            self->getEntity(type, id, false, msg).proxyTo(result);
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<Entity> Connector::addLeadEntity(const QJsonObject &fields, const MsgBuilder &msg)
{
    return addEntity(EntityType::Lead, fields, msg);
}

Promise<Entity> Connector::addDealEntity(const QJsonObject &fields, const MsgBuilder &msg)
{
    return addEntity(EntityType::Deal, fields, msg);
}

Promise<Entity> Connector::addContactEntity(const QJsonObject &fields, const MsgBuilder &msg)
{
    return addEntity(EntityType::Contact, fields, msg);
}

Promise<Entity> Connector::updateEntity(EntityType type, int id, const QJsonObject &fields, const MsgBuilder &msg)
{
    Promise<Entity> result;
    const QPointer<Connector> self(this);
    run(QStringLiteral("crm.%1.update").arg(Entity::typeToString(type)),
        withSonetEvent(QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("fields"), fields}}), kGet, msg)
        .onResolve([self, type, id, msg, result](const QJsonValue &value) {
            if (!value.isBool() || !value.toBool() || !self)
                return result.reject();
            self->getEntity(type, id, false, msg).proxyTo(result);
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<Entity> Connector::updateLead(int id, const QJsonObject &fields, const MsgBuilder &msg)
{
    return updateEntity(EntityType::Lead, id, fields, msg);
}

Promise<Entity> Connector::updateContact(int id, const QJsonObject &fields, const MsgBuilder &msg)
{
    return updateEntity(EntityType::Contact, id, fields, msg);
}

Promise<Entity> Connector::updateDeal(int id, const QJsonObject &fields, const MsgBuilder &msg)
{
    return updateEntity(EntityType::Deal, id, fields, msg);
}

void Connector::deleteEntity(EntityType type, int id, const MsgBuilder &msg)
{
    if (id <= 0)
        return;
    run(QStringLiteral("crm.%1.delete").arg(Entity::typeToString(type)), QJsonObject{{QStringLiteral("ID"), id}},
        kGet, msg)
        .onResolve([id, msg](const QJsonValue &) {
            qInfo().noquote() << msg.build(MsgBuilder::Ok, QStringLiteral("Entity [%1] was successfully deleted").arg(id));
        })
        .onReject([id, msg]() {
            qInfo().noquote() << msg.build(MsgBuilder::Error, QStringLiteral("Failed to delete entity [%1]").arg(id));
        });
}

void Connector::deleteLead(int id, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::LeadDelete);
    deleteEntity(EntityType::Lead, id, trace);
}

void Connector::deleteContact(int id, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::ContactDelete);
    deleteEntity(EntityType::Contact, id, trace);
}

void Connector::deleteDeal(int id, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::DealDelete);
    deleteEntity(EntityType::Deal, id, trace);
}

QString Connector::translate(const QString &key) const
{
    return m_localesHandler ? m_localesHandler->translate(key) : key;
}

QString Connector::creationTitle(Entities::CallType type, const QString &phone) const
{
    const QString title = translate(type == Entities::CallType::Incoming ? QStringLiteral("INCOMING_ENTITY_NAME")
                                                                          : QStringLiteral("OUTGOING_ENTITY_NAME"));
    return QString(title).replace(QLatin1String("%1"), phone);
}

Promise<QJsonObject> Connector::makeLeadCreationFields(const QString &phone, Entities::CallType type,
                                                       const QString &source, int responsibleId, const MsgBuilder &msg)
{
    const QJsonObject fields{
        {QStringLiteral("TITLE"), creationTitle(type, phone)},
        {QStringLiteral("COMMENTS"), translate(QStringLiteral("COMMENT"))},
        {QStringLiteral("PHONE"), QJsonArray{QJsonObject{{QStringLiteral("VALUE"), phone}}}},
        {QStringLiteral("SOURCE_ID"), source.isEmpty() ? QStringLiteral("CALL") : source},
        {QStringLiteral("ASSIGNED_BY_ID"), responsibleId},
        {QStringLiteral("OPENED"), QStringLiteral("Y")},
        {QStringLiteral("type"), QStringLiteral("lead")},
    };
    return customizeEntityCreationFields(fields, msg);
}

Promise<QJsonObject> Connector::makeContactCreationFields(const QString &phone, const QString &source,
                                                          int responsibleId, const MsgBuilder &msg)
{
    const QJsonObject fields{
        {QStringLiteral("NAME"), QStringLiteral("Contact %1").arg(phone)},
        {QStringLiteral("COMMENTS"), translate(QStringLiteral("COMMENT"))},
        {QStringLiteral("PHONE"), QJsonArray{QJsonObject{{QStringLiteral("VALUE"), phone}}}},
        {QStringLiteral("SOURCE_ID"), source.isEmpty() ? QStringLiteral("CALL") : source},
        {QStringLiteral("ASSIGNED_BY_ID"), responsibleId},
        {QStringLiteral("OPENED"), QStringLiteral("Y")},
        {QStringLiteral("type"), QStringLiteral("contact")},
    };
    return customizeEntityCreationFields(fields, msg);
}

Promise<QJsonObject> Connector::makeDealCreationFields(const QString &phone, Entities::CallType type,
                                                       const QString &source, int contactId, int responsibleId,
                                                       const MsgBuilder &msg)
{
    const QJsonObject fields{
        {QStringLiteral("TITLE"), creationTitle(type, phone)},
        {QStringLiteral("COMMENTS"), translate(QStringLiteral("COMMENT"))},
        {QStringLiteral("SOURCE_ID"), source.isEmpty() ? QStringLiteral("CALL") : source},
        {QStringLiteral("CONTACT_ID"), contactId},
        {QStringLiteral("ASSIGNED_BY_ID"), responsibleId},
        {QStringLiteral("OPENED"), QStringLiteral("Y")},
        {QStringLiteral("type"), QStringLiteral("deal")},
    };
    return customizeEntityCreationFields(fields, msg);
}

Promise<Entity> Connector::addEntityWhenReady(EntityType type, const Promise<QJsonObject> &fields,
                                              const MsgBuilder &msg)
{
    Promise<Entity> result;
    const QPointer<Connector> self(this);
    fields
        .onResolve([self, type, msg, result](const QJsonObject &ready) {
            if (!self)
                return result.reject();
            self->addEntity(type, ready, msg).proxyTo(result);
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<Entity> Connector::createLead(const QString &phone, Entities::CallType type, const QString &source,
                                      int responsibleId, const MsgBuilder &msg)
{
    return addEntityWhenReady(EntityType::Lead, makeLeadCreationFields(phone, type, source, responsibleId, msg), msg);
}

Promise<Entity> Connector::createContact(const QString &phone, const QString &source, int responsibleId,
                                         const MsgBuilder &msg)
{
    return addEntityWhenReady(EntityType::Contact, makeContactCreationFields(phone, source, responsibleId, msg), msg);
}

Promise<Entity> Connector::createDeal(const QString &phone, Entities::CallType type, const QString &source,
                                      int contactId, int responsibleId, const MsgBuilder &msg)
{
    return addEntityWhenReady(EntityType::Deal,
                              makeDealCreationFields(phone, type, source, contactId, responsibleId, msg), msg);
}

Promise<Activity> Connector::getActivity(int id, const MsgBuilder &msg)
{
    Promise<Activity> result;
    if (id < 1) {
        result.reject();
        return result;
    }
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::ActivityList);
    const QJsonObject params{{QStringLiteral("order"), QJsonObject{{QStringLiteral("ID"), QStringLiteral("ASC")}}},
                             {QStringLiteral("filter"), QJsonObject{{QStringLiteral("ID"), QString::number(id)}}},
                             {QStringLiteral("select"), QJsonArray{"*", "COMMUNICATIONS"}}};
    return runAndConvert<Activity>(QStringLiteral("crm.activity.list"), params, kGet, trace,
                                   [](const QJsonValue &value) { return Activity(value.toArray().at(0).toObject()); });
}

Promise<void> Connector::updateActivity(int id, const QJsonObject &fields, const MsgBuilder &msg)
{
    return runExpectingTrue(QStringLiteral("crm.activity.update"),
                            QJsonObject{{QStringLiteral("id"), id}, {QStringLiteral("fields"), fields}}, kPost, msg);
}

Promise<void> Connector::runExpectingTrue(const QString &method, const QJsonObject &params,
                                          HttpClient::Request::Method httpMethod, const MsgBuilder &msg,
                                          const SendGuard &guard)
{
    Promise<void> result;
    enqueue(method, params, httpMethod, msg, false, QString(), guard)
        .onResolve([result](const QJsonValue &value) {
            // Undefined: its guard skipped it.
            if (value.isUndefined() || (value.isBool() && value.toBool()))
                result.resolve();
            else
                result.reject();
        })
        .onReject([result](const RequestFailure &) { result.reject(); });
    return result;
}

void Connector::deleteActivity(int id, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::ActivityDelete);
    run(QStringLiteral("crm.activity.delete"), QJsonObject{{QStringLiteral("ID"), id}}, kGet, trace)
        .onResolve([id, trace](const QJsonValue &) {
            qInfo().noquote() << trace.build(MsgBuilder::Ok,
                                             QStringLiteral("Activity [%1] was successfully deleted").arg(id));
        })
        .onReject([id, trace]() {
            qInfo().noquote() << trace.build(MsgBuilder::Error, QStringLiteral("Failed to delete activity [%1]").arg(id));
        });
}

Promise<int> Connector::createActivity(const QJsonObject &fields)
{
    Promise<int> result;
    run(QStringLiteral("crm.activity.add"), QJsonObject{{QStringLiteral("fields"), fields}}, kPost, MsgBuilder())
        .onResolve([result](const QJsonValue &value) {
            const int id = idFromJson(value);
            if (id > 0)
                result.resolve(id);
            else
                result.reject();
        })
        .onReject([result]() { result.reject(); });
    return result;
}

Promise<QJsonObject> Connector::makeTaskCreationParams(const Entity &entity, const MsgBuilder &msg,
                                                       const QString &description)
{
    const int responsible = entity.responsibleId() != 0 ? entity.responsibleId() : m_defaultUserId;
    const QString deadline = Entities::Clock::now().toUTC().addSecs(kTaskDeadlineSecs).toString(Qt::ISODate);
    const QString label = entity.name().isEmpty() ? entity.title() : entity.name();
    QString title = translate(QStringLiteral("TASK_DESC"));
    if (!label.isEmpty())
        title += QStringLiteral(" \"%1\"").arg(label);
    QJsonObject task{{QStringLiteral("RESPONSIBLE_ID"), responsible},
                     {QStringLiteral("UF_CRM_TASK"), QJsonArray{taskBinding(entity)}},
                     {QStringLiteral("DEADLINE"), deadline},
                     {QStringLiteral("TITLE"), title}};
    if (!description.isEmpty())
        task.insert(QStringLiteral("DESCRIPTION"), description);
    return customizeTaskFields(QJsonObject{{QStringLiteral("arNewTaskData"), task}}, msg);
}

Promise<int> Connector::createCallBackTask(const QString &phone, const QDateTime &calledAt, const MsgBuilder &msg)
{
    QString label = phone;
    QString description = creationTitle(Entities::CallType::Incoming, phone);
    // A dictionary text without the number's place must not lose the number.
    if (!description.contains(phone))
        description += QLatin1Char(' ') + phone;
    if (calledAt.isValid()) {
        const QString when = calledAt.toString(QStringLiteral("yyyy-MM-dd hh:mm"));
        label += QStringLiteral(", ") + when;
        description += QStringLiteral(", ") + when;
    }
    return createTask(Entity(EntityType::Unknown, 0, label, QString(), false), msg, description);
}

Promise<int> Connector::createTask(const Entity &entity, const MsgBuilder &msg, const QString &description)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::EntityAdd);
    Promise<int> result;
    const QPointer<Connector> self(this);
    makeTaskCreationParams(entity, trace, description)
        .onResolve([self, trace, result](const QJsonObject &params) {
            if (!self)
                return result.reject();
            self->run(QStringLiteral("task.item.add"), params, kPost, trace)
                .onResolve([result](const QJsonValue &value) {
                    const int id = idFromJson(value);
                    if (id > 0)
                        result.resolve(id);
                    else
                        result.reject();
                })
                .onReject([result]() { result.reject(); });
        })
        .onReject([result]() {
            qDebug().noquote() << "Unexpected situation in createTask()";
            result.reject();
        });
    return result;
}

Promise<QJsonObject> Connector::currentUserProfile()
{
    return runAndConvert<QJsonObject>(QStringLiteral("profile"), QJsonObject(), kGet, MsgBuilder(),
                                      [](const QJsonValue &value) { return value.toObject(); });
}

Promise<QJsonObject> Connector::appInfo()
{
    return runAndConvert<QJsonObject>(QStringLiteral("app.info"), QJsonObject(), kGet, MsgBuilder(),
                                      [](const QJsonValue &value) { return value.toObject(); });
}

Promise<QJsonArray> Connector::getSourceList()
{
    return runAndConvert<QJsonArray>(QStringLiteral("crm.status.entity.items"),
                                     QJsonObject{{QStringLiteral("entityId"), QStringLiteral("SOURCE")}}, kGet,
                                     MsgBuilder(), [](const QJsonValue &value) { return value.toArray(); });
}

Promise<QJsonArray> Connector::getUserList(const QJsonObject &filter, const MsgBuilder &msg)
{
    return runAndConvert<QJsonArray>(QStringLiteral("user.get"), makeUserListParams(filter), kGet, msg,
                                     [](const QJsonValue &value) {
                                         const QJsonArray users = value.toArray();
                                         qDebug().noquote() << "user list:"
                                                            << QString::fromUtf8(QJsonDocument(users).toJson(
                                                                   QJsonDocument::Compact));
                                         return users;
                                     });
}

void Connector::getLocales(Promise<QJsonObject> promise)
{
    if (!m_localesHandler)
        return promise.reject();
    promise.resolve(m_localesHandler->getLocales());
}

void Connector::getLocale(const QString &name, Promise<QJsonObject> promise)
{
    if (!m_localesHandler)
        return promise.reject();
    const QJsonObject dictionary = m_localesHandler->getLocale(name);
    if (dictionary.contains(QLatin1String("error")))
        promise.reject();
    else
        promise.resolve(dictionary);
}

void Connector::saveLocale(const QString &name, const QJsonObject &dictionary, Promise<QString> promise)
{
    if (!m_localesHandler || !m_localesHandler->saveLocale(name, dictionary))
        return promise.reject();
    promise.resolve(m_localesHandler->currentName());
}

void Connector::deleteLocale(const QString &name, Promise<void> promise)
{
    if (m_localesHandler && m_localesHandler->deleteLocale(name))
        promise.resolve();
    else
        promise.reject();
}

} // namespace Orvix::CRM::Bitrix
