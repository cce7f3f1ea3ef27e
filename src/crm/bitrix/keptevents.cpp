#include "crm/bitrix/keptevents.h"

#include "utils/ownerfile.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace Orvix::CRM::Bitrix {

namespace {

inline constexpr QLatin1String kPosition("position");
inline constexpr QLatin1String kEvents("events");
inline constexpr QLatin1String kDone("done");
inline constexpr QLatin1String kSequence("seq");
inline constexpr QLatin1String kKind("kind");
inline constexpr QLatin1String kCall("call");
inline constexpr QLatin1String kRow("row");
inline constexpr QLatin1String kAt("at");
inline constexpr QLatin1String kData("data");
inline constexpr QLatin1String kRegistered("registered");
// Below this, done records are left in the file: a fresh file for every few would cost more than they do.
constexpr qint64 kMinDeadRecords = 256;

const QStringList &kindNames()
{
    static const QStringList names{QStringLiteral("call_started"),       QStringLiteral("conversation_requested"),
                                   QStringLiteral("conversation_accepted"), QStringLiteral("conversation_ended"),
                                   QStringLiteral("call_ended"),         QStringLiteral("call_transferred")};
    return names;
}

QByteArray positionRecord(qint64 position)
{
    return "{\"" + QByteArray(kPosition.data()) + "\":" + QByteArray::number(position) + "}\n";
}

// An event as either form of the file holds it; false for a record that names no kind or call.
bool readEvent(const QJsonObject &object, quint64 sequence, KeptEvents::Event *event)
{
    const int kind = kindNames().indexOf(object.value(kKind).toString());
    const QString callId = object.value(kCall).toString();
    if (kind < 0 || callId.isEmpty())
        return false;
    // No time (kept before the PBX's was known), or one that cannot be read: it counts as new, nothing is lost.
    const QDateTime at = QDateTime::fromString(object.value(kAt).toString(), Qt::ISODate);
    *event = KeptEvents::make(sequence, KeptEvents::Kind(kind), callId,
                              static_cast<qint64>(object.value(kRow).toDouble()), object.value(kData).toObject(),
                              at.toUTC(), object.value(kRegistered).toObject());
    return true;
}

} // namespace

QJsonObject KeptEvents::Event::data() const
{
    return QJsonDocument::fromJson(record).object().value(kData).toObject();
}

QJsonObject KeptEvents::Event::registered() const
{
    return member(kRegistered).toObject();
}

QJsonValue KeptEvents::Event::member(QLatin1String key) const
{
    return QJsonDocument::fromJson(record).object().value(key);
}

KeptEvents::Event KeptEvents::make(quint64 sequence, Kind kind, const QString &callId, qint64 row,
                                   const QJsonObject &data, const QDateTime &at, const QJsonObject &registered)
{
    Event event{sequence, kind, callId, row, at, QByteArray()};
    QJsonObject record{{kSequence, double(sequence)},
                       {kKind, kindNames().at(int(kind))},
                       {kCall, callId},
                       {kRow, row},
                       {kAt, at.toString(Qt::ISODate)},
                       {kData, data}};
    if (!registered.isEmpty())
        record.insert(kRegistered, registered);
    event.record = QJsonDocument(record).toJson(QJsonDocument::Compact);
    return event;
}

void KeptEvents::setMember(Event *event, QLatin1String key, const QJsonValue &value)
{
    QJsonObject record = QJsonDocument::fromJson(event->record).object();
    record.insert(key, value);
    event->record = QJsonDocument(record).toJson(QJsonDocument::Compact);
}

QString KeptEvents::key(qint64 row, Kind kind, const QString &callId, const QJsonObject &data)
{
    return QStringLiteral("%1 %2 %3 %4")
        .arg(row)
        .arg(int(kind))
        .arg(callId, data.value(QLatin1String("id")).toString());
}

QMap<quint64, KeptEvents::Event> KeptEvents::load(qint64 *position, QSet<QString> *rowless)
{
    *position = 0;
    m_live = 0;
    m_dead = 0;
    m_fresh = true;
    QMap<quint64, Event> events;
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || !file.exists())
        return events;
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning().noquote() << QStringLiteral("The kept call events %1 cannot be read and were ignored: %2")
                                    .arg(m_filePath, file.errorString());
        return events;
    }
    const QByteArray bytes = file.readAll();
    // Empty is what a clean run leaves.
    if (bytes.trimmed().isEmpty())
        return events;
    // The last build wrote one object, its events in an array; the next write turns it into a journal.
    const QJsonObject whole = QJsonDocument::fromJson(bytes).object();
    if (whole.contains(kEvents)) {
        *position = static_cast<qint64>(whole.value(kPosition).toDouble());
        Event event;
        for (const QJsonValue &value : whole.value(kEvents).toArray()) {
            if (!readEvent(value.toObject(), quint64(events.size() + 1), &event))
                continue;
            if (rowless && event.row == 0)
                rowless->insert(key(0, event.kind, event.callId, event.data()));
            events.insert(event.sequence, event);
        }
        return events;
    }
    int damaged = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject record = QJsonDocument::fromJson(line).object();
        Event event;
        if (record.contains(kPosition)) {
            *position = static_cast<qint64>(record.value(kPosition).toDouble());
            ++m_dead;
        } else if (record.contains(kDone)) {
            for (const QJsonValue &done : record.value(kDone).toArray())
                m_live -= events.remove(static_cast<quint64>(done.toDouble()));
            m_dead += record.value(kDone).toArray().size() + 1;
        } else if (readEvent(record, static_cast<quint64>(record.value(kSequence).toDouble()), &event)) {
            if (rowless && event.row == 0)
                rowless->insert(key(0, event.kind, event.callId, event.data()));
            // A later record of an event (its register sent) replaces the earlier one.
            if (events.contains(event.sequence))
                ++m_dead;
            else
                ++m_live;
            events.insert(event.sequence, event);
        } else {
            // A line the disk could not finish (it ran full, or the power went), or a damaged one.
            ++damaged;
        }
    }
    if (damaged > 0)
        qWarning().noquote() << QStringLiteral("The kept call events %1: %2 damaged or unfinished record(s) skipped")
                                    .arg(m_filePath)
                                    .arg(damaged);
    m_fresh = damaged > 0 || !bytes.endsWith('\n');
    return events;
}

bool KeptEvents::write(const QMap<quint64, Event> &kept, quint64 after, const QList<quint64> &changed,
                       const QList<quint64> &done, qint64 position, QString *error)
{
    if (isRewriteDue())
        return rewrite(kept, position, error);
    QByteArray chunk;
    if (!done.isEmpty()) {
        QJsonArray marks;
        for (const quint64 sequence : done)
            marks.append(double(sequence));
        chunk += QJsonDocument(QJsonObject{{kDone, marks}}).toJson(QJsonDocument::Compact) + '\n';
    }
    qint64 replaced = 0;
    for (const quint64 sequence : changed) {
        const auto event = kept.constFind(sequence);
        if (event == kept.cend())
            continue;
        chunk += event->record;
        chunk += '\n';
        ++replaced;
    }
    qint64 added = 0;
    for (auto it = kept.upperBound(after); it != kept.cend(); ++it, ++added) {
        chunk += it->record;
        chunk += '\n';
    }
    // Last: it covers the events before it, and a write cut short leaves the position as it was.
    chunk += positionRecord(position);
    // Appended to the file this one read or wrote; on disk before the PBX link's position that it covers.
    if (!Utils::appendToOwnerFile(m_filePath, chunk, error)) {
        m_fresh = true;
        return false;
    }
    m_live += added - done.size();
    m_dead += replaced + done.size() + (done.isEmpty() ? 1 : 2);
    return true;
}

bool KeptEvents::isRewriteDue() const
{
    return m_fresh || (m_dead > m_live && m_dead >= kMinDeadRecords);
}

bool KeptEvents::rewrite(const QMap<quint64, Event> &kept, qint64 position, QString *error)
{
    QByteArray text;
    for (const Event &event : kept) {
        text += event.record;
        text += '\n';
    }
    text += positionRecord(position);
    if (!Utils::saveOwnerOnlyFile(m_filePath, text, error)) {
        m_fresh = true;
        return false;
    }
    m_live = kept.size();
    m_dead = 1;
    m_fresh = false;
    return true;
}

bool KeptEvents::clear(QString *error)
{
    m_live = 0;
    m_dead = 0;
    m_fresh = true;
    QFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file.errorString();
        return false;
    }
    return true;
}

} // namespace Orvix::CRM::Bitrix
