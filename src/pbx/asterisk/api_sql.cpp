#include "pbx/asterisk/api_sql.h"

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

SqlQueryPoll::Request recordingRequest(const QMap<QString, QString> &tableAliases,
                                       const QMap<QString, QString> &columnAliases, const QString &callId,
                                       const QString &number1, const QString &number2, const QStringList &trunks)
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

    // One placeholder per trunk and column; no trunks at all still compare with one empty text, as an
    // empty list joined into the quotes of an in-list always did.
    const QStringList trunkValues = trunks.isEmpty() ? QStringList{QString()} : trunks;
    QStringList sourceTrunks;
    QStringList callerTrunks;
    for (int i = 0; i < trunkValues.size(); ++i) {
        sourceTrunks.append(QStringLiteral(":src_trunk_%1").arg(i));
        callerTrunks.append(QStringLiteral(":cnum_trunk_%1").arg(i));
    }

    // A number matches at the end of the column, as a suffix of a longer international form; an empty
    // number matches only an empty column, or it would match every row of the call.
    const auto matches = [](const QString &column, const QString &placeholder, const QString &number) {
        return QStringLiteral("%1 %2 %3").arg(column, number.isEmpty() ? QStringLiteral("=") : QStringLiteral("like"),
                                             placeholder);
    };
    const auto pattern = [](QString number) {
        if (number.isEmpty())
            return number;
        number.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
        number.replace(QLatin1Char('%'), QStringLiteral("\\%"));
        number.replace(QLatin1Char('_'), QStringLiteral("\\_"));
        return QString(QLatin1Char('%') + number);
    };
    const QString sql =
        QStringLiteral("select %1, %2 from %3 where %4 = :call_id and (%5 or %6 or %7 or %8")
            .arg(recordingFile, callDate, table, uniqueId, matches(source, QStringLiteral(":src_number1"), number1),
                 matches(callerNumber, QStringLiteral(":cnum_number1"), number1),
                 matches(source, QStringLiteral(":src_number2"), number2),
                 matches(callerNumber, QStringLiteral(":cnum_number2"), number2))
        + QStringLiteral(" or %1 in (%2) or %3 in (%4)) and %5 <> '' and %5 is not null limit 1")
              .arg(source, sourceTrunks.join(QStringLiteral(", ")), callerNumber,
                   callerTrunks.join(QStringLiteral(", ")), recordingFile);

    const QString ends1 = pattern(number1);
    const QString ends2 = pattern(number2);
    SqlQueryPoll::Request request(sql);
    request.bindValue(QStringLiteral(":call_id"), callId)
        .bindValue(QStringLiteral(":src_number1"), ends1)
        .bindValue(QStringLiteral(":cnum_number1"), ends1)
        .bindValue(QStringLiteral(":src_number2"), ends2)
        .bindValue(QStringLiteral(":cnum_number2"), ends2);
    for (int i = 0; i < trunkValues.size(); ++i) {
        request.bindValue(sourceTrunks.at(i), trunkValues.at(i));
        request.bindValue(callerTrunks.at(i), trunkValues.at(i));
    }
    // Asked for while the links restart, it waits for the database rather than lose the recording.
    request.waitForConnection();
    return request;
}

} // namespace Orvix::PBX::Asterisk::ApiSql
