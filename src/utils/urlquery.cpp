#include "urlquery.h"

#include <QJsonArray>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>
#include <map>
#include <vector>

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

// Deeper keys are dropped whole, as PHP drops them past its nesting limit: each level costs a stack
// frame here and in QJsonValue's own copies, and a form body may be 16 MiB of "[x]".
constexpr int kMaxDepth = 32;

struct Segment
{
    QString name;
    int restStart = -1; // where the next segment starts in the key, -1 when this is the last one
    bool valid = true;
};

// "a[b][c]" from 0 -> "a", next at 1; "[b][c]" -> "b", next at 3; "a]" and "[a[b]" are invalid.
Segment segmentAt(const QString &key, int from)
{
    Segment segment;
    bool open = false;
    for (int i = from; i < key.size(); ++i) {
        const QChar c = key.at(i);
        if (c == QLatin1Char('[')) {
            if (i == from) {
                open = true;
                continue;
            }
            if (open) {
                segment.valid = false;
                return segment;
            }
            segment.name = key.mid(from, i - from);
            segment.restStart = i;
            return segment;
        }
        if (c == QLatin1Char(']')) {
            if (!open) {
                segment.valid = false;
            } else {
                segment.name = key.mid(from + 1, i - from - 1);
                segment.restStart = i + 1 < key.size() ? i + 1 : -1;
            }
            return segment;
        }
    }
    segment.name = key.mid(open ? from + 1 : from);
    return segment;
}

// The document while it is built: changed in place, so that each pair costs its own length and not
// the size of what came before it (a QJsonObject copies itself on every insert into a shared value).
struct Node
{
    enum Type { Null, Text, List, Map };
    Type type = Null;
    QString text;
    std::vector<Node> list;
    std::map<QString, Node> map;
    int nextIndex = 0; // no key below it is a free number (keys are never removed from a map)

    bool isContainer() const { return type == List || type == Map; }

    void becomeMap()
    {
        std::map<QString, Node> converted;
        if (type == List) {
            for (size_t i = 0; i < list.size(); ++i)
                converted.emplace(QString::number(i), std::move(list[i]));
        }
        list.clear();
        text.clear();
        map = std::move(converted);
        nextIndex = 0;
        type = Map;
    }

    // The node a value goes under: "" appends to a list (or takes the first free number of a map).
    Node &slot(const QString &name)
    {
        if (name.isEmpty()) {
            if (type != Map || map.empty()) {
                if (type != List) {
                    map.clear();
                    text.clear();
                    type = List;
                }
                list.emplace_back();
                return list.back();
            }
            while (map.count(QString::number(nextIndex)))
                ++nextIndex;
            return map[QString::number(nextIndex)];
        }
        if (type != Map)
            becomeMap();
        return map[name];
    }

    QJsonValue toJson() const
    {
        switch (type) {
        case Null:
            return QJsonValue();
        case Text:
            return text;
        case List: {
            QJsonArray array;
            for (const Node &element : list)
                array.append(element.toJson());
            return array;
        }
        case Map: {
            QJsonObject object;
            for (const auto &member : map)
                object.insert(member.first, member.second.toJson());
            return object;
        }
        }
        return QJsonValue();
    }
};

int depthOf(const QString &key)
{
    int depth = 1;
    for (const QChar c : key) {
        if (c == QLatin1Char('['))
            ++depth;
    }
    return depth;
}

// Stores the value under the key; an invalid segment stops there, leaving the containers made (or
// met) on the way as they are.
void store(Node &document, const QString &key, const QString &value)
{
    Segment segment = segmentAt(key, 0);
    if (!segment.valid)
        return;
    Node *node = &document;
    while (segment.restStart >= 0) {
        // Under a list a numbered key starts a new object: the list turns into an object by index.
        const bool fresh = node->type == Node::List && !segment.name.isEmpty();
        Node &child = node->slot(segment.name);
        if (fresh)
            child = Node();
        // A text or nothing under the name gives way to an object; a list or object is kept.
        if (!child.isContainer())
            child.becomeMap();
        node = &child;
        segment = segmentAt(key, segment.restStart);
        if (!segment.valid)
            return;
    }
    Node &leaf = node->slot(segment.name);
    leaf = Node();
    leaf.type = Node::Text;
    leaf.text = value;
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
    Node document;
    const QUrlQuery parsed(query);
    // Fully encoded items, decoded once here: a pretty-decoded "%2B" or "%25" would be decoded twice.
    const auto items = parsed.queryItems(QUrl::FullyEncoded);
    for (const auto &item : items) {
        const QString key = percentDecoded(item.first);
        if (depthOf(key) <= kMaxDepth)
            store(document, key, percentDecoded(item.second));
    }
    if (document.type == Node::List)
        return QJsonDocument(document.toJson().toArray());
    if (document.type == Node::Map)
        return QJsonDocument(document.toJson().toObject());
    return QJsonDocument();
}

} // namespace Orvix::Utils
