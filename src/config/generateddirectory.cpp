#include "config/generateddirectory.h"

#include "config/manager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>
#include <QSaveFile>

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

QString GeneratedDirectory::eventKey()
{
    static QHash<QString, QString> keys; // by directory: the postfix may change while the service runs
    const QString directory = path();
    const auto known = keys.constFind(directory);
    if (known != keys.cend())
        return *known;

    const QString filePath = directory + QStringLiteral("/event_key");
    QFile file(filePath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString key = QString::fromLatin1(file.readAll()).trimmed();
        if (key.size() >= 32)
            return keys[directory] = key;
    }
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    const QByteArray key = bytes.toHex();
    QDir().mkpath(directory);
    QSaveFile out(filePath);
    if (!out.open(QIODevice::WriteOnly) ||
        !out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || out.write(key) != key.size() ||
        !out.commit())
        return QString();
    return keys[directory] = QString::fromLatin1(key);
}

} // namespace Orvix::Config
