#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

namespace Orvix::Tests {

// Decodes a URL query or an application/x-www-form-urlencoded body the way the portal's PHP does
// (parse_str): "+" is a space, %XX are UTF-8 bytes, and bracketed keys build nested arrays, so
// "a[b][]=1&a[b][]=2" gives {"a": {"b": ["1", "2"]}}. Deliberately shares no code with the client's
// encoder, so the tests check the encoder against an independent reader.
//
// PHP arrays whose keys are exactly 0..n-1 in order come out as JSON arrays (as json_encode would
// write them); every other array is an object. Leaf values are always strings.
class FakeCrmForm
{
public:
    using Pairs = QList<QPair<QString, QString>>;

    // The decoded pairs in wire order, before the bracket keys are applied.
    static Pairs decodePairs(const QByteArray &encoded);
    static QJsonObject parse(const QByteArray &encoded);
    static QJsonObject build(const Pairs &pairs);

    // urldecode(): "+" as space, %XX as a byte, the bytes read as UTF-8.
    static QString urlDecode(const QByteArray &text);
};

} // namespace Orvix::Tests
