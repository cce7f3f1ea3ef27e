#include "utils/confinedpath.h"

#include <QDir>
#include <QFileInfo>

namespace Orvix::Utils {

namespace {

QString resolved(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() ? info.canonicalFilePath() : QDir::cleanPath(info.absoluteFilePath());
}

} // namespace

QString confinedPath(const QString &root, const QString &path)
{
    if (root.isEmpty() || path.isEmpty() || root.contains(QChar(0)) || path.contains(QChar(0)))
        return QString();
    const QString base = resolved(root);
    const QString candidate = resolved(path);
    if (base.isEmpty() || !candidate.startsWith(base + QLatin1Char('/')))
        return QString();
    return candidate;
}

} // namespace Orvix::Utils
