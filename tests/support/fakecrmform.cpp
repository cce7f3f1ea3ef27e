#include "fakecrmform.h"

#include <QJsonArray>
#include <QRegularExpression>

#include <vector>

namespace Orvix::Tests {

namespace {

// An ordered PHP array: keys keep their insertion order, and "[]" appends after the largest
// integer key, as in PHP.
struct Node
{
    bool leaf = false;
    QString value;
    std::vector<QString> keys;
    std::vector<Node> children;
    qint64 nextIndex = 0;

    Node &child(const QString &key)
    {
        for (size_t i = 0; i < keys.size(); ++i) {
            if (keys[i] == key)
                return children[i];
        }
        keys.push_back(key);
        children.emplace_back();
        return children.back();
    }

    Node &slot(const QString &segment, bool append)
    {
        QString key = segment;
        if (append)
            key = QString::number(nextIndex);
        static const QRegularExpression integerKey(QStringLiteral("^(0|-?[1-9][0-9]{0,17})$"));
        if (integerKey.match(key).hasMatch()) {
            const qint64 index = key.toLongLong();
            if (index >= nextIndex)
                nextIndex = index + 1;
        }
        return child(key);
    }

    QJsonValue toJson() const
    {
        if (leaf)
            return value;
        bool sequential = true;
        for (size_t i = 0; i < keys.size() && sequential; ++i)
            sequential = keys[i] == QString::number(qulonglong(i));
        if (sequential && !keys.empty()) {
            QJsonArray array;
            for (const Node &node : children)
                array.append(node.toJson());
            return array;
        }
        QJsonObject object;
        for (size_t i = 0; i < keys.size(); ++i)
            object.insert(keys[i], children[i].toJson());
        return object;
    }
};

QString normalisedName(QString name, bool bracketsToo)
{
    for (QChar &c : name) {
        if (c == QLatin1Char(' ') || c == QLatin1Char('.') || (bracketsToo && c == QLatin1Char('[')))
            c = QLatin1Char('_');
    }
    return name;
}

// Mirrors PHP's php_register_variable_ex(): "base[seg1][seg2]...", anything after the last "]"
// that does not open another bracket is ignored; an unclosed first "[" is part of the name.
void store(Node &root, QString name, const QString &value)
{
    while (name.startsWith(QLatin1Char(' ')))
        name.remove(0, 1);
    const int open = name.indexOf(QLatin1Char('['));
    QString base = open < 0 ? name : name.left(open);
    if (base.isEmpty())
        return;

    QList<QPair<QString, bool>> segments; // (index, append)
    if (open >= 0) {
        int i = open;
        while (i < name.size() && name.at(i) == QLatin1Char('[')) {
            const int close = name.indexOf(QLatin1Char(']'), i + 1);
            if (close < 0) {
                if (segments.isEmpty()) {
                    base = name.left(open) + normalisedName(name.mid(open), true);
                }
                break;
            }
            const QString index = name.mid(i + 1, close - i - 1);
            segments.append({index, index.isEmpty()});
            i = close + 1;
        }
    }

    Node *node = &root.slot(normalisedName(base, false), false);
    for (const auto &segment : segments) {
        if (node->leaf) {
            *node = Node();
        }
        node = &node->slot(segment.first, segment.second);
    }
    *node = Node();
    node->leaf = true;
    node->value = value;
}

} // namespace

QString FakeCrmForm::urlDecode(const QByteArray &text)
{
    QByteArray bytes = text;
    bytes.replace('+', ' ');
    return QString::fromUtf8(QByteArray::fromPercentEncoding(bytes));
}

FakeCrmForm::Pairs FakeCrmForm::decodePairs(const QByteArray &encoded)
{
    Pairs pairs;
    for (const QByteArray &piece : encoded.split('&')) {
        if (piece.isEmpty())
            continue;
        const int eq = piece.indexOf('=');
        const QByteArray key = eq < 0 ? piece : piece.left(eq);
        const QByteArray value = eq < 0 ? QByteArray() : piece.mid(eq + 1);
        pairs.append({urlDecode(key), urlDecode(value)});
    }
    return pairs;
}

QJsonObject FakeCrmForm::build(const Pairs &pairs)
{
    Node root;
    for (const auto &pair : pairs)
        store(root, pair.first, pair.second);
    // The top level is always a set of named variables, even when its keys are 0..n-1.
    QJsonObject object;
    for (size_t i = 0; i < root.keys.size(); ++i)
        object.insert(root.keys[i], root.children[i].toJson());
    return object;
}

QJsonObject FakeCrmForm::parse(const QByteArray &encoded)
{
    return build(decodePairs(encoded));
}

} // namespace Orvix::Tests
