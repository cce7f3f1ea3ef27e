#include "config/generateddirectory.h"

#include "config/manager.h"

#include <QCoreApplication>

namespace Orvix::Config {

QString GeneratedDirectory::path()
{
    return path(Manager::getString(Manager::App, QStringLiteral("generated_postfix")));
}

QString GeneratedDirectory::path(const QString &postfix, const QString &baseDirectory)
{
    const QString base = baseDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : baseDirectory;
    return base + QStringLiteral("/generated") + postfix;
}

} // namespace Orvix::Config
