#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <chrono>

namespace Orvix::HttpClient {

// Every request ends by this time without a byte moving, as status 0: a portal that never answers
// must not hold the single-request CRM queue for ever.
inline constexpr std::chrono::milliseconds kDefaultTransferTimeout{60000};
// And by this time for its whole answer, however steadily the bytes come: a peer that keeps sending must
// not hold a request for ever. Counted from the last byte of the request's own body sent, so an upload
// keeps only its silence timer.
inline constexpr std::chrono::milliseconds kDefaultAnswerDeadline{300000};
// Far above the largest answer the portal, the relay or the company lookup sends; a longer one is cut
// off there and the request ends as status 0, so that such a peer cannot fill the service's memory.
inline constexpr qint64 kMaxAnswerBytes = 32 * 1024 * 1024;
// An answer's head (status line and header fields) is a few KiB: a longer one is no answer, and Qt's network
// thread would take it whole, for as long as the peer sends it.
inline constexpr qint64 kMaxHeadBytes = 64 * 1024;

// One outgoing HTTP request: URL, parameters, method code and headers. A plain value type. A redirect is
// followed only to the origin asked (scheme, host and port): a body, a password in the query or a token
// never goes to another server; a redirect there ends the request as status 0.
// The method code decides the verb and where the parameters go: in the URL's query for GET and
// DELETE, in an application/x-www-form-urlencoded body for POST. Parameters are always sent as
// percent-encoded UTF-8, whatever the process locale.
class Request
{
public:
    enum Method : int {
        Unspecified = 0, // sent as GET
        Get = 1,
        Post = 2,
        PostForm = 3,    // sent as Post
        Delete = 4,      // parameters stay in the URL; no body
    };

    Request(const QUrl &url, Method method = Get);
    Request(const QString &url, Method method = Get); // tolerant parsing
    Request(const QUrl &url, Method method, const QByteArray &query);
    Request(const QString &url, Method method, const QByteArray &query);
    Request(const QUrl &url, Method method, const QJsonObject &params);
    Request(const QString &url, Method method, const QJsonObject &params);

    Method method() const;
    bool isPost() const;
    QNetworkRequest networkRequest() const;

    // Converts with jsonToUrlQuery and hands the result to addQuery.
    void addParams(const QJsonObject &params);
    void addQueryItem(const QString &key, const QString &value);
    // An already encoded query: appended to the form body for POST, else to the URL's query.
    void addQuery(const QByteArray &query);

    // The form body for POST; for the other methods the URL's query, as it goes on the wire.
    QByteArray body() const;

    // Content-Type stays the form type: changing it is refused with a warning.
    void setHeader(QNetworkRequest::KnownHeaders header, const QVariant &value);
    QVariant header(QNetworkRequest::KnownHeaders header) const;
    void setRawHeader(const QByteArray &name, const QByteArray &value);
    QByteArray rawHeader(const QByteArray &name) const;
    bool hasRawHeader(const QByteArray &name) const;

    QUrl url() const;
    void setUrl(const QUrl &url);
    QVariant attribute(QNetworkRequest::Attribute code, const QVariant &defaultValue = QVariant()) const;
    void setAttribute(QNetworkRequest::Attribute code, const QVariant &value);
    // The object the request is sent for. When it is destroyed before the answer came, nobody waits for
    // the answer any more: the request is aborted and ends at once with status 0.
    QObject *originatingObject() const;
    void setOriginatingObject(QObject *object);
    int maximumRedirectsAllowed() const;
    void setMaximumRedirectsAllowed(int maximum);

    // Time without any byte moving after which the request ends with status 0 (0 switches it off:
    // only for callers that bound the wait themselves).
    std::chrono::milliseconds transferTimeout() const;
    void setTransferTimeout(std::chrono::milliseconds timeout);
    // Time for the whole answer once the request has gone (0 switches it off).
    std::chrono::milliseconds answerDeadline() const { return m_answerDeadline; }
    void setAnswerDeadline(std::chrono::milliseconds deadline) { m_answerDeadline = deadline; }

private:
    void init();

    QNetworkRequest m_request;
    QByteArray m_form;
    Method m_method = Get;
    std::chrono::milliseconds m_answerDeadline = kDefaultAnswerDeadline;
};

} // namespace Orvix::HttpClient
