#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

namespace Orvix::Utils {

// JSON object -> URL query / form body with bracketed keys: {"f": {"ID": [1, 2]}} gives
// "f[ID][]=1&f[ID][]=2", while objects and lists inside a list are indexed: {"P": [{"V": 1}]} gives
// "P[0][V]=1". Keys are sorted (QJsonObject order); strings are percent-encoded UTF-8
// (space as %20); whole numbers are written in full, since the CRM reads them as identifiers.
QByteArray jsonToUrlQuery(const QJsonObject &object);

// The reverse, for incoming queries and form bodies: leaf values are always strings. Null document
// when nothing usable was given; an array when every top-level key is "[]".
QJsonDocument urlQueryToJson(const QString &query);

} // namespace Orvix::Utils
