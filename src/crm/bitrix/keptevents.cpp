#include "crm/bitrix/keptevents.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace Orvix::CRM::Bitrix {

namespace {

inline constexpr QLatin1String kPosition("position");
inline constexpr QLatin1String kEvents("events");
inline constexpr QLatin1String kKind("kind");
inline constexpr QLatin1String kCall("call");
inline constexpr QLatin1String kRow("row");
inline constexpr QLatin1String kAt("at");
inline constexpr QLatin1String kData("data");
inline constexpr QLatin1String kRegistered("registered");

const QStringList &kindNames()
{
    static const QStringList names{QStringLiteral("call_started"),       QStringLiteral("conversation_requested"),
                                   QStringLiteral("conversation_accepted"), QStringLiteral("conversation_ended"),
                                   QStringLiteral("call_ended"),         QStringLiteral("call_transferred")};
    return names;
}

} // namespace

QString KeptEvents::Event::key() const
{
    return QStringLiteral("%1 %2 %3 %4").arg(row).arg(int(kind)).arg(callId, data.value(QLatin1String("id")).toString());
}

KeptEvents::Event KeptEvents::make(quint64 sequence, Kind kind, const QString &callId, qint64 row,
                                   const QJsonObject &data)
{
    Event event{sequence, kind, callId, row, QDateTime::currentDateTimeUtc(), data, QJsonObject(), QByteArray()};
    setRegistered(&event, QJsonObject());
    return event;
}

void KeptEvents::setRegistered(Event *event, const QJsonObject &registered)
{
    event->registered = registered;
    QJsonObject record{{kKind, kindNames().at(int(event->kind))},
                       {kCall, event->callId},
                       {kRow, event->row},
                       {kAt, event->at.toString(Qt::ISODate)},
                       {kData, event->data}};
    if (!registered.isEmpty())
        record.insert(kRegistered, registered);
    event->text = QJsonDocument(record).toJson(QJsonDocument::Compact);
}

QList<KeptEvents::Event> KeptEvents::load(qint64 *position) const
{
    *position = 0;
    QList<Event> events;
    QFile file(m_filePath);
    if (m_filePath.isEmpty() || !file.exists())
        return events;
    QJsonParseError error;
    const QJsonDocument document =
        file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error) : QJsonDocument();
    if (!document.isObject()) {
        qWarning().noquote() << QStringLiteral("The kept call events %1 cannot be read and were ignored: %2")
                                    .arg(m_filePath, file.isOpen() ? error.errorString() : file.errorString());
        return events;
    }
    *position = static_cast<qint64>(document.object().value(kPosition).toDouble());
    for (const QJsonValue &value : document.object().value(kEvents).toArray()) {
        const QJsonObject object = value.toObject();
        const int kind = kindNames().indexOf(object.value(kKind).toString());
        const QString callId = object.value(kCall).toString();
        if (kind < 0 || callId.isEmpty())
            continue;
        Event event = make(quint64(events.size() + 1), Kind(kind), callId,
                           static_cast<qint64>(object.value(kRow).toDouble()), object.value(kData).toObject());
        // A time that cannot be read counts from now: the day it is tried for starts again, nothing is lost.
        const QDateTime at = QDateTime::fromString(object.value(kAt).toString(), Qt::ISODate);
        if (at.isValid())
            event.at = at.toUTC();
        event.registered = object.value(kRegistered).toObject();
        event.text = QJsonDocument(object).toJson(QJsonDocument::Compact);
        events.append(event);
    }
    return events;
}

bool KeptEvents::save(qint64 position, const QList<Event> &events) const
{
    if (m_filePath.isEmpty())
        return false;
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    // Customers' numbers: the service's user alone reads them, from the first byte on.
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        qWarning().noquote() << QStringLiteral("Cannot save the kept call events %1: %2").arg(m_filePath, file.errorString());
        return false;
    }
    // The records were made once, when their events came: a write per CEL batch joins them, nothing more.
    QByteArray text = "{\"" + QByteArray(kPosition.data()) + "\":" + QByteArray::number(position) + ",\""
        + QByteArray(kEvents.data()) + "\":[";
    for (int i = 0; i < events.size(); ++i) {
        if (i > 0)
            text += ",\n";
        text += events.at(i).text;
    }
    text += "]}\n";
    if (file.write(text) != text.size() || !file.commit()) {
        qWarning().noquote() << QStringLiteral("Cannot save the kept call events %1: %2").arg(m_filePath, file.errorString());
        return false;
    }
    return true;
}

} // namespace Orvix::CRM::Bitrix
