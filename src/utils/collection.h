#pragma once

#include <QSet>
#include <QString>
#include <QStringList>

namespace Orvix::Utils {

// A fixed set of strings, compared with or without regard to (Unicode) letter case. Built once,
// read only afterwards, so a function-local static instance may be shared between threads.
class Collection
{
public:
    Collection(const QStringList &strings, bool caseSensitive);
    ~Collection();

    bool contains(const QString &text) const;

private:
    QSet<QString> m_strings;
    bool m_caseSensitive;
};

} // namespace Orvix::Utils
