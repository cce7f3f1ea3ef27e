#include "urlquery.h"

#include <QJsonArray>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>

namespace Orvix::Utils {

namespace {

// Beyond 2^63 the double cannot be an id any more; write it out in full anyway.
constexpr double kInt64Limit = 9.2e18;

QByteArray numberText(double value)
{
    if (std::trunc(value) == value) {
        if (std::abs(value) < kInt64Limit)
            return QByteArray::number(qint64(value));
        return QByteArray::number(value, 'f', 0);
    }
    return QByteArray::number(value, 'g', 6);
}

void appendPairs(QList<QByteArray> &pairs, const QByteArray &key, const QJsonValue &value);

void appendObjectPairs(QList<QByteArray> &pairs, const QByteArray &prefix, const QJsonObject &object)
{
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QByteArray encodedKey = QUrl::toPercentEncoding(it.key());
        const QByteArray fullKey = prefix.isEmpty() ? encodedKey : prefix + '[' + encodedKey + ']';
        appendPairs(pairs, fullKey, it.value());
    }
}

void appendPairs(QList<QByteArray> &pairs, const QByteArray &key, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        pairs.append(key + '=');
        break;
    case QJsonValue::Bool:
        pairs.append(key + (value.toBool() ? "=true" : "=false"));
        break;
    case QJsonValue::Double:
        pairs.append(key + '=' + numberText(value.toDouble()));
        break;
    case QJsonValue::String:
        pairs.append(key + '=' + QUrl::toPercentEncoding(value.toString()));
        break;
    case QJsonValue::Array: {
        // The portal (PHP) opens a new element for every "[]", so an object or list inside a list
        // names its element by index, else {"P": [{"VALUE": v, "TYPE": t}]} would arrive as two
        // elements, one holding VALUE and one TYPE. Plain values keep "[]".
        const QJsonArray array = value.toArray();
        for (int i = 0; i < array.size(); ++i) {
            const QJsonValue element = array.at(i);
            const bool container = element.isObject() || element.isArray();
            appendPairs(pairs, key + (container ? '[' + QByteArray::number(i) + ']' : QByteArray("[]")), element);
        }
        break;
    }
    case QJsonValue::Object:
        appendObjectPairs(pairs, key, value.toObject());
        break;
    }
}

// Always UTF-8: under LANG=C the local 8-bit codec would turn every Cyrillic letter into "?".
QString percentDecoded(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.replace('+', "%20");
    return QUrl::fromPercentEncoding(bytes);
}

struct Segment
{
    QString name;
    QString rest;
    bool valid = true;
};

// "a[b][c]" -> "a" + "[b][c]"; "[b][c]" -> "b" + "[c]"; "a]" and "[a[b]" are invalid.
Segment firstSegment(const QString &key)
{
    Segment segment;
    bool open = false;
    for (int i = 0; i < key.size(); ++i) {
        const QChar c = key.at(i);
        if (c == QLatin1Char('[')) {
            if (i == 0) {
                open = true;
                continue;
            }
            if (open) {
                segment.valid = false;
                return segment;
            }
            segment.rest = key.mid(i);
            return segment;
        }
        if (c == QLatin1Char(']')) {
            if (!open)
                segment.valid = false;
            else
                segment.rest = key.mid(i + 1);
            return segment;
        }
        segment.name.append(c);
    }
    return segment;
}

QJsonObject arrayAsObject(const QJsonArray &array)
{
    QJsonObject object;
    for (int i = 0; i < array.size(); ++i)
        object.insert(QString::number(i), array.at(i));
    return object;
}

QJsonValue put(const QJsonValue &document, QString segment, const QJsonValue &value)
{
    if (segment.isEmpty()) {
        if (!document.isObject() || document.toObject().isEmpty()) {
            QJsonArray array = document.toArray();
            array.append(value);
            return array;
        }
        const QJsonObject object = document.toObject();
        int n = 0;
        while (object.contains(QString::number(n)))
            ++n;
        segment = QString::number(n);
    }
    QJsonObject object = document.isArray() ? arrayAsObject(document.toArray()) : document.toObject();
    object.insert(segment, value);
    return object;
}

// Returns the document with the value stored under the key; an invalid key leaves it unchanged.
QJsonValue store(const QJsonValue &document, const QString &key, const QJsonValue &value, bool *stored)
{
    const Segment segment = firstSegment(key);
    if (!segment.valid) {
        *stored = false;
        return document;
    }
    *stored = true;
    if (segment.rest.isEmpty())
        return put(document, segment.name, value);

    QJsonValue child;
    if (document.isObject()) {
        const QJsonValue current = document.toObject().value(segment.name);
        if (current.isArray() || current.isObject())
            child = current;
    }
    bool childStored = false;
    child = store(child, segment.rest, value, &childStored);
    return put(document, segment.name, child.isArray() ? child : QJsonValue(child.toObject()));
}

} // namespace

QByteArray jsonToUrlQuery(const QJsonObject &object)
{
    QList<QByteArray> pairs;
    appendObjectPairs(pairs, QByteArray(), object);
    return pairs.join('&');
}

QJsonDocument urlQueryToJson(const QString &query)
{
    QJsonValue document;
    const QUrlQuery parsed(query);
    // Fully encoded items, decoded once here: a pretty-decoded "%2B" or "%25" would be decoded twice.
    const auto items = parsed.queryItems(QUrl::FullyEncoded);
    for (const auto &item : items) {
        bool stored = false;
        const QJsonValue next = store(document, percentDecoded(item.first), percentDecoded(item.second), &stored);
        if (stored)
            document = next;
    }
    if (document.isArray())
        return QJsonDocument(document.toArray());
    if (document.isObject())
        return QJsonDocument(document.toObject());
    return QJsonDocument();
}

} // namespace Orvix::Utils
