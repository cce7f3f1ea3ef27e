#include "pbx/asterisk/event.h"

#include <QHash>

namespace Orvix::PBX::Asterisk {

namespace {

const QHash<QString, Event::Types> &typeTable()
{
    // "_3WAY_END" really carries the underscore in the PBX's own table, unlike "3WAY_START".
    static const QHash<QString, Event::Types> table{
        {QStringLiteral("CHAN_START"), Event::ChanStart},
        {QStringLiteral("CHAN_END"), Event::ChanEnd},
        {QStringLiteral("BRIDGE_ENTER"), Event::BridgeEnter},
        {QStringLiteral("BRIDGE_EXIT"), Event::BridgeExit},
        {QStringLiteral("BRIDGE_START"), Event::BridgeStart},
        {QStringLiteral("BRIDGE_END"), Event::BridgeEnd},
        {QStringLiteral("BRIDGE_UPDATE"), Event::BridgeUpdate},
        {QStringLiteral("CONF_START"), Event::ConfStart},
        {QStringLiteral("CONF_END"), Event::ConfEnd},
        {QStringLiteral("CONF_ENTER"), Event::ConfEnter},
        {QStringLiteral("CONF_EXIT"), Event::ConfExit},
        {QStringLiteral("ANSWER"), Event::Answer},
        {QStringLiteral("HANGUP"), Event::Hangup},
        {QStringLiteral("FORWARD"), Event::Forward},
        {QStringLiteral("TRANSFER"), Event::Transfer},
        {QStringLiteral("BLINDTRANSFER"), Event::BlindTransfer},
        {QStringLiteral("ATTENDEDTRANSFER"), Event::AttendedTransfer},
        {QStringLiteral("PARK_START"), Event::ParkStart},
        {QStringLiteral("PARK_END"), Event::ParkEnd},
        {QStringLiteral("PICKUP"), Event::Pickup},
        {QStringLiteral("LOCAL_OPTIMIZE"), Event::LocalOptimize},
        {QStringLiteral("USER_DEFINED"), Event::UserDefined},
        {QStringLiteral("LINKEDID_END"), Event::LinkedIdEnd},
        {QStringLiteral("APP_START"), Event::AppStart},
        {QStringLiteral("APP_END"), Event::AppEnd},
        {QStringLiteral("HOOKFLASH"), Event::Hookflash},
        {QStringLiteral("3WAY_START"), Event::ThreeWayStart},
        {QStringLiteral("_3WAY_END"), Event::ThreeWayEnd},
    };
    return table;
}

bool isAsciiDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Reads `count` ASCII digits at `pos`; -1 when any of them is not a digit.
int readNumber(const QString &text, int pos, int count)
{
    int value = 0;
    for (int i = pos; i < pos + count; ++i) {
        if (!isAsciiDigit(text.at(i)))
            return -1;
        value = value * 10 + (text.at(i).unicode() - '0');
    }
    return value;
}

} // namespace

Event::Event(const QString &id, const QString &typeName, const QString &occurredAt, QString caller,
             QString extension, QString channelId, QString linkedTo, QString channelName)
    : Event(id, typeName, timeFromText(occurredAt), std::move(caller), std::move(extension),
            std::move(channelId), std::move(linkedTo), std::move(channelName))
{
}

Event::Event(const QString &id, const QString &typeName, const QDateTime &occurredAt, QString caller,
             QString extension, QString channelId, QString linkedTo, QString channelName)
    : m_id(idFromText(id))
    , m_occurredAt(occurredAt)
    , m_caller(std::move(caller))
    , m_extension(std::move(extension))
    , m_channelId(std::move(channelId))
    , m_linkedTo(std::move(linkedTo))
    , m_channelName(std::move(channelName))
{
    setType(typeName);
}

Event::Types Event::typeFromName(const QString &name)
{
    return typeTable().value(name, Unknown);
}

CelId Event::idFromText(const QString &text)
{
    // Only plain digits: toLongLong() would also take signs and surrounding blanks.
    if (text.isEmpty() || text.size() > 18)
        return 0;
    CelId value = 0;
    for (const QChar c : text) {
        if (!isAsciiDigit(c))
            return 0;
        value = value * 10 + (c.unicode() - '0');
    }
    return value;
}

QDateTime Event::timeFromText(const QString &text)
{
    // "yyyy-MM-ddTHH:mm:ss" (how a DATETIME column reads as text), optionally followed by fractional
    // seconds ("…:30.000" is what the MySQL driver's QDateTime turns into), or the same with a blank.
    if (text.size() < 19 || text.at(4) != QLatin1Char('-') || text.at(7) != QLatin1Char('-')
        || (text.at(10) != QLatin1Char('T') && text.at(10) != QLatin1Char(' '))
        || text.at(13) != QLatin1Char(':') || text.at(16) != QLatin1Char(':'))
        return {};
    const int year = readNumber(text, 0, 4);
    const int month = readNumber(text, 5, 2);
    const int day = readNumber(text, 8, 2);
    const int hour = readNumber(text, 11, 2);
    const int minute = readNumber(text, 14, 2);
    const int second = readNumber(text, 17, 2);
    if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0)
        return {};
    int msec = 0;
    if (text.size() > 19) {
        const int digits = text.size() - 20;
        if (text.at(19) != QLatin1Char('.') || digits < 1 || digits > 9
            || readNumber(text, 20, digits) < 0)
            return {};
        // Milliseconds are the first three fractional digits; finer parts are dropped.
        msec = readNumber(text, 20, qMin(digits, 3));
        for (int i = digits; i < 3; ++i)
            msec *= 10;
    }
    const QDate date(year, month, day);
    const QTime time(hour, minute, second, msec);
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::LocalTime);
}

void Event::setType(const QString &typeName)
{
    m_typeName = typeName;
    m_type = typeFromName(typeName);
}

void Event::setOccurredAt(const QString &text)
{
    m_occurredAt = timeFromText(text);
}

void Event::setOccurredAt(const QDateTime &at)
{
    m_occurredAt = at;
}

QString Event::toString() const
{
    // One pass, so that a "%5" inside a caller number is never substituted.
    return QStringLiteral("[CEL Event] id: %0; type: %1; type_name: %2; occurred_at: %3; caller: %4; "
                          "extension: %5; channel_id: %6; linked_to: %7; channel_name: %8;")
        .arg(QString::number(m_id), QString::number(m_type), m_typeName,
             m_occurredAt.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")), m_caller, m_extension,
             m_channelId, m_linkedTo, m_channelName);
}

} // namespace Orvix::PBX::Asterisk
