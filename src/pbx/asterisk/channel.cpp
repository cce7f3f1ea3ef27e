#include "pbx/asterisk/channel.h"

#include "entities/clock.h"
#include "entities/entities.h"

#include <QJsonValue>
#include <QMap>
#include <QSet>

namespace Orvix::PBX::Asterisk {

namespace {

QJsonValue timeToJson(const QDateTime &at)
{
    if (!at.isValid())
        return QJsonValue::Null;
    return at.toString(Entities::DATE_TIME_FORMAT);
}

QDateTime timeFromJson(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return {};
    return QDateTime::fromString(value.toString(), Entities::DATE_TIME_FORMAT);
}

QString stringFromJson(const QJsonValue &value)
{
    return value.isString() ? value.toString() : QString();
}

} // namespace

Channel::Channel(QString id, QString parentId, QString caller, QString extension, QString name)
    : m_id(std::move(id))
    , m_parentId(std::move(parentId))
    , m_caller(std::move(caller))
    , m_extension(std::move(extension))
    , m_name(std::move(name))
{
    if (isServiceExtension(m_extension))
        m_extension = QString();
    m_isPrimary = m_id == m_parentId;
}

Channel::Channel(const QJsonObject &json)
    : m_id(stringFromJson(json.value(QLatin1String("id"))))
    , m_parentId(stringFromJson(json.value(QLatin1String("parent_id"))))
    , m_caller(stringFromJson(json.value(QLatin1String("caller"))))
    , m_extension(stringFromJson(json.value(QLatin1String("extension"))))
    , m_name(stringFromJson(json.value(QLatin1String("name"))))
    , m_isPrimary(json.value(QLatin1String("is_primary")).toBool(false))
    , m_state(json.value(QLatin1String("state")).toInt(Unknown))
    , m_startedAt(timeFromJson(json.value(QLatin1String("started_at"))))
    , m_endedAt(timeFromJson(json.value(QLatin1String("ended_at"))))
    , m_consultation(json.value(QLatin1String("consultation")).toInt(NoConsultation))
    , m_blindTransferer(json.value(QLatin1String("blind_transferer")).toBool(false))
{
}

bool Channel::isServiceExtension(const QString &extension)
{
    // Dial-plan extensions of the PBX itself, never a number anyone dialled. Case matters: "T" is the
    // absolute-timeout extension, "S" is nothing special.
    static const QSet<QString> serviceExtensions{
        QStringLiteral("a"), QStringLiteral("h"),      QStringLiteral("i"),   QStringLiteral("o"),
        QStringLiteral("s"), QStringLiteral("t"),      QStringLiteral("T"),   QStringLiteral("e"),
        QStringLiteral("failed"), QStringLiteral("fax"), QStringLiteral("talk"),
    };
    return serviceExtensions.contains(extension);
}

QString Channel::stateToString(int state)
{
    switch (state) {
    case Started:
        return QStringLiteral("started");
    case Ended:
        return QStringLiteral("ended");
    default:
        return QStringLiteral("unknown");
    }
}

void Channel::setParentId(const QString &parentId)
{
    m_parentId = parentId;
    m_isPrimary = m_id == m_parentId;
}

bool Channel::isLocal() const
{
    return m_name.startsWith(QLatin1String("LOCAL/"), Qt::CaseInsensitive);
}

void Channel::setState(int state, const QDateTime &at)
{
    if (state == m_state)
        return;
    m_state = state;
    if (state == Started)
        m_startedAt = at;
    else if (state == Ended)
        m_endedAt = at;
}

float Channel::minutesSinceEnded() const
{
    return minutesSinceEnded(Entities::Clock::now());
}

float Channel::minutesSinceEnded(const QDateTime &now) const
{
    if (m_endedAt.isNull())
        return 0;
    return static_cast<float>(m_endedAt.secsTo(now)) / 60.0f;
}

QString Channel::numberFromName() const
{
    if (isPort())
        return QString();
    const int slash = m_name.indexOf(QLatin1Char('/'));
    const QString rest = m_name.mid(slash + 1, m_name.size() - 1);
    int length = 0;
    while (length < rest.size() && rest.at(length).isDigit())
        ++length;
    return rest.left(length);
}

QString Channel::device() const
{
    const int slash = m_name.indexOf(QLatin1Char('/'));
    const int dash = m_name.lastIndexOf(QLatin1Char('-'));
    return slash >= 0 && dash > slash ? m_name.mid(slash + 1, dash - slash - 1) : QString();
}

bool Channel::isPort() const
{
    return m_name.startsWith(QLatin1String("DAHDI/"), Qt::CaseInsensitive);
}

QJsonObject Channel::toJson() const
{
    QJsonObject json{
        {QStringLiteral("id"), m_id},
        {QStringLiteral("parent_id"), m_parentId},
        {QStringLiteral("caller"), m_caller},
        {QStringLiteral("extension"), m_extension},
        {QStringLiteral("name"), m_name},
        {QStringLiteral("is_primary"), m_isPrimary},
        {QStringLiteral("state"), m_state},
        {QStringLiteral("state_code"), stateToString(m_state)},
        {QStringLiteral("started_at"), timeToJson(m_startedAt)},
        {QStringLiteral("ended_at"), timeToJson(m_endedAt)},
    };
    // Only on the few channels it concerns: every other record keeps its form.
    if (m_consultation != NoConsultation)
        json.insert(QStringLiteral("consultation"), m_consultation);
    if (m_blindTransferer)
        json.insert(QStringLiteral("blind_transferer"), true);
    return json;
}

QString Channel::dump(int indent) const
{
    const QString prefix(indent, QLatin1Char('\t'));
    const QString timeFormat = QStringLiteral("HH:mm:ss d MMMM yyyy");
    const QMap<QString, QString> fields{
        {QStringLiteral("caller"), m_caller},
        {QStringLiteral("ended_at"), m_endedAt.isNull() ? QString() : m_endedAt.toString(timeFormat)},
        {QStringLiteral("extension"), m_extension},
        {QStringLiteral("id"), m_id},
        {QStringLiteral("is_primary"), m_isPrimary ? QStringLiteral("Y") : QStringLiteral("N")},
        {QStringLiteral("name"), m_name},
        {QStringLiteral("parent_id"), m_parentId},
        {QStringLiteral("started_at"), m_startedAt.isNull() ? QString() : m_startedAt.toString(timeFormat)},
        {QStringLiteral("state"), QString::number(m_state)},
    };
    QString text = QStringLiteral("%1%2\n").arg(prefix, m_id);
    for (auto it = fields.cbegin(); it != fields.cend(); ++it)
        text += QStringLiteral("%1\t|- %2: %3\n").arg(prefix, it.key(), it.value());
    return text;
}

bool Channel::operator==(const Channel &other) const
{
    return m_id == other.m_id && m_parentId == other.m_parentId && m_caller == other.m_caller
        && m_extension == other.m_extension && m_name == other.m_name
        && m_isPrimary == other.m_isPrimary && m_state == other.m_state
        && m_startedAt == other.m_startedAt && m_endedAt == other.m_endedAt
        && m_consultation == other.m_consultation && m_blindTransferer == other.m_blindTransferer;
}

} // namespace Orvix::PBX::Asterisk
