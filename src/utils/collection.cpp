#include "utils/collection.h"

namespace Orvix::Utils {

Collection::Collection(const QStringList &strings, bool caseSensitive)
    : m_caseSensitive(caseSensitive)
{
    for (const QString &string : strings)
        m_strings.insert(caseSensitive ? string : string.toUpper());
}

Collection::~Collection() = default;

bool Collection::contains(const QString &text) const
{
    return m_strings.contains(m_caseSensitive ? text : text.toUpper());
}

} // namespace Orvix::Utils
