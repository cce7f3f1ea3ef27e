#include "config/validators.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

namespace Orvix::Config::Validators {

void port(int &value, QString &error)
{
    if (value < 1 || value > 65535)
        error = QStringLiteral("A port is a number from 1 to 65535");
}

void nonNegative(int &value, QString &error)
{
    if (value < 0)
        error = QStringLiteral("Must not be negative");
}

void logLevel(QString &value, QString &error)
{
    static const QStringList levels{QStringLiteral("debug"), QStringLiteral("info"), QStringLiteral("warning"),
                                    QStringLiteral("critical"), QStringLiteral("fatal")};
    // Empty is the logger's own name for "fatal lines only", and files written so keep starting.
    if (!value.isEmpty() && !levels.contains(value.toLower()))
        error = QStringLiteral("One of: %1").arg(levels.join(QStringLiteral(", ")));
}

void locale(QString &value, QString &error)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-]{1,64}\\z"));
    if (!name.match(value).hasMatch()) {
        error = QStringLiteral("Not a dictionary name");
        return;
    }
    const QDir locales(QCoreApplication::applicationDirPath() + QStringLiteral("/locales"));
    if (locales.exists() && !QFileInfo::exists(locales.filePath(value + QStringLiteral(".json"))))
        error = QStringLiteral("No dictionary %1.json in %2").arg(value, locales.path());
}

} // namespace Orvix::Config::Validators
