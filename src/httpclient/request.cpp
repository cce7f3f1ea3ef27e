#include "request.h"

#include "utils/urlquery.h"

#include <QtDebug>

namespace Orvix::HttpClient {

namespace {

QByteArray upToFirstZero(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    return zero < 0 ? bytes : bytes.left(zero);
}

} // namespace

Request::Request(const QUrl &url, Method method)
    : m_request(url)
    , m_method(method)
{
    init();
}

Request::Request(const QString &url, Method method)
    : Request(QUrl(url, QUrl::TolerantMode), method)
{
}

Request::Request(const QUrl &url, Method method, const QByteArray &query)
    : Request(url, method)
{
    addQuery(query);
}

Request::Request(const QString &url, Method method, const QByteArray &query)
    : Request(url, method)
{
    addQuery(query);
}

Request::Request(const QUrl &url, Method method, const QJsonObject &params)
    : Request(url, method)
{
    addParams(params);
}

Request::Request(const QString &url, Method method, const QJsonObject &params)
    : Request(url, method)
{
    addParams(params);
}

void Request::init()
{
    // Each hop is asked of NetworkReplyWaiter, which lets only the origin asked through.
    m_request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::UserVerifiedRedirectPolicy);
    m_request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    m_request.setTransferTimeout(int(kDefaultTransferTimeout.count()));
}

Request::Method Request::method() const
{
    return m_method;
}

bool Request::isPost() const
{
    return m_method == Post || m_method == PostForm;
}

QNetworkRequest Request::networkRequest() const
{
    return m_request;
}

void Request::addParams(const QJsonObject &params)
{
    addQuery(Utils::jsonToUrlQuery(params));
}

void Request::addQueryItem(const QString &key, const QString &value)
{
    addParams(QJsonObject{{key, value}});
}

void Request::addQuery(const QByteArray &query)
{
    const QByteArray text = upToFirstZero(query);
    if (text.isEmpty())
        return;
    if (isPost()) {
        // Kept as the encoded bytes: re-parsing into QUrlQuery and writing it back pretty-decoded
        // would send raw non-ASCII text through the local codec.
        if (!m_form.isEmpty())
            m_form.append('&');
        m_form.append(text);
        return;
    }
    QUrl url = m_request.url();
    const QString current = url.query(QUrl::FullyEncoded);
    const QString added = QString::fromUtf8(text);
    url.setQuery(current.isEmpty() ? added : current + QLatin1Char('&') + added, QUrl::TolerantMode);
    m_request.setUrl(url);
}

QByteArray Request::body() const
{
    if (isPost())
        return m_form;
    return m_request.url().query(QUrl::FullyEncoded).toUtf8();
}

void Request::setHeader(QNetworkRequest::KnownHeaders header, const QVariant &value)
{
    if (header == QNetworkRequest::ContentTypeHeader) {
        qWarning() << "Cannot change Content-Type header";
        return;
    }
    m_request.setHeader(header, value);
}

QVariant Request::header(QNetworkRequest::KnownHeaders header) const
{
    return m_request.header(header);
}

void Request::setRawHeader(const QByteArray &name, const QByteArray &value)
{
    if (name.compare("Content-Type", Qt::CaseInsensitive) == 0) {
        qWarning() << "Cannot change Content-Type header";
        return;
    }
    m_request.setRawHeader(name, value);
}

QByteArray Request::rawHeader(const QByteArray &name) const
{
    return m_request.rawHeader(name);
}

bool Request::hasRawHeader(const QByteArray &name) const
{
    return m_request.hasRawHeader(name);
}

QUrl Request::url() const
{
    return m_request.url();
}

void Request::setUrl(const QUrl &url)
{
    m_request.setUrl(url);
}

QVariant Request::attribute(QNetworkRequest::Attribute code, const QVariant &defaultValue) const
{
    return m_request.attribute(code, defaultValue);
}

void Request::setAttribute(QNetworkRequest::Attribute code, const QVariant &value)
{
    m_request.setAttribute(code, value);
}

QObject *Request::originatingObject() const
{
    return m_request.originatingObject();
}

void Request::setOriginatingObject(QObject *object)
{
    m_request.setOriginatingObject(object);
}

int Request::maximumRedirectsAllowed() const
{
    return m_request.maximumRedirectsAllowed();
}

void Request::setMaximumRedirectsAllowed(int maximum)
{
    m_request.setMaximumRedirectsAllowed(maximum);
}

std::chrono::milliseconds Request::transferTimeout() const
{
    return std::chrono::milliseconds(m_request.transferTimeout());
}

void Request::setTransferTimeout(std::chrono::milliseconds timeout)
{
    m_request.setTransferTimeout(int(timeout.count()));
}

} // namespace Orvix::HttpClient
