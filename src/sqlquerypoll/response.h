#pragma once

#include <QJsonArray>
#include <QSharedPointer>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVector>

class QSqlQuery;

namespace Orvix::SqlQueryPoll {

class ResponseData;

// The outcome of one executed request: its error state and a cursor over its rows. The rows, field names and
// error are copied out of the query on the worker thread, so a Response is a plain value that any thread may read
// while the worker runs the next query on the same connection. Copies share the rows; each copy has its own cursor,
// which stands before the first row until next() is called.
class Response
{
public:
    // A response without a query: no error, no rows.
    Response();
    // A response without a query that carries an error (QSqlError::ErrorType and its text).
    Response(int errorType, const QString &errorText);
    // Reads everything out of an executed query; call on the thread that executed it.
    explicit Response(QSqlQuery &query);
    // Rows read by other means than a QSqlQuery (a streamed result); cut: rows were left unread.
    Response(const QStringList &fieldNames, QVector<QVector<QVariant>> rows, bool cut, int lastInsertId,
             int numRowsAffected);

    int errorType() const;
    bool isOk() const;
    QString errorText() const;

    bool next();
    QVariant value(int column) const;
    QVariant value(const QString &name) const;

    int lastInsertId() const;
    int numRowsAffected() const;

    // Column names of the result set, also when it has no rows; empty for statements without a result set.
    QJsonArray fieldNames() const;
    // The current row's values in column order; empty when the cursor is not on a row.
    QJsonArray rowValues() const;
    // Whether the result had more rows than were read (Request::limitResult).
    bool isCut() const;

private:
    bool onRow() const;

    QSharedPointer<const ResponseData> d;
    int m_row = -1;
};

} // namespace Orvix::SqlQueryPoll
