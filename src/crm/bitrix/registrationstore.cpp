#include "crm/bitrix/registrationstore.h"

#include "utils/ownerfile.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Orvix::CRM::Bitrix {

namespace {

inline constexpr QLatin1String kRegistrations("registrations");
inline constexpr QLatin1String kKey("key");
inline constexpr QLatin1String kCall("call");
inline constexpr QLatin1String kEntityCreated("entity_created");
inline constexpr QLatin1String kDealId("DEAL_ID");
inline constexpr QLatin1String kUploads("uploads");
inline constexpr QLatin1String kConversation("conversation");
inline constexpr QLatin1String kOwedSince("owed_since");
inline constexpr QLatin1String kFinishing("finishing");
inline constexpr QLatin1String kCalls("calls");
inline constexpr QLatin1String kId("id");
inline constexpr QLatin1String kTransferred("transferred");
inline constexpr QLatin1String kAccepted("accepted");
inline constexpr QLatin1String kFinished("finished");
inline constexpr QLatin1String kBound("bound");
inline constexpr QLatin1String kSince("since");

QString crmTypeText(EntityType type)
{
    switch (type) {
    case EntityType::Lead:
        return QStringLiteral("LEAD");
    case EntityType::Contact:
        return QStringLiteral("CONTACT");
    case EntityType::Company:
        return QStringLiteral("COMPANY");
    case EntityType::Deal:
        return QStringLiteral("DEAL");
    default:
        return QString();
    }
}

// In the form of the CRM's register answer, so the registration reads back through its own constructor.
QJsonObject toCrmForm(const CallRegistration &registration)
{
    return QJsonObject{
        {QStringLiteral("CALL_ID"), registration.callId()},
        {QStringLiteral("CRM_CREATED_LEAD"), registration.isLeadCreated() ? registration.entityId() : 0},
        {QStringLiteral("CRM_ACTIVITY_ID"), registration.activityId()},
        {QStringLiteral("CRM_ENTITY_ID"), registration.entityId()},
        {QStringLiteral("CRM_ENTITY_TYPE"), crmTypeText(registration.entityType())},
        {kDealId, registration.dealId()},
    };
}

} // namespace

bool RegistrationStore::Entry::operator==(const Entry &other) const
{
    return callId == other.callId && entityCreated == other.entityCreated
        && registration.toJson() == other.registration.toJson() && finishing == other.finishing;
}

RegistrationStore::Entries RegistrationStore::load(Uploads *uploads, bool *stamped, Facts *facts) const
{
    Entries entries;
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || !file.exists())
        return entries;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("Cannot read the saved CRM registrations %1: %2")
                                    .arg(m_filePath, file.errorString());
        return entries;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject()) {
        qWarning().noquote() << QStringLiteral("The saved CRM registrations %1 are damaged and were ignored: %2")
                                    .arg(m_filePath, error.errorString());
        return entries;
    }
    const QJsonArray list = document.object().value(kRegistrations).toArray();
    for (const QJsonValue &value : list) {
        const QJsonObject object = value.toObject();
        const QString key = object.value(kKey).toString();
        Entry entry;
        entry.callId = object.value(kCall).toString();
        entry.registration = CallRegistration(object);
        entry.registration.setDealId(object.value(kDealId).toInt());
        entry.entityCreated = object.value(kEntityCreated).toBool();
        entry.finishing = Entities::Conversation(object.value(kFinishing).toObject());
        // Without its keys or its CRM call there is nothing a later stage could finish.
        if (key.isEmpty() || entry.callId.isEmpty() || entry.registration.callId().isEmpty())
            continue;
        entries.insert(key, entry);
    }
    for (const QJsonValue &value : document.object().value(kUploads).toArray()) {
        const QJsonObject object = value.toObject();
        Upload upload{CallRegistration(object), Entities::Conversation(object.value(kConversation).toObject()),
                      QDateTime::fromString(object.value(kOwedSince).toString(), Qt::ISODate)};
        if (!uploads || upload.finish.callId().isEmpty() || upload.conversation.callId().isEmpty())
            continue;
        // A file of an older version has no time for it: now, and written so, or the day it is tried for
        // would begin again at every start.
        if (stamped && !upload.owedSince.isValid()) {
            upload.owedSince = QDateTime::currentDateTimeUtc();
            *stamped = true;
        }
        uploads->insert(upload.finish.callId(), upload);
    }
    // A file of an older version has none: its calls are known by their registrations alone.
    for (const QJsonValue &value : document.object().value(kCalls).toArray()) {
        const QJsonObject object = value.toObject();
        const QString id = object.value(kId).toString();
        if (!facts || id.isEmpty())
            continue;
        CallRegistration bound(object.value(kBound).toObject());
        bound.setDealId(object.value(kBound).toObject().value(kDealId).toInt());
        facts->insert(id, {object.value(kTransferred).toBool(), object.value(kAccepted).toVariant().toStringList(),
                           object.value(kFinished).toVariant().toStringList(), object.value(kEntityCreated).toBool(),
                           bound, QDateTime::fromString(object.value(kSince).toString(), Qt::ISODate)});
    }
    return entries;
}

bool RegistrationStore::save(const Entries &entries, const Uploads &uploads, const Facts &facts) const
{
    if (m_filePath.isEmpty())
        return false;
    QJsonArray list;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it) {
        QJsonObject object = toCrmForm(it->registration);
        object.insert(kKey, it.key());
        object.insert(kCall, it->callId);
        object.insert(kEntityCreated, it->entityCreated);
        if (it->isFinishing())
            object.insert(kFinishing, it->finishing.toJson());
        list.append(object);
    }

    QJsonArray owed;
    for (const Upload &upload : uploads) {
        owed.append(QJsonObject{{QStringLiteral("CALL_ID"), upload.finish.callId()},
                                {QStringLiteral("CRM_ACTIVITY_ID"), upload.finish.activityId()},
                                {kConversation, upload.conversation.toJson()},
                                {kOwedSince, upload.owedSince.toUTC().toString(Qt::ISODate)}});
    }
    QJsonArray calls;
    for (auto it = facts.cbegin(); it != facts.cend(); ++it) {
        calls.append(QJsonObject{{kId, it.key()},
                                 {kTransferred, it->transferred},
                                 {kAccepted, QJsonArray::fromStringList(it->accepted)},
                                 {kFinished, QJsonArray::fromStringList(it->finished)},
                                 {kEntityCreated, it->entityCreated},
                                 {kBound, toCrmForm(it->bound)},
                                 {kSince, it->since.toUTC().toString(Qt::ISODate)}});
    }
    QString error;
    if (!Utils::saveOwnerOnlyFile(m_filePath,
                                  QJsonDocument(QJsonObject{{kRegistrations, list}, {kUploads, owed}, {kCalls, calls}})
                                      .toJson(QJsonDocument::Indented),
                                  &error)) {
        qWarning().noquote() << QStringLiteral("Cannot save the CRM registrations %1: %2").arg(m_filePath, error);
        return false;
    }
    return true;
}

} // namespace Orvix::CRM::Bitrix
