#include "entities/call.h"

#include "entities/callmodel_p.h"
#include "entities/clock.h"

#include <QJsonDocument>
#include <QList>
#include <QPair>

#include <algorithm>

namespace Orvix::Entities {

namespace {

bool isHung(const Conversation &conversation)
{
    return conversation.isState(CallStatus::Hung);
}

bool isHungAndAnswered(const Conversation &conversation)
{
    return isHung(conversation) && conversation.wasAnswered();
}

// A missing end is earlier than any real one; two missing ends are equal. The PBX stamps whole
// seconds: within one, the record that ended the leg tells which came first.
bool endsEarlier(const Conversation &a, const Conversation &b)
{
    const QDateTime x = a.endedAt();
    const QDateTime y = b.endedAt();
    if (!y.isValid())
        return false;
    if (!x.isValid())
        return true;
    return x < y || (x == y && a.endOrder() < b.endOrder());
}

// Walks the legs from the latest id down; a leg replaces the one kept so far only when it beats it, so
// on a tie the later leg stays (CEL times have whole seconds: equal ends are common). The legs must
// not be empty.
template <typename Beats>
const Conversation &pickLeg(const QMap<QString, Conversation> &legs, Beats beats)
{
    QList<QPair<QString, const Conversation *>> ordered;
    for (auto it = legs.cbegin(); it != legs.cend(); ++it)
        ordered.append({it.key(), &it.value()});
    std::sort(ordered.begin(), ordered.end(),
              [](const auto &a, const auto &b) { return uniqueIdBefore(a.first, b.first); });
    const Conversation *kept = ordered.last().second;
    for (int i = ordered.size() - 2; i >= 0; --i) {
        if (beats(*ordered.at(i).second, *kept))
            kept = ordered.at(i).second;
    }
    return *kept;
}

} // namespace

Call::Call(const QString &id)
    : m_id(id)
{
}

Call::Call(const QJsonObject &json)
    : m_id(json.value(QLatin1String("id")).toString())
    , m_from(json.value(QLatin1String("from")).toString())
    , m_to(json.value(QLatin1String("to")).toString())
    , m_state(json.value(QLatin1String("state")).toInt())
    , m_type(static_cast<CallType>(json.value(QLatin1String("type")).toInt()))
    , m_toLocal(json.value(QLatin1String("to_local")).toBool())
    , m_fromLocal(json.value(QLatin1String("from_local")).toBool())
    , m_startedAt(Detail::timeFromJson(json.value(QLatin1String("started_at"))))
    , m_answeredAt(Detail::timeFromJson(json.value(QLatin1String("answered_at"))))
    , m_endedAt(Detail::timeFromJson(json.value(QLatin1String("ended_at"))))
    , m_lastEventAt(Detail::timeFromJson(json.value(QLatin1String("last_event_at"))))
{
    const QJsonValue trunk = json.value(QLatin1String("trunk"));
    if (trunk.isString()) {
        m_trunk = trunk.toString();
        m_trunkSet = true;
    }
    const QJsonObject conversations = json.value(QLatin1String("conversations")).toObject();
    for (auto it = conversations.begin(); it != conversations.end(); ++it) {
        if (it.key().isEmpty())
            continue;
        m_conversations.insert(it.key(), Conversation(it.value().toObject()));
    }
}

void Call::setFrom(const QString &number, bool isLocal)
{
    m_from = number;
    m_fromLocal = isLocal;
}

void Call::setTo(const QString &number, bool isLocal)
{
    m_to = number;
    m_toLocal = isLocal;
}

void Call::setTrunk(const QString &trunk)
{
    m_trunk = trunk;
    m_trunkSet = true;
}

void Call::updateType()
{
    m_type = Detail::deriveCallType(m_from, m_to, m_fromLocal, m_toLocal);
}

QString Call::internalNumber() const
{
    return Detail::internalNumberOf(m_type, m_from, m_to);
}

QString Call::externalNumber() const
{
    return Detail::externalNumberOf(m_type, m_from, m_to);
}

void Call::setState(int status, const QDateTime &at)
{
    Detail::moveToStatus(m_state, status, at, m_startedAt, m_answeredAt, m_endedAt);
}

bool Call::wasAnswered() const
{
    for (const Conversation &conversation : m_conversations) {
        if (conversation.wasAnswered())
            return true;
    }
    return false;
}

Conversation Call::lastConversation() const
{
    if (m_conversations.isEmpty()) {
        // Not stored: it only lets the CRM side treat a call without legs like any other.
        Conversation conversation(m_id, m_id, m_id);
        conversation.setTrunk(m_trunk);
        conversation.setFrom(m_from, m_fromLocal);
        conversation.setTo(m_to, m_toLocal);
        conversation.setState(CallStatus::Ringing, m_startedAt);
        conversation.setState(CallStatus::Hung, m_endedAt);
        return conversation;
    }

    return pickLeg(m_conversations, [](const Conversation &visited, const Conversation &candidate) {
        return (isHung(visited) && !isHung(candidate)) || endsEarlier(candidate, visited);
    });
}

Conversation Call::mainConversation() const
{
    if (!wasAnswered())
        return lastConversation();

    return pickLeg(m_conversations, [](const Conversation &visited, const Conversation &candidate) {
        return isHungAndAnswered(visited) && (!isHungAndAnswered(candidate) || endsEarlier(candidate, visited));
    });
}

float Call::minutesSinceEnded() const
{
    if (!m_endedAt.isValid())
        return 0.0f;
    const qint64 seconds = m_endedAt.msecsTo(Clock::now()) / 1000;
    return static_cast<float>(seconds) / 60.0f;
}

QJsonObject Call::toJson() const
{
    QJsonObject conversations;
    for (const Conversation &conversation : m_conversations) {
        // Filed under the leg's own id, so a reload keys it the way the tracker would.
        if (!conversation.id().isEmpty())
            conversations.insert(conversation.id(), conversation.toJson());
    }
    QJsonObject json{
        {QStringLiteral("id"), Detail::jsonText(m_id)},
        {QStringLiteral("from"), Detail::jsonText(m_from)},
        {QStringLiteral("to"), Detail::jsonText(m_to)},
        {QStringLiteral("from_local"), m_fromLocal},
        {QStringLiteral("to_local"), m_toLocal},
        {QStringLiteral("trunk"), m_trunkSet ? QJsonValue(Detail::jsonText(m_trunk)) : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("state"), m_state},
        {QStringLiteral("type"), static_cast<int>(m_type)},
        {QStringLiteral("started_at"), Detail::timeToJson(m_startedAt)},
        {QStringLiteral("answered_at"), Detail::timeToJson(m_answeredAt)},
        {QStringLiteral("ended_at"), Detail::timeToJson(m_endedAt)},
        {QStringLiteral("conversations"), conversations},
    };
    // Only for calls the PBX link follows: a call built elsewhere keeps its form.
    if (m_lastEventAt.isValid())
        json.insert(QStringLiteral("last_event_at"), Detail::timeToJson(m_lastEventAt));
    return json;
}

QString Call::toJsonString() const
{
    return QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Compact));
}

QString Call::dump(int indent) const
{
    const QString prefix(indent, QLatin1Char('\t'));
    // One entry per distinct leg id; a later map entry with the same id wins, as in the JSON form. Each
    // leg's block ends with an empty line, which keeps the legs of a long listing apart.
    QMap<QString, Conversation> byId;
    for (const Conversation &conversation : m_conversations)
        byId.insert(conversation.id(), conversation);
    QString text = prefix + m_id + QLatin1Char('\n');
    for (auto it = byId.cbegin(); it != byId.cend(); ++it)
        text += prefix + QLatin1String("\t|- ") + it.key() + QLatin1String(": ") + it.value().dump(indent + 1)
                + QLatin1Char('\n');
    return text;
}

} // namespace Orvix::Entities
