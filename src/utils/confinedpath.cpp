#include "utils/confinedpath.h"

#include <QFileInfo>

namespace Orvix::Utils {

QString confinedPath(const QString &root, const QString &path)
{
    if (root.isEmpty() || path.isEmpty() || root.contains(QChar(0)) || path.contains(QChar(0)))
        return QString();
    // Only what exists has a canonical form: a path judged by its text could pass through a link and a
    // missing folder ("<root>/<link>/<missing>/../<file>") and then be followed somewhere else.
    const QString base = QFileInfo(root).canonicalFilePath();
    const QString candidate = QFileInfo(path).canonicalFilePath();
    if (base.isEmpty() || !candidate.startsWith(base + QLatin1Char('/')))
        return QString();
    return candidate;
}

bool sameSecret(const QString &given, const QString &expected)
{
    if (expected.isEmpty() || given.size() != expected.size())
        return false;
    ushort difference = 0;
    for (int i = 0; i < given.size(); ++i)
        difference |= given.at(i).unicode() ^ expected.at(i).unicode();
    return difference == 0;
}

} // namespace Orvix::Utils
