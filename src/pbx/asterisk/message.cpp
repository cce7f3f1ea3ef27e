#include "pbx/asterisk/message.h"


namespace Orvix::PBX::Asterisk {

namespace {

constexpr char kHeadKey[] = "Action";
constexpr char kActionIdKey[] = "ActionID";
constexpr char kSeparator[] = "\r\n";
constexpr int kSeparatorSize = 2;

// The head keys, compared without regard to case as Asterisk does; None when the key is no head.
Message::Type headType(const QString &key)
{
    if (key.compare(QLatin1String("Response"), Qt::CaseInsensitive) == 0)
        return Message::Response;
    if (key.compare(QLatin1String("Event"), Qt::CaseInsensitive) == 0)
        return Message::Event;
    if (key.compare(QLatin1String("Action"), Qt::CaseInsensitive) == 0)
        return Message::Action;
    return Message::None;
}

bool isActionIdKey(const QString &key)
{
    return key.compare(QLatin1String("ActionID"), Qt::CaseInsensitive) == 0;
}

bool hasLineBreakOrNul(const QString &text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\r') || c == QLatin1Char('\n') || c == QChar(0))
            return true;
    }
    return false;
}

} // namespace

const QString Message::linesSeparator = QStringLiteral("\r\n");

Message::Message(const QString &headValue, Type type)
    : m_type(type)
    , m_actionId(QUuid::createUuid())
    , m_headValue(headValue)
{
}

Message::Message(QByteArray frame)
{
    int pos = 0;
    const int size = frame.size();
    while (pos < size) {
        int end = frame.indexOf(kSeparator, pos);
        if (end < 0)
            end = size;
        const QByteArray line = frame.mid(pos, end - pos);
        pos = end + kSeparatorSize;
        if (line.isEmpty())
            continue;
        const int colon = line.indexOf(':');
        // Lines without a colon carry nothing for us: the greeting line, the end-of-command
        // marker of older servers.
        if (colon < 0)
            continue;
        QString key = QString::fromUtf8(line.constData(), colon).trimmed();
        // The value is everything after the first colon: real values hold colons too
        // ("Message: Channel does not exist: SIP/101-0000ffff", IPv6 addresses).
        QString value = QString::fromUtf8(line.constData() + colon + 1, line.size() - colon - 1).trimmed();
        const Type head = headType(key);
        if (head != None) {
            m_type = m_type == None ? head : Wrong;
            m_headValue = value;
            continue;
        }
        if (isActionIdKey(key)) {
            m_actionId = QUuid(value);
            continue;
        }
        if (key.compare(QLatin1String("Output"), Qt::CaseInsensitive) == 0) {
            // Command output: one field per line, named by its first word.
            const QString simplified = value.simplified();
            const int blank = simplified.indexOf(QLatin1Char(' '));
            if (blank < 0) {
                key = simplified;
                value.clear();
            } else {
                key = simplified.left(blank);
                value = simplified.mid(blank + 1);
            }
            if (headType(key) != None || isActionIdKey(key))
                continue;
        }
        if (!key.isEmpty())
            m_fields.insert(key, value);
    }
    if (m_type == None)
        m_type = Wrong;
}

QString Message::typeName(Type type)
{
    switch (type) {
    case None:
        return QStringLiteral("None");
    case Wrong:
        return QStringLiteral("Wrong");
    case Action:
        return QStringLiteral("Action");
    case Response:
        return QStringLiteral("Response");
    case Event:
        return QStringLiteral("Event");
    }
    return QStringLiteral("Unknown");
}

Message &Message::insert(const QString &key, const QString &value)
{
    m_fields.insert(key, value);
    return *this;
}

QByteArray Message::toByteArray() const
{
    // The manager interface takes "Key:Value" as well as "Key: Value"; we write no blank.
    QByteArray bytes;
    bytes.reserve(64 + m_fields.size() * 32);
    bytes.append(kHeadKey).append(':').append(m_headValue.toLatin1()).append(kSeparator);
    bytes.append(kActionIdKey).append(':').append(m_actionId.toByteArray()).append(kSeparator);
    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it)
        bytes.append(it.key().toLatin1()).append(':').append(it.value().toUtf8()).append(kSeparator);
    bytes.append(kSeparator);
    return bytes;
}

QString Message::toString() const
{
    const QByteArray bytes = toByteArray();
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QJsonObject Message::toJson() const
{
    QJsonObject json;
    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it)
        json.insert(it.key(), it.value());
    return json;
}

QString Message::unsafeReason() const
{
    if (hasLineBreakOrNul(m_headValue))
        return QStringLiteral("the action name contains CR, LF or NUL");
    for (auto it = m_fields.cbegin(); it != m_fields.cend(); ++it) {
        if (hasLineBreakOrNul(it.key()))
            return QStringLiteral("the key \"%1\" contains CR, LF or NUL").arg(it.key().simplified());
        if (hasLineBreakOrNul(it.value()))
            return QStringLiteral("the value of \"%1\" contains CR, LF or NUL").arg(it.key());
    }
    return QString();
}

} // namespace Orvix::PBX::Asterisk
