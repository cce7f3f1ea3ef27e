#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QPair>
#include <QString>

class QHttpRequest;

namespace Orvix::HttpServer {

// A parsed incoming request, complete with its body: an immutable value, cheap to copy (the body is
// shared), so an action may keep it while it waits for an answer.
//
// Parameters come from three places: the URL query, and the body when it is a form
// ("application/x-www-form-urlencoded" or the text fields of "multipart/form-data") or a JSON object
// ("application/json"). Query and form values are always strings (keys such as "a[b]" and "a[]" nest,
// see Utils::urlQueryToJson); JSON values keep their types.
class Request
{
public:
    using Header = QPair<QByteArray, QByteArray>;

    Request();
    explicit Request(const QHttpRequest &raw);
    // For tests of actions: a request as a client would send it.
    Request(const QByteArray &method, const QByteArray &target, const QList<Header> &headers = {},
            const QByteArray &body = QByteArray());

    QString method() const; // upper case: "GET", "POST", ...
    // Percent-decoded path without the query: "/get_config".
    QString path() const;
    // The target as sent, path and query still encoded.
    QByteArray target() const { return m_target; }

    // The header's value, the name compared without regard to case; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    QList<Header> headers() const { return m_headers; }
    // The media type of the body in lower case, without parameters: "application/json".
    QByteArray contentType() const;
    QByteArray body() const { return m_body; }

    // The decoded URL query.
    QJsonObject query() const { return m_query; }
    // The form fields of the body (URL-encoded, or multipart text fields); empty otherwise.
    QJsonObject form() const { return m_form; }
    // The body as a JSON object when it is JSON; empty otherwise (see isJsonValid).
    QJsonObject json() const { return m_json; }
    bool isJson() const;
    // False when the body claims to be JSON and is not a JSON object.
    bool isJsonValid() const { return m_jsonValid; }
    // Query, with the form fields or the JSON members on top (the body wins over the query).
    QJsonObject parameters() const;
    // One member of parameters(); undefined when absent.
    QJsonValue value(const QString &key) const;
    // value(key) as text: strings as they are, numbers and booleans written out, else empty.
    QString text(const QString &key) const;

    QHostAddress remoteAddress() const { return m_remoteAddress; }
    // The address of ours that the client connected to.
    QHostAddress localAddress() const { return m_localAddress; }
    bool isSecure() const { return m_secure; }

private:
    void parseBody();
    void parseMultipart(const QByteArray &boundary);

    QByteArray m_method;
    QByteArray m_target;
    QString m_path;
    QList<Header> m_headers;
    QByteArray m_body;
    QJsonObject m_query;
    QJsonObject m_form;
    QJsonObject m_json;
    bool m_jsonValid = true;
    QHostAddress m_remoteAddress;
    QHostAddress m_localAddress;
    bool m_secure = false;
};

} // namespace Orvix::HttpServer
