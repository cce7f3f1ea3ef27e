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

} // namespace Orvix::Utils
