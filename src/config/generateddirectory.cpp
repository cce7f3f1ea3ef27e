#include "config/generateddirectory.h"

#include "config/manager.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

#include <optional>

namespace Orvix::Config {

namespace {

std::optional<QString> &heldPostfix()
{
    static std::optional<QString> postfix;
    return postfix;
}

// 32 random bytes in hex, kept in the named file of the generated directory (owner only) and made at the
// first use; empty when the file can be neither read nor written.
QString secret(const QString &fileName)
{
    static QHash<QString, QString> secrets; // by file: tests change the postfix
    const QString filePath = GeneratedDirectory::path() + QLatin1Char('/') + fileName;
    const auto known = secrets.constFind(filePath);
    if (known != secrets.cend())
        return *known;

    QFile file(filePath);
    if (file.open(QIODevice::ReadOnly)) {
        const QString key = QString::fromLatin1(file.readAll()).trimmed();
        if (key.size() >= 32)
            return secrets[filePath] = key;
    }
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->generate(bytes.begin(), bytes.end());
    const QByteArray key = bytes.toHex();
    QDir().mkpath(GeneratedDirectory::path());
    QString error;
    if (!Utils::Settings::Manager::writePrivateFile(filePath, key, &error))
        return QString();
    return secrets[filePath] = QString::fromLatin1(key);
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
    return secret(QStringLiteral("event_key"));
}

QString GeneratedDirectory::recordingKey()
{
    return secret(QStringLiteral("recording_key"));
}

QString GeneratedDirectory::recordingSignature(const QString &callId, const QString &from, const QString &to)
{
    const QString key = recordingKey();
    if (key.isEmpty())
        return QString();
    // Separated by a character no value may hold, so that no two triples give one text.
    const QByteArray message = (callId + QLatin1Char('\n') + from + QLatin1Char('\n') + to).toUtf8();
    return QString::fromLatin1(
        QMessageAuthenticationCode::hash(message, key.toLatin1(), QCryptographicHash::Sha256).left(16).toHex());
}

} // namespace Orvix::Config
