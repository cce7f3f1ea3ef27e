#include "fakehttp.h"

#include <QTcpSocket>

namespace Orvix::Tests {

namespace {

constexpr int kMaxHeaderBytes = 64 * 1024;

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 202: return "Accepted";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 402: return "Payment Required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

} // namespace

FakeHttpHead FakeHttpHead::parse(const QByteArray &buffer, int headEnd)
{
    FakeHttpHead head;
    const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    head.wellFormed = requestLine.size() == 3;
    head.verb = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const int question = target.indexOf('?');
    head.path = QString::fromUtf8(QByteArray::fromPercentEncoding(question < 0 ? target : target.left(question)));
    head.rawQuery = question < 0 ? QByteArray() : target.mid(question + 1);
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        if (colon > 0)
            head.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return head;
}

int fakeHttpHeadEnd(const QByteArray &buffer, QTcpSocket *socket)
{
    const int headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0 && buffer.size() > kMaxHeaderBytes)
        socket->abort();
    return headEnd;
}

QByteArray fakeHttpHeader(const FakeHttpHeaders &headers, const QByteArray &name)
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return QByteArray();
}

QByteArray fakeHttpStatusLine(int status)
{
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
}

} // namespace Orvix::Tests
