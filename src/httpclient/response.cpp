#include "response.h"

#include "httpclient/networkreplywaiter.h"

namespace Orvix::HttpClient {

Response::Response(const QSharedPointer<QNetworkReply> &reply, const Request &request)
    : m_reply(reply)
    , m_guard(reply.data())
    , m_request(request)
{
}

Response::~Response() = default;

QByteArray Response::body()
{
    // An aborted reply (time-out) is closed, and reading a closed device writes a warning to the log.
    if (!m_guard || !m_guard->isOpen())
        return QByteArray();
    return m_guard->readAll();
}

QJsonDocument Response::json()
{
    QByteArray bytes = body();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    return QJsonDocument::fromJson(bytes);
}

int Response::statusCode() const
{
    // A reply cut off after its head came has a status, but no answer.
    if (!m_guard || m_guard->property(kCutProperty).isValid())
        return 0;
    return m_guard->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QNetworkReply *Response::reply() const
{
    return m_guard.data();
}

Request Response::request() const
{
    return m_request;
}

void Response::setRequest(const Request &request)
{
    m_request = request;
}

QNetworkReply::NetworkError Response::error() const
{
    if (m_guard && m_guard->property(kCutErrorProperty).isValid())
        return QNetworkReply::NetworkError(m_guard->property(kCutErrorProperty).toInt());
    return m_guard ? m_guard->error() : QNetworkReply::OperationCanceledError;
}

QString Response::errorString() const
{
    return m_guard ? m_guard->errorString() : QStringLiteral("Network access was destroyed");
}

QUrl Response::url() const
{
    return m_guard ? m_guard->url() : m_request.url();
}

QByteArray Response::rawHeader(const QByteArray &name) const
{
    return m_guard ? m_guard->rawHeader(name) : QByteArray();
}

bool Response::isFinished() const
{
    return !m_guard || m_guard->isFinished();
}

} // namespace Orvix::HttpClient
