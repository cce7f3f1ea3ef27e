#include "qhttprequest.h"

#include "qhttpconnection.h"

QHttpRequest::QHttpRequest(QObject *parent)
    : QObject(parent)
{
}

QHttpRequest::~QHttpRequest()
{
    QHttpConnection::countBodyBytes(m_budgetClient, -m_budgetedBytes);
}

QByteArray QHttpRequest::path() const
{
    return pathOf(m_target);
}

QByteArray QHttpRequest::query() const
{
    return queryOf(m_target);
}

QByteArray QHttpRequest::pathOf(const QByteArray &target)
{
    const int mark = target.indexOf('?');
    QByteArray path = mark < 0 ? target : target.left(mark);
    const int hash = path.indexOf('#');
    return hash < 0 ? path : path.left(hash);
}

QByteArray QHttpRequest::queryOf(const QByteArray &target)
{
    const int mark = target.indexOf('?');
    if (mark < 0)
        return QByteArray();
    QByteArray query = target.mid(mark + 1);
    const int hash = query.indexOf('#');
    return hash < 0 ? query : query.left(hash);
}

QByteArray QHttpRequest::header(const QByteArray &name) const
{
    for (const Header &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return header.second;
    }
    return QByteArray();
}

bool QHttpRequest::hasHeader(const QByteArray &name) const
{
    for (const Header &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return true;
    }
    return false;
}
