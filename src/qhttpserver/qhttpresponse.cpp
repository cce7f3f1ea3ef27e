#include "qhttpresponse.h"

#include "qhttpconnection.h"
#include "qhttprequest.h"

#include <utility>

QHttpResponse::QHttpResponse(QHttpConnection *connection, QHttpRequest *request, bool keepAlive, bool headOnly)
    : QObject(connection)
    , m_connection(connection)
    , m_request(request)
    , m_keepAlive(keepAlive)
    , m_headOnly(headOnly)
{
    if (m_request) {
        m_request->setParent(this);
        m_http10 = m_request->majorVersion() == 1 && m_request->minorVersion() == 0;
    }
}

QHttpResponse::~QHttpResponse() = default;

void QHttpResponse::setHeader(const QByteArray &name, const QByteArray &value)
{
    if (m_headWritten)
        return;
    for (auto &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0) {
            header.second = value;
            return;
        }
    }
    m_headers.append({name, value});
}

QByteArray QHttpResponse::header(const QByteArray &name) const
{
    for (const auto &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return header.second;
    }
    return QByteArray();
}

QByteArray QHttpResponse::reasonPhrase(int status)
{
    switch (status) {
    case 100: return QByteArrayLiteral("Continue");
    case 200: return QByteArrayLiteral("OK");
    case 201: return QByteArrayLiteral("Created");
    case 204: return QByteArrayLiteral("No Content");
    case 206: return QByteArrayLiteral("Partial Content");
    case 301: return QByteArrayLiteral("Moved Permanently");
    case 302: return QByteArrayLiteral("Found");
    case 304: return QByteArrayLiteral("Not Modified");
    case 400: return QByteArrayLiteral("Bad Request");
    case 401: return QByteArrayLiteral("Unauthorized");
    case 403: return QByteArrayLiteral("Forbidden");
    case 404: return QByteArrayLiteral("Not Found");
    case 405: return QByteArrayLiteral("Method Not Allowed");
    case 408: return QByteArrayLiteral("Request Timeout");
    case 411: return QByteArrayLiteral("Length Required");
    case 413: return QByteArrayLiteral("Payload Too Large");
    case 414: return QByteArrayLiteral("URI Too Long");
    case 415: return QByteArrayLiteral("Unsupported Media Type");
    case 422: return QByteArrayLiteral("Unprocessable Entity");
    case 429: return QByteArrayLiteral("Too Many Requests");
    case 431: return QByteArrayLiteral("Request Header Fields Too Large");
    case 500: return QByteArrayLiteral("Internal Server Error");
    case 501: return QByteArrayLiteral("Not Implemented");
    case 502: return QByteArrayLiteral("Bad Gateway");
    case 503: return QByteArrayLiteral("Service Unavailable");
    case 504: return QByteArrayLiteral("Gateway Timeout");
    default: return QByteArrayLiteral("Unknown");
    }
}

void QHttpResponse::writeHead(int status)
{
    if (m_headWritten || m_finished)
        return;
    m_headWritten = true;
    const bool hasLength = !header("Content-Length").isEmpty();
    if (!hasLength) {
        // Without a length the end of the body must be marked: chunks in HTTP/1.1, the close in 1.0.
        if (m_http10 || m_headOnly)
            m_keepAlive = m_keepAlive && m_headOnly;
        else
            m_chunked = true;
    }
    QByteArray head;
    head.reserve(256);
    head += m_http10 ? "HTTP/1.0 " : "HTTP/1.1 ";
    head += QByteArray::number(status);
    head += ' ';
    head += reasonPhrase(status);
    head += "\r\n";
    for (const auto &header : qAsConst(m_headers)) {
        if (qstricmp(header.first.constData(), "Connection") == 0
            || qstricmp(header.first.constData(), "Transfer-Encoding") == 0)
            continue;
        head += header.first;
        head += ": ";
        head += header.second;
        head += "\r\n";
    }
    if (m_chunked)
        head += "Transfer-Encoding: chunked\r\n";
    if (!m_keepAlive)
        head += "Connection: close\r\n";
    else if (m_http10)
        head += "Connection: keep-alive\r\n";
    head += "\r\n";
    if (!m_keepAlive)
        m_connection->closeAfterCurrent(this);
    // Leaves with the first bytes of the body: a head sent alone would wait for the client's
    // acknowledgement before the body could follow (Nagle), as long as 40 ms.
    m_head = head;
}

void QHttpResponse::write(const QByteArray &data)
{
    if (m_finished)
        return;
    if (!m_headWritten)
        writeHead(200);
    if (data.isEmpty() || m_headOnly)
        return;
    if (m_chunked) {
        QByteArray chunk = QByteArray::number(data.size(), 16);
        chunk += "\r\n";
        chunk += data;
        chunk += "\r\n";
        send(chunk);
    } else {
        send(data);
    }
}

void QHttpResponse::end(const QByteArray &data)
{
    if (m_finished)
        return;
    if (!m_headWritten && header("Content-Length").isEmpty())
        setHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(data.size()));
    write(data);
    if (m_chunked && !m_headOnly)
        send(QByteArrayLiteral("0\r\n\r\n"));
    else if (!m_head.isEmpty())
        send(QByteArray());
    m_finished = true;
    m_connection->responseFinished(this);
    Q_EMIT finished();
}

void QHttpResponse::send(const QByteArray &bytes)
{
    if (m_clientGone)
        return;
    const QByteArray out = m_head.isEmpty() ? bytes : std::exchange(m_head, QByteArray()) + bytes;
    if (!m_connection->writeFor(this, out))
        m_buffer += out;
    m_connection->recountUnsent();
}

qint64 QHttpResponse::bytesToWrite() const
{
    return m_buffer.size() + m_connection->socketBytesToWrite(this);
}
