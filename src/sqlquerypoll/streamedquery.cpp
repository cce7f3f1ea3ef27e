#include "streamedquery.h"

#include "sqlquerypoll/response.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QVariant>

#include <mysql.h>

namespace Orvix::SqlQueryPoll {

namespace {

// The bytes a value takes in the compact JSON of the answer, with the comma after it: a text as escaped there (a
// control byte is six, "\u0001"), since the cap is on the answer as sent.
qint64 jsonCost(const QVariant &value)
{
    const QJsonValue json = QJsonValue::fromVariant(value);
    if (!json.isString())
        return QJsonDocument(QJsonArray{json}).toJson(QJsonDocument::Compact).size() - 1;
    const QString text = json.toString();
    qint64 cost = 3;
    for (int i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (c < 0x20) {
            cost += (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') ? 2 : 6;
        } else if (c == '"' || c == '\\') {
            cost += 2;
        } else if (c < 0x80) {
            cost += 1;
        } else if (c < 0x800) {
            cost += 2;
        } else if (!QChar::isSurrogate(c)) {
            cost += 3;
        } else if (QChar::isHighSurrogate(c) && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            cost += 4; // the pair is one character of four bytes
            ++i;
        } else {
            cost += 6; // a lone half is escaped
        }
    }
    return cost;
}

// The type Qt's MySQL driver gives a column, so that a streamed row reads as a QSqlQuery's would.
QVariant::Type columnType(const MYSQL_FIELD &field)
{
    const bool isUnsigned = field.flags & UNSIGNED_FLAG;
    switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_INT24:
        return isUnsigned ? QVariant::UInt : QVariant::Int;
    case MYSQL_TYPE_YEAR:
        return QVariant::Int;
    case MYSQL_TYPE_LONGLONG:
        return isUnsigned ? QVariant::ULongLong : QVariant::LongLong;
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
        return QVariant::Double;
    case MYSQL_TYPE_DATE:
        return QVariant::Date;
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
        return QVariant::DateTime;
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_BLOB:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_GEOMETRY:
        return (field.flags & BINARY_FLAG) ? QVariant::ByteArray : QVariant::String;
    default:
        return QVariant::String; // TIME (it passes 24 h), ENUM, SET and the rest
    }
}

QVariant columnValue(QVariant::Type type, const char *data, unsigned long length)
{
    if (!data)
        return QVariant(type);
    if (type == QVariant::ByteArray)
        return QByteArray(data, int(length));
    QString text = QString::fromUtf8(data, int(length));
    switch (type) {
    case QVariant::Int:
        return text.toInt();
    case QVariant::UInt:
        return text.toUInt();
    case QVariant::LongLong:
        return text.toLongLong();
    case QVariant::ULongLong:
        return text.toULongLong();
    case QVariant::Double:
        return text.toDouble();
    case QVariant::Date:
        return QDate::fromString(text, Qt::ISODate);
    case QVariant::DateTime:
        if (text.size() > 10 && text.at(10) == QLatin1Char(' '))
            text[10] = QLatin1Char('T');
        return QDateTime::fromString(text, Qt::ISODate);
    default:
        return text;
    }
}

StreamedQuery::Outcome failed(MYSQL *mysql, Response *response, QString *nativeError)
{
    *nativeError = QString::number(mysql_errno(mysql));
    *response = Response(QSqlError::StatementError, QString::fromUtf8(mysql_error(mysql)));
    return StreamedQuery::Outcome::Failed;
}

MYSQL *mysqlOf(QSqlDatabase &db)
{
    const QVariant handle = db.isOpen() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "MYSQL*") != 0)
        return nullptr;
    return *static_cast<MYSQL *const *>(handle.constData());
}

} // namespace

quint64 StreamedQuery::connectionId(QSqlDatabase &db)
{
    MYSQL *mysql = mysqlOf(db);
    return mysql ? mysql_thread_id(mysql) : 0;
}

StreamedQuery::Outcome StreamedQuery::run(QSqlDatabase &db, const QString &sql, int maxRows, qint64 maxBytes,
                                          Response *response, QString *nativeError)
{
    MYSQL *mysql = mysqlOf(db);
    if (!mysql)
        return Outcome::Unsupported;

    // One statement per request, as a prepared one is: a second statement in the text would run unseen, its
    // failure unanswered. Qt's driver opens its connections with several statements allowed.
    // It is allowed again once the statement's answer is read, since a command sent before would break it.
    mysql_set_server_option(mysql, MYSQL_OPTION_MULTI_STATEMENTS_OFF);
    const auto allowAgain = [mysql](Outcome outcome) {
        mysql_set_server_option(mysql, MYSQL_OPTION_MULTI_STATEMENTS_ON);
        return outcome;
    };
    const QByteArray text = sql.toUtf8();
    if (mysql_real_query(mysql, text.constData(), static_cast<unsigned long>(text.size())) != 0)
        return allowAgain(failed(mysql, response, nativeError));
    MYSQL_RES *result = mysql_use_result(mysql);
    if (!result) {
        if (mysql_field_count(mysql) != 0)
            return allowAgain(failed(mysql, response, nativeError));
        // A statement without a result set.
        *response = Response({}, {}, false, int(mysql_insert_id(mysql)), int(mysql_affected_rows(mysql)));
        return allowAgain(Outcome::Done);
    }

    const unsigned int columns = mysql_num_fields(result);
    const MYSQL_FIELD *fields = mysql_fetch_fields(result);
    QStringList names;
    QVector<QVariant::Type> types;
    for (unsigned int i = 0; i < columns; ++i) {
        names.append(QString::fromUtf8(fields[i].name, int(fields[i].name_length)));
        types.append(columnType(fields[i]));
    }
    QVector<QVector<QVariant>> rows;
    qint64 bytes = 2; // the list's brackets
    bool cut = false;
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        if (rows.size() >= maxRows) {
            cut = true;
            break;
        }
        const unsigned long *lengths = mysql_fetch_lengths(result);
        QVector<QVariant> values(static_cast<int>(columns));
        qint64 size = 2; // the row's brackets
        for (unsigned int i = 0; i < columns; ++i) {
            values[int(i)] = columnValue(types.at(int(i)), row[i], lengths[i]);
            size += jsonCost(values.at(int(i)));
        }
        if (bytes + size > maxBytes) {
            cut = true;
            break;
        }
        bytes += size;
        rows.append(values);
    }
    // A row that did not come for a lost connection ends the result as an error, not as its end.
    const bool error = !cut && mysql_errno(mysql) != 0;
    if (error)
        failed(mysql, response, nativeError);
    // What is left of a cut result would be read to its end, row by row, holding the connection meanwhile: the
    // connection is cut instead (the request closes its session), and the server stops the statement.
    if (cut)
        mariadb_cancel(mysql);
    mysql_free_result(result);
    if (error)
        return allowAgain(Outcome::Failed);
    *response = Response(names, std::move(rows), cut, 0, -1);
    return cut ? Outcome::Done : allowAgain(Outcome::Done);
}

} // namespace Orvix::SqlQueryPoll
