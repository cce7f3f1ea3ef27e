#include "request.h"

#include "qhttpserver/qhttprequest.h"
#include "utils/urlquery.h"

#include <QJsonDocument>
#include <QMap>
#include <QUrl>

#include <cmath>

namespace Orvix::HttpServer {

namespace {

QJsonObject decodeQuery(const QByteArray &query)
{
    if (query.isEmpty())
        return QJsonObject();
    return Utils::urlQueryToJson(QString::fromUtf8(query)).object();
}

// The value of a parameter of a header such as `multipart/form-data; boundary="x"`.
QByteArray headerParameter(const QByteArray &header, const QByteArray &name)
{
    const QList<QByteArray> parts = header.split(';');
    for (int i = 1; i < parts.size(); ++i) {
        const QByteArray part = parts.at(i).trimmed();
        const int eq = part.indexOf('=');
        if (eq <= 0 || qstricmp(part.left(eq).trimmed().constData(), name.constData()) != 0)
            continue;
        QByteArray value = part.mid(eq + 1).trimmed();
        if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
            value = value.mid(1, value.size() - 2);
        return value;
    }
    return QByteArray();
}

bool hasHeaderParameter(const QByteArray &header, const QByteArray &name)
{
    const QList<QByteArray> parts = header.split(';');
    for (int i = 1; i < parts.size(); ++i) {
        const QByteArray part = parts.at(i).trimmed();
        const int eq = part.indexOf('=');
        if (eq > 0 && qstricmp(part.left(eq).trimmed().constData(), name.constData()) == 0)
            return true;
    }
    return false;
}

} // namespace

Request::Request() = default;

Request::Request(const QHttpRequest &raw)
    : Request(raw.method(), raw.target(), raw.headers(), raw.body())
{
    m_remoteAddress = raw.remoteAddress();
    m_localAddress = raw.localAddress();
    m_secure = raw.isSecure();
}

Request::Request(const QByteArray &method, const QByteArray &target, const QList<Header> &headers,
                 const QByteArray &body)
    : m_method(method.toUpper())
    , m_target(target)
    , m_headers(headers)
    , m_body(body)
    , m_remoteAddress(QHostAddress::LocalHost)
    , m_localAddress(QHostAddress::LocalHost)
{
    m_path = QUrl::fromPercentEncoding(QHttpRequest::pathOf(m_target));
    m_query = decodeQuery(QHttpRequest::queryOf(m_target));
    parseBody();
}

QString Request::method() const
{
    return QString::fromLatin1(m_method);
}

QString Request::path() const
{
    return m_path;
}

QByteArray Request::header(const QByteArray &name) const
{
    for (const Header &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return header.second;
    }
    return QByteArray();
}

bool Request::hasHeader(const QByteArray &name) const
{
    for (const Header &header : m_headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0)
            return true;
    }
    return false;
}

QByteArray Request::contentType() const
{
    const QByteArray value = header(QByteArrayLiteral("Content-Type"));
    const int semicolon = value.indexOf(';');
    return (semicolon < 0 ? value : value.left(semicolon)).trimmed().toLower();
}

bool Request::isJson() const
{
    const QByteArray type = contentType();
    return type == "application/json" || type.endsWith("+json");
}

QJsonObject Request::parameters() const
{
    const QJsonObject &body = m_json.isEmpty() ? m_form : m_json;
    if (m_query.isEmpty())
        return body;
    if (body.isEmpty())
        return m_query;
    // Both lists are sorted: merged in one pass, every key goes on the end. Inserted into one of
    // them, each key would move all the keys after it.
    QJsonObject merged;
    auto query = m_query.begin();
    auto fromBody = body.begin();
    while (query != m_query.end() || fromBody != body.end()) {
        if (fromBody == body.end() || (query != m_query.end() && query.key() < fromBody.key())) {
            if (!body.contains(query.key()))
                merged.insert(query.key(), query.value());
            ++query;
        } else {
            merged.insert(fromBody.key(), fromBody.value());
            ++fromBody;
        }
    }
    return merged;
}

QJsonValue Request::value(const QString &key) const
{
    if (m_json.contains(key))
        return m_json.value(key);
    if (m_form.contains(key))
        return m_form.value(key);
    return m_query.value(key);
}

QString Request::text(const QString &key) const
{
    const QJsonValue v = value(key);
    switch (v.type()) {
    case QJsonValue::String:
        return v.toString();
    case QJsonValue::Bool:
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Double: {
        const double number = v.toDouble();
        // Identifiers come as whole numbers: write them out in full, not in exponent form.
        if (std::abs(number) < 1e15 && number == static_cast<double>(static_cast<qint64>(number)))
            return QString::number(static_cast<qint64>(number));
        return QString::number(number);
    }
    default:
        return QString();
    }
}

void Request::parseBody()
{
    if (m_body.isEmpty())
        return;
    const QByteArray type = contentType();
    if (isJson()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(m_body, &error);
        m_jsonValid = error.error == QJsonParseError::NoError && document.isObject();
        if (m_jsonValid)
            m_json = document.object();
    } else if (type == "application/x-www-form-urlencoded") {
        m_form = decodeQuery(m_body);
    } else if (type == "multipart/form-data") {
        const QByteArray boundary = headerParameter(header(QByteArrayLiteral("Content-Type")), "boundary");
        if (!boundary.isEmpty())
            parseMultipart(boundary);
    }
}

void Request::parseMultipart(const QByteArray &boundary)
{
    // Gathered in key order first: inserted one by one a QJsonObject moves every later key, and
    // fields sent in falling order would cost the square of their number.
    QMap<QString, QJsonValue> fields;
    const QByteArray delimiter = "--" + boundary;
    int position = m_body.indexOf(delimiter);
    while (position >= 0) {
        position += delimiter.size();
        if (m_body.mid(position, 2) == "--")
            break; // the closing delimiter
        const int headersStart = m_body.indexOf("\r\n", position);
        if (headersStart < 0)
            break;
        const int headersEnd = m_body.indexOf("\r\n\r\n", headersStart);
        if (headersEnd < 0)
            break;
        const int next = m_body.indexOf("\r\n" + delimiter, headersEnd + 4);
        if (next < 0)
            break;
        const QList<QByteArray> partHeaders = m_body.mid(headersStart + 2, headersEnd - headersStart - 2).split('\n');
        QByteArray disposition;
        for (const QByteArray &line : partHeaders) {
            const int colon = line.indexOf(':');
            if (colon > 0 && qstricmp(line.left(colon).trimmed().constData(), "Content-Disposition") == 0)
                disposition = line.mid(colon + 1).trimmed();
        }
        const QByteArray name = headerParameter(disposition, "name");
        // Files are not form fields: only text parts are kept.
        if (!name.isEmpty() && !hasHeaderParameter(disposition, "filename")) {
            const QByteArray content = m_body.mid(headersEnd + 4, next - headersEnd - 4);
            fields.insert(QString::fromUtf8(name), QString::fromUtf8(content));
        }
        position = next + 2;
    }
    for (auto it = fields.constBegin(); it != fields.constEnd(); ++it)
        m_form.insert(it.key(), it.value());
}

} // namespace Orvix::HttpServer
