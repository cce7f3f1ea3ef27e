#include "config/generateddirectory.h"

#include "config/manager.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QRandomGenerator>

#include <optional>

namespace Orvix::Config {

namespace {

std::optional<QString> &heldPostfix()
{
    static std::optional<QString> postfix;
    return postfix;
}

} // namespace

QString GeneratedDirectory::path()
{
    return path(postfix());
}

QString GeneratedDirectory::postfix()
{
    return heldPostfix().value_or(Manager::getString(Manager::App, QStringLiteral("generated_postfix")));
}

void GeneratedDirectory::hold()
{
    heldPostfix() = Manager::getString(Manager::App, QStringLiteral("generated_postfix"));
}

QString GeneratedDirectory::path(const QString &postfix, const QString &baseDirectory)
{
    const QString base = baseDirectory.isEmpty() ? QCoreApplication::applicationDirPath() : baseDirectory;
    return base + QStringLiteral("/generated") + postfix;
}

QString GeneratedDirectory::eventKey()
{
    static QHash<QString, QString> keys; // by directory: tests change the postfix
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
    QString error;
    if (!Utils::Settings::Manager::writePrivateFile(filePath, key, &error))
        return QString();
    return keys[directory] = QString::fromLatin1(key);
}

} // namespace Orvix::Config
