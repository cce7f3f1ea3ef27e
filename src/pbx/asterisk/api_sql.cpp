#include "pbx/asterisk/api_sql.h"

#include <algorithm>

namespace Orvix::PBX::Asterisk::ApiSql {

QString quoteIdentifier(const QString &name)
{
    QString quoted = name;
    quoted.replace(QLatin1Char('`'), QStringLiteral("``"));
    return QLatin1Char('`') + quoted + QLatin1Char('`');
}

QString celEventsQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases)
{
    const QString table = quoteIdentifier(tableAliases.value(QStringLiteral("cel")));
    const auto column = [&](const char *key) {
        return table + QLatin1Char('.') + quoteIdentifier(columnAliases.value(QLatin1String(key)));
    };
    const QString id = column("cel_id");
    const QString eventTime = column("cel_eventtime");
    return QStringLiteral("select%1,%2,%3,%4,%5,%6,%7,%8 from %9 where ")
               .arg(id, column("cel_eventtype"), eventTime, column("cel_cid_num"), column("cel_exten"),
                    column("cel_uniqueid"), column("cel_linkedid"), column("cel_channame"), table)
        + QStringLiteral("%1 >= :history_start_date and %2 > :last_id order by %2 asc limit %3")
              .arg(eventTime, id)
              .arg(kCelBatchLimit);
}

QString celBoundsQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases)
{
    const QString table = quoteIdentifier(tableAliases.value(QStringLiteral("cel")));
    const QString id = table + QLatin1Char('.') + quoteIdentifier(columnAliases.value(QStringLiteral("cel_id")));
    return QStringLiteral("select min(%1), max(%1) from %2").arg(id, table);
}

QString celProbeQuery(const QMap<QString, QString> &tableAliases, const QMap<QString, QString> &columnAliases)
{
    const QString table = quoteIdentifier(tableAliases.value(QStringLiteral("cel")));
    const QString id = table + QLatin1Char('.') + quoteIdentifier(columnAliases.value(QStringLiteral("cel_id")));
    const QString eventTime =
        table + QLatin1Char('.') + quoteIdentifier(columnAliases.value(QStringLiteral("cel_eventtime")));
    return QStringLiteral("select %1, %2 >= :history_start_date from %3 where %1 >= :id order by %1 asc limit 1")
        .arg(id, eventTime, table);
}

namespace {

// The texts under which a number of the call stands in the CDR: as it is, with or without a leading "+",
// or behind a configured prefix (the CRM and the link carry the number without it). A shorter text, a part
// of the number, never matches. An empty number stands only for an empty column (an anonymous caller): bound
// as an empty text, since a null one is bound as SQL NULL, which equals nothing.
QStringList cdrForms(const QString &number, const QStringList &prefixes)
{
    if (number.isEmpty())
        return {QStringLiteral("")};
    const bool plus = number.startsWith(QLatin1Char('+'));
    QStringList forms{number, plus ? number.mid(1) : QLatin1Char('+') + number};
    for (const QString &prefix : prefixes) {
        const QString form = prefix.trimmed() + number;
        if (!forms.contains(form))
            forms.append(form);
    }
    return forms;
}

// A caller id of letters only: a carrier's word for a withheld caller ("anonymous", "Restricted"), or the call
// tracker's stand-in for one who came with no caller id at all, whose CDR row holds no number.
bool isWithheldCaller(const QString &number)
{
    return !number.isEmpty() && std::none_of(number.cbegin(), number.cend(), [](QChar c) { return c.isDigit(); });
}

} // namespace

SqlQueryPoll::Request recordingRequest(const QMap<QString, QString> &tableAliases,
                                       const QMap<QString, QString> &columnAliases, const QString &callId,
                                       const QString &number1, const QString &number2, const QStringList &trunks,
                                       const QStringList &prefixes)
{
    const QString table = quoteIdentifier(tableAliases.value(QStringLiteral("cdr")));
    const auto column = [&](const char *key) {
        return table + QLatin1Char('.') + quoteIdentifier(columnAliases.value(QLatin1String(key)));
    };
    const QString uniqueId = column("cdr_uniqueid");
    const QString callDate = column("cdr_calldate");
    const QString source = column("cdr_src");
    const QString callerNumber = column("cdr_cnum");
    const QString recordingFile = column("cdr_recordingfile");

    // Every value is bound: one placeholder per value and column.
    QStringList conditions;
    QList<QPair<QString, QString>> values;
    const auto oneOf = [&](const QString &name, const QStringList &texts) {
        for (const auto &[columnName, tag] : {std::pair{source, QStringLiteral("src")},
                                               std::pair{callerNumber, QStringLiteral("cnum")}}) {
            QStringList placeholders;
            for (const QString &text : texts) {
                placeholders.append(QStringLiteral(":%1_%2_%3").arg(tag, name).arg(placeholders.size()));
                values.append({placeholders.last(), text});
            }
            conditions.append(QStringLiteral("%1 in (%2)").arg(columnName, placeholders.join(QStringLiteral(", "))));
        }
    };
    if (isWithheldCaller(number1) || isWithheldCaller(number2)) {
        // Nothing of a withheld caller is there to match: the call alone finds its row.
        conditions.append(QStringLiteral("1 = 1"));
    } else {
        oneOf(QStringLiteral("number1"), cdrForms(number1, prefixes));
        oneOf(QStringLiteral("number2"), cdrForms(number2, prefixes));
        // A row whose caller is a trunk carries neither number.
        if (!trunks.isEmpty())
            oneOf(QStringLiteral("trunk"), trunks);
    }

    const QString sql = QStringLiteral("select %1, %2 from %3 where %4 = :call_id and (%5) and %6 <> '' and %6 is not "
                                       "null limit 1")
                            .arg(recordingFile, callDate, table, uniqueId, conditions.join(QStringLiteral(" or ")),
                                 recordingFile);
    SqlQueryPoll::Request request(sql);
    request.bindValue(QStringLiteral(":call_id"), callId);
    for (const auto &[placeholder, value] : values)
        request.bindValue(placeholder, value);
    return request;
}

} // namespace Orvix::PBX::Asterisk::ApiSql
