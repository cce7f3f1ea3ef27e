#include "qhttprequest.h"

QHttpRequest::QHttpRequest(QObject *parent)
    : QObject(parent)
{
}

QByteArray QHttpRequest::path() const
{
    const int mark = m_target.indexOf('?');
    QByteArray path = mark < 0 ? m_target : m_target.left(mark);
    const int hash = path.indexOf('#');
    return hash < 0 ? path : path.left(hash);
}

QByteArray QHttpRequest::query() const
{
    const int mark = m_target.indexOf('?');
    if (mark < 0)
        return QByteArray();
    QByteArray query = m_target.mid(mark + 1);
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
