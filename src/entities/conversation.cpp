#include "entities/conversation.h"

#include "entities/callmodel_p.h"
#include "entities/clock.h"

#include <QJsonDocument>

#include <climits>

namespace Orvix::Entities {

namespace {

constexpr qint64 kRecentLimitMs = 120 * 1000;
constexpr qint64 kOutdatedAfterMs = 4 * 60 * 60 * 1000;

QString maskPlaceholder(const QString &number)
{
    return number == Conversation::PHONE_NUMBER_PLACEHOLDER ? QString() : number;
}

} // namespace

Conversation::Conversation(const QString &id, const QString &channelId, const QString &parentChannelId)
    : m_id(id)
    , m_channelId(channelId)
    , m_parentChannelId(parentChannelId)
{
}

Conversation::Conversation(const QJsonObject &json)
    : m_id(json.value(QLatin1String("id")).toString())
    , m_channelId(json.value(QLatin1String("channel_id")).toString())
    , m_parentChannelId(json.value(QLatin1String("parent_channel_id")).toString())
    , m_from(json.value(QLatin1String("from")).toString())
    , m_to(json.value(QLatin1String("to")).toString())
    , m_trunk(json.value(QLatin1String("trunk")).toString())
    , m_state(json.value(QLatin1String("state")).toInt())
    // Taken as stored, not recomputed: the saved state is the truth of what was reported.
    , m_type(static_cast<CallType>(json.value(QLatin1String("type")).toInt()))
    , m_fromLocal(json.value(QLatin1String("from_local")).toBool())
    , m_toLocal(json.value(QLatin1String("to_local")).toBool())
    , m_wasAnswered(json.value(QLatin1String("was_answered")).toBool())
    , m_endOrder(json.value(QLatin1String("end_order")).toVariant().toLongLong())
    , m_startOrder(json.value(QLatin1String("start_order")).toVariant().toLongLong())
    , m_answerOrder(json.value(QLatin1String("answer_order")).toVariant().toLongLong())
    , m_ringsWith(json.value(QLatin1String("rings_with")).toString())
    , m_startedAt(Detail::timeFromJson(json.value(QLatin1String("started_at"))))
    , m_answeredAt(Detail::timeFromJson(json.value(QLatin1String("answered_at"))))
    , m_endedAt(Detail::timeFromJson(json.value(QLatin1String("ended_at"))))
{
}

QString Conversation::from() const
{
    return maskPlaceholder(m_from);
}

QString Conversation::to() const
{
    return maskPlaceholder(m_to);
}

void Conversation::setFrom(const QString &number, bool isLocal)
{
    m_from = number;
    m_fromLocal = isLocal;
    updateType();
}

void Conversation::setTo(const QString &number, bool isLocal)
{
    m_to = number;
    m_toLocal = isLocal;
    updateType();
}

void Conversation::updateType()
{
    m_type = Detail::deriveCallType(m_from, m_to, m_fromLocal, m_toLocal);
}

QString Conversation::internalNumber() const
{
    return Detail::internalNumberOf(m_type, from(), to());
}

QString Conversation::externalNumber() const
{
    return Detail::externalNumberOf(m_type, from(), to());
}

void Conversation::setState(int status, const QDateTime &at)
{
    if (Detail::moveToStatus(m_state, status, at, m_startedAt, m_answeredAt, m_endedAt)
        && status == static_cast<int>(CallStatus::Talking))
        m_wasAnswered = true;
}

int Conversation::talkDuration() const
{
    if (!m_wasAnswered || !m_answeredAt.isValid() || !m_endedAt.isValid())
        return 0;
    // In 64 bits: a leg kept across a long outage, or clocks gone wrong, must not wrap into a
    // negative or absurd duration on the CRM side.
    const qint64 seconds = m_answeredAt.msecsTo(m_endedAt) / 1000;
    return static_cast<int>(qBound<qint64>(0, seconds, INT_MAX));
}

bool Conversation::isRecent(const QDateTime &now) const
{
    if (!m_startedAt.isValid())
        return false;
    return m_startedAt.msecsTo(now.isValid() ? now : Clock::now()) < kRecentLimitMs;
}

bool Conversation::isOutdated(const QDateTime &now) const
{
    if (m_state == static_cast<int>(CallStatus::Hung))
        return true;
    if (!m_startedAt.isValid())
        return false;
    return m_startedAt.msecsTo(now.isValid() ? now : Clock::now()) >= kOutdatedAfterMs;
}

QJsonObject Conversation::toJson() const
{
    QJsonObject json{
        {QStringLiteral("id"), Detail::jsonText(m_id)},
        {QStringLiteral("channel_id"), Detail::jsonText(m_channelId)},
        {QStringLiteral("parent_channel_id"), Detail::jsonText(m_parentChannelId)},
        {QStringLiteral("from"), Detail::jsonText(m_from)},
        {QStringLiteral("to"), Detail::jsonText(m_to)},
        {QStringLiteral("from_local"), m_fromLocal},
        {QStringLiteral("to_local"), m_toLocal},
        {QStringLiteral("trunk"), isIncoming() ? QJsonValue(Detail::jsonText(m_trunk)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("state"), m_state},
        {QStringLiteral("state_code"), stateCode()},
        {QStringLiteral("type"), static_cast<int>(m_type)},
        {QStringLiteral("type_code"), typeCode()},
        {QStringLiteral("was_answered"), m_wasAnswered},
        {QStringLiteral("started_at"), Detail::timeToJson(m_startedAt)},
        {QStringLiteral("answered_at"), Detail::timeToJson(m_answeredAt)},
        {QStringLiteral("ended_at"), Detail::timeToJson(m_endedAt)},
    };
    // Only where known: the form of a leg that never ended stays as it always was.
    if (m_endOrder != 0)
        json.insert(QStringLiteral("end_order"), m_endOrder);
    if (m_startOrder != 0)
        json.insert(QStringLiteral("start_order"), m_startOrder);
    if (m_answerOrder != 0)
        json.insert(QStringLiteral("answer_order"), m_answerOrder);
    if (!m_ringsWith.isEmpty())
        json.insert(QStringLiteral("rings_with"), m_ringsWith);
    return json;
}

QString Conversation::toJsonString() const
{
    return QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Compact));
}

QString Conversation::dump(int indent) const
{
    const QString prefix(indent, QLatin1Char('\t'));
    const auto flag = [](bool value) { return value ? QStringLiteral("Y") : QStringLiteral("N"); };
    // Keys in ascending order, as the JSON form would list them.
    const std::pair<const char *, QString> fields[] = {
        {"answered_at", Detail::timeToText(m_answeredAt)},
        {"channel_id", m_channelId},
        {"ended_at", Detail::timeToText(m_endedAt)},
        {"from", m_from},
        {"from_local", flag(m_fromLocal)},
        {"id", m_id},
        {"parent_channel_id", m_parentChannelId},
        {"started_at", Detail::timeToText(m_startedAt)},
        {"state", QString::number(m_state)},
        {"state_code", stateCode()},
        {"to", m_to},
        {"to_local", flag(m_toLocal)},
        {"trunk", isIncoming() ? m_trunk : QString()},
        {"type", QString::number(static_cast<int>(m_type))},
        {"type_code", typeCode()},
        {"was_answered", flag(m_wasAnswered)},
    };
    QString text = prefix + m_id + QLatin1Char('\n');
    for (const auto &[key, value] : fields)
        text += prefix + QLatin1String("\t|- ") + QLatin1String(key) + QLatin1String(": ") + value + QLatin1Char('\n');
    return text;
}

} // namespace Orvix::Entities
