#include "response.h"

#include <QJsonValue>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVector>

namespace Orvix::SqlQueryPoll {

class ResponseData
{
public:
    bool hasQuery = false;
    int errorType = QSqlError::NoError;
    QString errorText;
    QStringList fieldNames;
    QVector<QVector<QVariant>> rows;
    int lastInsertId = -1;
    int numRowsAffected = -1;
    bool cut = false;
};

Response::Response()
    : d(QSharedPointer<const ResponseData>::create())
{
}

Response::Response(int errorType, const QString &errorText)
{
    auto data = QSharedPointer<ResponseData>::create();
    data->errorType = errorType;
    data->errorText = errorText;
    d = data;
}

Response::Response(QSqlQuery &query)
{
    auto data = QSharedPointer<ResponseData>::create();
    data->hasQuery = true;
    const QSqlError error = query.lastError();
    data->errorType = error.type();
    data->errorText = error.text();
    data->lastInsertId = query.lastInsertId().toInt();
    data->numRowsAffected = query.numRowsAffected();
    if (error.type() == QSqlError::NoError && query.isSelect()) {
        // The record describes the columns even when no row follows.
        const QSqlRecord record = query.record();
        const int columns = record.count();
        data->fieldNames.reserve(columns);
        for (int i = 0; i < columns; ++i)
            data->fieldNames.append(record.fieldName(i));
        if (query.size() > 0)
            data->rows.reserve(query.size());
        while (query.next()) {
            QVector<QVariant> row(columns);
            for (int i = 0; i < columns; ++i)
                row[i] = query.value(i);
            data->rows.append(row);
        }
    }
    d = data;
}

Response::Response(const QStringList &fieldNames, QVector<QVector<QVariant>> rows, bool cut, int lastInsertId,
                   int numRowsAffected)
{
    auto data = QSharedPointer<ResponseData>::create();
    data->hasQuery = true;
    data->fieldNames = fieldNames;
    data->rows = std::move(rows);
    data->cut = cut;
    data->lastInsertId = lastInsertId;
    data->numRowsAffected = numRowsAffected;
    d = data;
}

bool Response::isCut() const
{
    return d->cut;
}

int Response::errorType() const
{
    return d->errorType;
}

bool Response::isOk() const
{
    return d->errorType == QSqlError::NoError;
}

QString Response::errorText() const
{
    return d->errorText;
}

bool Response::next()
{
    if (m_row < d->rows.size())
        ++m_row;
    return onRow();
}

bool Response::onRow() const
{
    return m_row >= 0 && m_row < d->rows.size();
}

QVariant Response::value(int column) const
{
    if (!onRow())
        return {};
    return d->rows.at(m_row).value(column);
}

QVariant Response::value(const QString &name) const
{
    // Like QSqlRecord: an exact name first, then regardless of case.
    int column = d->fieldNames.indexOf(name);
    for (int i = 0; column < 0 && i < d->fieldNames.size(); ++i) {
        if (d->fieldNames.at(i).compare(name, Qt::CaseInsensitive) == 0)
            column = i;
    }
    return column < 0 ? QVariant() : value(column);
}

int Response::lastInsertId() const
{
    return d->lastInsertId;
}

int Response::numRowsAffected() const
{
    return d->numRowsAffected;
}

QJsonArray Response::fieldNames() const
{
    return QJsonArray::fromStringList(d->fieldNames);
}

QJsonArray Response::rowValues() const
{
    QJsonArray values;
    if (!onRow())
        return values;
    for (const QVariant &value : d->rows.at(m_row))
        values.append(QJsonValue::fromVariant(value));
    return values;
}

} // namespace Orvix::SqlQueryPoll
