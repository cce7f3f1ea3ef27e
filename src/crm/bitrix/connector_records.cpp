// The Connector's pure helpers: CRM records, phone numbers and batch commands, and the customization
// requests that let the customizer change what is about to be sent.

#include "crm/bitrix/connector.h"

#include "httpclient/urlquery.h"

#include <QDebug>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QPointer>
#include <QSet>

#include <algorithm>

namespace Orvix::CRM::Bitrix {

namespace {

using Utils::MsgBuilder;

// Identifiers come as decimal strings; anything else is no identifier.
int readId(const QJsonObject &json, QLatin1String key)
{
    bool ok = false;
    const int id = json.value(key).toString(QStringLiteral("0")).toInt(&ok, 10);
    return ok ? id : 0;
}

QString readText(const QJsonObject &json, QLatin1String key)
{
    return json.value(key).toString();
}

QString readName(const QJsonObject &json)
{
    return QStringLiteral("%1 %2 %3")
        .arg(readText(json, QLatin1String("NAME")), readText(json, QLatin1String("SECOND_NAME")),
             readText(json, QLatin1String("LAST_NAME")))
        .trimmed();
}

void addPhones(Entity &entity, const QJsonObject &json)
{
    const QJsonArray items = json.value(QLatin1String("PHONE")).toArray();
    for (const QJsonValue &item : items) {
        const QJsonObject phone = item.toObject();
        if (phone.value(QLatin1String("TYPE_ID")).toString() == QLatin1String("PHONE"))
            entity.addPhone(phone.value(QLatin1String("VALUE")).toString());
    }
}

void addLinks(Entity &entity, const QJsonObject &json)
{
    entity.setContactId(readId(json, QLatin1String("CONTACT_ID")));
    entity.setCompanyId(readId(json, QLatin1String("COMPANY_ID")));
    entity.setResponsibleId(readId(json, QLatin1String("ASSIGNED_BY_ID")));
}

QString compactJson(const QJsonObject &object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

bool longer(const QString &a, const QString &b)
{
    return a.size() > b.size();
}

Entity Connector::parseLead(const QJsonObject &json, bool linkedLoaded)
{
    if (json.isEmpty())
        return Entity();
    Entity lead(EntityType::Lead, readId(json, QLatin1String("ID")), readText(json, QLatin1String("TITLE")),
                readName(json), linkedLoaded);
    addPhones(lead, json);
    addLinks(lead, json);
    lead.setStatusSemanticId(readText(json, QLatin1String("STATUS_SEMANTIC_ID")));
    return lead;
}

Entity Connector::parseDeal(const QJsonObject &json, bool linkedLoaded)
{
    if (json.isEmpty())
        return Entity();
    Entity deal(EntityType::Deal, readId(json, QLatin1String("ID")), readText(json, QLatin1String("TITLE")),
                QString(), linkedLoaded);
    deal.setClosed(json.value(QLatin1String("CLOSED")) == QJsonValue(QStringLiteral("Y")));
    return deal;
}

Entity Connector::parseContact(const QJsonObject &json, bool linkedLoaded)
{
    if (json.isEmpty())
        return Entity();
    Entity contact(EntityType::Contact, readId(json, QLatin1String("ID")), readText(json, QLatin1String("TITLE")),
                   readName(json), linkedLoaded);
    addPhones(contact, json);
    addLinks(contact, json);
    return contact;
}

Entity Connector::parseCompany(const QJsonObject &json, bool linkedLoaded)
{
    if (json.isEmpty())
        return Entity();
    Entity company(EntityType::Company, readId(json, QLatin1String("ID")), readText(json, QLatin1String("TITLE")),
                   QString(), linkedLoaded);
    addPhones(company, json);
    addLinks(company, json);
    return company;
}

Entity Connector::parseUser(const QJsonObject &json, bool linkedLoaded)
{
    if (json.isEmpty())
        return Entity();
    Entity user(EntityType::User, readId(json, QLatin1String("ID")), QString(), readName(json), linkedLoaded);
    // The internal extension first: call cards and responsible users are found by it.
    for (const char *key : {"UF_PHONE_INNER", "PERSONAL_MOBILE", "WORK_PHONE", "PERSONAL_PHONE"})
        user.addPhone(readText(json, QLatin1String(key)));
    user.setDepartment(json.value(QLatin1String("UF_DEPARTMENT")).toArray());
    return user;
}

Entity Connector::parseEntity(EntityType type, const QJsonObject &json, bool linkedLoaded)
{
    switch (type) {
    case EntityType::Lead:
        return parseLead(json, linkedLoaded);
    case EntityType::Deal:
        return parseDeal(json, linkedLoaded);
    case EntityType::Contact:
        return parseContact(json, linkedLoaded);
    case EntityType::Company:
        return parseCompany(json, linkedLoaded);
    case EntityType::User:
        return parseUser(json, linkedLoaded);
    default:
        return Entity();
    }
}

bool Connector::isRegistrableEntityType(EntityType type)
{
    return type == EntityType::Lead || type == EntityType::Contact || type == EntityType::Company;
}

void Connector::addEntityToRegistrationParams(QJsonObject &params, const Entity &entity, const MsgBuilder &msg) const
{
    params.insert(QStringLiteral("CRM_ENTITY_ID"), entity.id());
    params.insert(QStringLiteral("USER_ID"), entity.responsibleId() != 0 ? entity.responsibleId() : m_defaultUserId);
    params.insert(QStringLiteral("CRM_CREATE"), 1);
    switch (entity.type()) {
    case EntityType::Contact:
        params.insert(QStringLiteral("CRM_ENTITY_TYPE"), QStringLiteral("CONTACT"));
        break;
    case EntityType::Company:
        params.insert(QStringLiteral("CRM_ENTITY_TYPE"), QStringLiteral("COMPANY"));
        break;
    case EntityType::Lead:
        params.insert(QStringLiteral("CRM_ENTITY_TYPE"), QStringLiteral("LEAD"));
        break;
    default:
        qInfo().noquote() << msg.build(MsgBuilder::Warning,
                                       QStringLiteral("An unusual entity [%1] was found for the number [%2]")
                                           .arg(entity.toText(),
                                                params.value(QLatin1String("PHONE_NUMBER")).toVariant().toString()));
        break;
    }
}

void Connector::setPhonePrefixes(const QStringList &prefixes)
{
    m_phonePrefixes = prefixes;
    std::sort(m_phonePrefixes.begin(), m_phonePrefixes.end(), longer);
}

QString Connector::phoneWithoutPrefixes(const QString &phone) const
{
    const QString trimmed = phone.trimmed();
    if (trimmed.isEmpty()) {
        qWarning().noquote() << MsgBuilder().build(MsgBuilder::Error,
                                                   QStringLiteral("Failed to get phone without prefixes: Phone is empty."));
        return QString();
    }
    for (const QString &prefix : m_phonePrefixes) {
        if (trimmed.startsWith(prefix))
            return trimmed.mid(prefix.size());
    }
    return trimmed;
}

QStringList Connector::phoneVariants(const QString &phone) const
{
    const QString trimmed = phone.trimmed();
    if (trimmed.isEmpty())
        return QStringList();
    // Internal extensions are searched as they are.
    if (trimmed.size() <= 4)
        return QStringList{trimmed};
    const QString bare = phoneWithoutPrefixes(trimmed);
    QStringList variants{bare};
    for (const QString &prefix : m_phonePrefixes)
        variants.append(prefix + bare);
    return variants;
}

QString Connector::stripLeadingZeros(const QString &phone)
{
    int zeros = 0;
    while (zeros < phone.size() && phone.at(zeros) == QLatin1Char('0'))
        ++zeros;
    return phone.mid(zeros);
}

QJsonObject Connector::makeDuplicateSearchParams(const QStringList &phones)
{
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("PHONE")},
                       {QStringLiteral("values"), QJsonArray::fromStringList(phones)}};
}

QString Connector::makeBatchCommand(const QString &method, const QJsonObject &params)
{
    return method + QLatin1Char('?') + QString::fromUtf8(Utils::jsonToUrlQuery(params));
}

Entity Connector::findEntityWithPhones(const QStringList &phones, const QList<Entity> &entities)
{
    const QSet<QString> wanted(phones.cbegin(), phones.cend());
    for (const Entity &entity : entities) {
        if (entity.isValid() && entity.hasCommonPhone(wanted))
            return entity;
    }
    return Entity();
}

QJsonObject Connector::makeUserPhoneFilter(const QStringList &phones, int mode)
{
    if (mode == 1)
        return QJsonObject{{QStringLiteral("UF_PHONE_INNER"), phones.value(0)}};
    if (mode == 2) {
        const QJsonArray list = QJsonArray::fromStringList(phones);
        return QJsonObject{{QStringLiteral("0"),
                            QJsonObject{{QStringLiteral("0"), QJsonObject{{QStringLiteral("PERSONAL_MOBILE"), list}}},
                                        {QStringLiteral("1"), QJsonObject{{QStringLiteral("WORK_PHONE"), list}}},
                                        {QStringLiteral("2"), QJsonObject{{QStringLiteral("PERSONAL_PHONE"), list}}},
                                        {QStringLiteral("LOGIC"), QStringLiteral("OR")}}}};
    }
    return QJsonObject();
}

QJsonObject Connector::makeUserListParams(const QJsonObject &filter)
{
    QJsonObject active = filter;
    active.insert(QStringLiteral("ACTIVE"), QStringLiteral("Y"));
    return QJsonObject{
        {QStringLiteral("sort"), QStringLiteral("ID")},
        {QStringLiteral("order"), QStringLiteral("ASC")},
        {QStringLiteral("fields"),
         QJsonArray{"ID", "UF_PHONE_INNER", "PERSONAL_MOBILE", "WORK_PHONE", "PERSONAL_PHONE", "NAME", "SECOND_NAME",
                    "LAST_NAME"}},
        {QStringLiteral("filter"), active},
    };
}

Utils::Promise<QString> Connector::customizePhone(const QString &phone, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::PhoneCustomization);
    Utils::Promise<QString> result;
    // Nobody to answer (a connector used without the call flow, as by the checks): nothing to change.
    if (!isSignalConnected(QMetaMethod::fromSignal(&Connector::phoneCustomizationRequest))) {
        result.resolve(phone);
        return result;
    }
    Utils::Promise<QString, QString> request;
    request
        .onResolve([trace, result](const QString &customized) {
            qDebug().noquote() << trace.build(MsgBuilder::Ok,
                                              QStringLiteral("Result of phone customization: [%1]").arg(customized));
            result.resolve(customized);
        })
        .onReject([trace, result, phone](const QString &error) {
            qDebug().noquote() << trace.build(MsgBuilder::Error,
                                              QStringLiteral("Failed to customise phone: [%1]").arg(error));
            result.resolve(phone);
        });
    Q_EMIT phoneCustomizationRequest(phone, request);
    return result;
}

Utils::Promise<QJsonObject> Connector::customizeSearchParams(const QJsonObject &params, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::SearchParamsCustomization);
    return customizeObject(params, trace, &Connector::searchParamsCustomizationRequest, QString(),
                           QStringLiteral("Failed to customize search params: [%1]"), false);
}

Utils::Promise<QJsonObject> Connector::customizeFinalParams(const QJsonObject &params, const MsgBuilder &msg)
{
    MsgBuilder trace = msg;
    trace.setChildTask(MsgBuilder::FinalParamsCustomization);
    return customizeObject(params, trace, &Connector::finalParamsCustomizationRequest, QString(),
                           QStringLiteral("Failed to customize final params: [%1]"), false);
}

Utils::Promise<QJsonObject> Connector::customizeEntityCreationFields(const QJsonObject &fields, const MsgBuilder &msg)
{
    return customizeObject(fields, msg, &Connector::createEntityCustomizationRequest,
                           QStringLiteral("Entity params customization result:"),
                           QStringLiteral("Failed to customize entity creation params: [%1]"), true);
}

Utils::Promise<QJsonObject> Connector::customizeTaskFields(const QJsonObject &fields, const MsgBuilder &msg)
{
    return customizeObject(fields, msg, &Connector::taskAddCustomizationRequest,
                           QStringLiteral("Task params customization result:"),
                           QStringLiteral("Failed to customize task creation params: [%1]"), false);
}

Utils::Promise<QJsonObject> Connector::customizeObject(
    const QJsonObject &value, const MsgBuilder &msg,
    void (Connector::*signal)(const QJsonObject &, Utils::Promise<QJsonObject, QString>), const QString &okPrefix,
    const QString &failureFormat, bool dropType)
{
    Utils::Promise<QJsonObject> result;
    if (!isSignalConnected(QMetaMethod::fromSignal(signal))) {
        QJsonObject unchanged = value;
        if (dropType)
            unchanged.remove(QLatin1String("type"));
        result.resolve(unchanged);
        return result;
    }
    Utils::Promise<QJsonObject, QString> request;
    request
        .onResolve([msg, result, okPrefix, dropType](QJsonObject customized) {
            // "type" only told the customizer what kind of record the fields are for.
            if (dropType)
                customized.remove(QLatin1String("type"));
            qDebug().noquote() << msg.build(MsgBuilder::Ok, okPrefix + compactJson(customized));
            result.resolve(customized);
        })
        .onReject([msg, result, value, failureFormat](const QString &error) {
            qDebug().noquote() << msg.build(MsgBuilder::Error, failureFormat.arg(error));
            result.resolve(value);
        });
    Q_EMIT(this->*signal)(value, request);
    return result;
}

} // namespace Orvix::CRM::Bitrix
