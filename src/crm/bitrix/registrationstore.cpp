#include "crm/bitrix/registrationstore.h"

#include "utils/ownerfile.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>

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
inline constexpr QLatin1String kGone("gone");
// Below this many bytes of records, a file is not written whole again however small it is.
constexpr qint64 kMinAppendedBytes = 64 * 1024;

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

QJsonObject entryJson(const QString &key, const RegistrationStore::Entry &entry)
{
    QJsonObject object = toCrmForm(entry.registration);
    object.insert(kKey, key);
    object.insert(kCall, entry.callId);
    object.insert(kEntityCreated, entry.entityCreated);
    if (entry.isFinishing())
        object.insert(kFinishing, entry.finishing.toJson());
    return object;
}

QJsonObject uploadJson(const RegistrationStore::Upload &upload)
{
    return QJsonObject{{QStringLiteral("CALL_ID"), upload.finish.callId()},
                       {QStringLiteral("CRM_ACTIVITY_ID"), upload.finish.activityId()},
                       {kConversation, upload.conversation.toJson()},
                       {kOwedSince, upload.owedSince.toUTC().toString(Qt::ISODate)}};
}

QJsonObject factsJson(const QString &id, const RegistrationStore::CallFacts &facts)
{
    return QJsonObject{{kId, id},
                       {kTransferred, facts.transferred},
                       {kAccepted, QJsonArray::fromStringList(facts.accepted)},
                       {kFinished, QJsonArray::fromStringList(facts.finished)},
                       {kEntityCreated, facts.entityCreated},
                       {kBound, toCrmForm(facts.bound)},
                       {kSince, facts.since.toUTC().toString(Qt::ISODate)}};
}

// The tables as the file holds them: the whole, with each record of a change after it applied in turn.
struct Tables
{
    RegistrationStore::Entries entries;
    RegistrationStore::Uploads uploads;
    RegistrationStore::Facts facts;
};

void apply(const QJsonObject &record, Tables *tables)
{
    for (const QJsonValue &value : record.value(kRegistrations).toArray()) {
        const QJsonObject object = value.toObject();
        const QString key = object.value(kKey).toString();
        RegistrationStore::Entry entry;
        entry.callId = object.value(kCall).toString();
        entry.registration = CallRegistration(object);
        entry.registration.setDealId(object.value(kDealId).toInt());
        entry.entityCreated = object.value(kEntityCreated).toBool();
        entry.finishing = Entities::Conversation(object.value(kFinishing).toObject());
        // Without its keys or its CRM call there is nothing a later stage could finish.
        if (key.isEmpty() || entry.callId.isEmpty() || entry.registration.callId().isEmpty())
            continue;
        tables->entries.insert(key, entry);
    }
    for (const QJsonValue &value : record.value(kUploads).toArray()) {
        const QJsonObject object = value.toObject();
        RegistrationStore::Upload upload{CallRegistration(object),
                                         Entities::Conversation(object.value(kConversation).toObject()),
                                         QDateTime::fromString(object.value(kOwedSince).toString(), Qt::ISODate)};
        if (!upload.finish.callId().isEmpty() && !upload.conversation.callId().isEmpty())
            tables->uploads.insert(upload.finish.callId(), upload);
    }
    // A file of an older version has none: its calls are known by their registrations alone.
    for (const QJsonValue &value : record.value(kCalls).toArray()) {
        const QJsonObject object = value.toObject();
        const QString id = object.value(kId).toString();
        if (id.isEmpty())
            continue;
        CallRegistration bound(object.value(kBound).toObject());
        bound.setDealId(object.value(kBound).toObject().value(kDealId).toInt());
        tables->facts.insert(id, {object.value(kTransferred).toBool(), object.value(kAccepted).toVariant().toStringList(),
                                  object.value(kFinished).toVariant().toStringList(),
                                  object.value(kEntityCreated).toBool(), bound,
                                  QDateTime::fromString(object.value(kSince).toString(), Qt::ISODate)});
    }
    const QJsonObject gone = record.value(kGone).toObject();
    for (const QJsonValue &key : gone.value(kRegistrations).toArray())
        tables->entries.remove(key.toString());
    for (const QJsonValue &key : gone.value(kUploads).toArray())
        tables->uploads.remove(key.toString());
    for (const QJsonValue &key : gone.value(kCalls).toArray())
        tables->facts.remove(key.toString());
}

} // namespace

bool RegistrationStore::Entry::operator==(const Entry &other) const
{
    return callId == other.callId && entityCreated == other.entityCreated
        && registration.toJson() == other.registration.toJson() && finishing == other.finishing;
}

RegistrationStore::Entries RegistrationStore::load(Uploads *uploads, bool *stamped, Facts *facts)
{
    m_wholeDue = true;
    m_appendedBytes = 0;
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || !file.exists())
        return {};
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("Cannot read the saved CRM registrations %1: %2")
                                    .arg(m_filePath, file.errorString());
        return {};
    }
    const QByteArray bytes = file.readAll();
    Tables tables;
    // The whole on its first line and the records after it, or the whole alone, indented, as the last release
    // wrote it.
    const QList<QByteArray> lines = bytes.split('\n');
    QJsonParseError error;
    const QJsonDocument first = QJsonDocument::fromJson(lines.first(), &error);
    if (!first.isObject()) {
        const QJsonDocument whole = QJsonDocument::fromJson(bytes, &error);
        if (!whole.isObject()) {
            qWarning().noquote() << QStringLiteral("The saved CRM registrations %1 are damaged and were ignored: %2")
                                        .arg(m_filePath, error.errorString());
            return {};
        }
        apply(whole.object(), &tables);
    } else {
        apply(first.object(), &tables);
        // Whichever run appended them, the last release cannot read them: a stop writes the file whole.
        m_appendedBytes = bytes.size() - lines.first().size() - 1;
        int damaged = 0;
        for (auto line = lines.cbegin() + 1; line != lines.cend(); ++line) {
            const QJsonDocument record = QJsonDocument::fromJson(*line);
            if (record.isObject())
                apply(record.object(), &tables);
            else if (!line->isEmpty()) // cut short by a crash, or a full disk
                ++damaged;
        }
        if (damaged > 0)
            qWarning().noquote() << QStringLiteral("The saved CRM registrations %1: %2 damaged or unfinished record(s) "
                                                   "skipped")
                                        .arg(m_filePath)
                                        .arg(damaged);
    }
    for (auto it = tables.uploads.begin(); uploads && it != tables.uploads.end(); ++it) {
        // A file of an older version has no time for it: now, and written so, or the day it is tried for
        // would begin again at every start.
        if (stamped && !it->owedSince.isValid()) {
            it->owedSince = QDateTime::currentDateTimeUtc();
            *stamped = true;
        }
        uploads->insert(it.key(), *it);
    }
    if (facts)
        facts->insert(tables.facts);
    return tables.entries;
}

bool RegistrationStore::isWholeDue(bool growing) const
{
    return m_wholeDue || (!growing && m_appendedBytes > std::max(m_wholeBytes, kMinAppendedBytes));
}

bool RegistrationStore::save(const Entries &entries, const Uploads &uploads, const Facts &facts)
{
    if (m_filePath.isEmpty())
        return false;
    QJsonArray list;
    for (auto it = entries.cbegin(); it != entries.cend(); ++it)
        list.append(entryJson(it.key(), *it));
    QJsonArray owed;
    for (const Upload &upload : uploads)
        owed.append(uploadJson(upload));
    QJsonArray calls;
    for (auto it = facts.cbegin(); it != facts.cend(); ++it)
        calls.append(factsJson(it.key(), *it));
    const QByteArray text =
        QJsonDocument(QJsonObject{{kRegistrations, list}, {kUploads, owed}, {kCalls, calls}}).toJson(QJsonDocument::Compact)
        + '\n';
    QString error;
    if (!Utils::saveOwnerOnlyFile(m_filePath, text, &error)) {
        qWarning().noquote() << QStringLiteral("Cannot save the CRM registrations %1: %2").arg(m_filePath, error);
        m_wholeDue = true;
        return false;
    }
    m_wholeDue = false;
    m_wholeBytes = text.size();
    m_appendedBytes = 0;
    return true;
}

bool RegistrationStore::save(const Entries &entries, const Uploads &uploads, const Facts &facts,
                             const Changes &changes, bool growing)
{
    if (isWholeDue(growing))
        return save(entries, uploads, facts);
    QJsonObject record;
    QJsonObject gone;
    const auto note = [&record, &gone](QLatin1String table, const QSet<QString> &keys, const auto &values,
                                       const auto &toJson) {
        QJsonArray present;
        QJsonArray removed;
        for (const QString &key : keys) {
            const auto it = values.constFind(key);
            if (it != values.cend())
                present.append(toJson(key, *it));
            else
                removed.append(key);
        }
        if (!present.isEmpty())
            record.insert(table, present);
        if (!removed.isEmpty())
            gone.insert(table, removed);
    };
    note(kRegistrations, changes.entries, entries, entryJson);
    note(kUploads, changes.uploads, uploads, [](const QString &, const Upload &upload) { return uploadJson(upload); });
    note(kCalls, changes.facts, facts, factsJson);
    if (!gone.isEmpty())
        record.insert(kGone, gone);
    if (record.isEmpty())
        return true;
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
    // Appended to the file this store wrote whole; on disk when it returns, as a whole write would be.
    QString error;
    if (!Utils::appendToOwnerFile(m_filePath, line, &error)) {
        // Written whole at once instead: the change must not wait for the next one.
        m_wholeDue = true;
        return save(entries, uploads, facts);
    }
    m_appendedBytes += line.size();
    return true;
}

} // namespace Orvix::CRM::Bitrix
