#include "config/validators.h"

#include "config/webserver.h"
#include "utils/logger.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>
#include <QUrl>

#include <algorithm>

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
    if (value.isEmpty() || levels.contains(value, Qt::CaseInsensitive))
        return;
    error = QStringLiteral("One of: %1").arg(levels.join(QStringLiteral(", ")));
    const QString word = value.trimmed().toLower();
    if (word == QLatin1String("warn"))
        value = QStringLiteral("warning");
    else if (word == QLatin1String("error"))
        value = QStringLiteral("critical");
    else if (levels.contains(word))
        value = word;
}

void locale(QString &value, QString &error)
{
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_-]{1,64}\\z"));
    if (!name.match(value).hasMatch()) {
        error = QStringLiteral("Not a dictionary name");
        // The name of its file in the locales directory.
        if (value.endsWith(QLatin1String(".json")) && name.match(value.chopped(5)).hasMatch()) {
            error = QStringLiteral("The name of a dictionary is written without .json, such as _en");
            value.chop(5);
        }
        return;
    }
    const QDir locales(QCoreApplication::applicationDirPath() + QStringLiteral("/locales"));
    if (locales.exists() && !QFileInfo::exists(locales.filePath(value + QStringLiteral(".json"))))
        error = QStringLiteral("No dictionary %1.json in %2").arg(value, locales.path());
}

void pbxName(QString &value, QString &error)
{
    if (value.toUtf8().size() > kMaxPbxNameBytes) {
        error = QStringLiteral("A name of at most %1 bytes (a Latin letter or a digit is one): Asterisk reads no "
                               "longer one")
                    .arg(kMaxPbxNameBytes);
        return;
    }
    const auto control = [](QChar c) { return c.category() == QChar::Other_Control; };
    if (std::none_of(value.cbegin(), value.cend(), control))
        return;
    error = QStringLiteral("A name without line breaks or other control characters");
    const QString trimmed = value.trimmed();
    if (std::none_of(trimmed.cbegin(), trimmed.cend(), control))
        value = trimmed;
}

void pbxSecret(QString &value, QString &error)
{
    if (value.toUtf8().size() > kMaxPbxSecretBytes)
        error = QStringLiteral("A secret of at most %1 bytes: Asterisk reads no longer login line")
                    .arg(kMaxPbxSecretBytes);
}

void logFile(QString &value, QString &error)
{
    QString why;
    if (value.isEmpty())
        return;
    if (!Utils::Logger::isUsableLogFile(value, &why)) {
        error = QStringLiteral("%1: choose a new file or this service's own log").arg(why);
        return;
    }
    // The service may run as root: a web login must not make it create a file where a program reads
    // every file (authorized keys, profile scripts). Another folder is the configuration file's to name.
    const QString folder = Utils::Logger::logDirectory();
    if (folder.isEmpty() || QFileInfo(QFileInfo(value).absolutePath()).canonicalFilePath() != folder) {
        error = QStringLiteral("Only a file in %1, the folder of the log now, is taken here; a log in another folder "
                               "is named in the configuration file itself")
                    .arg(folder.isEmpty() ? Utils::Logger::getLogFileName() : folder);
        return;
    }
    // Kept as it resolves now: a link among its folders, re-pointed later, would move the next start's log.
    value = QDir(folder).filePath(QFileInfo(value).fileName());
}

void webUser(QString &value, QString &error)
{
    if (value.isEmpty())
        error = QStringLiteral("Choose a user name: with an empty one no login works");
}

void webPassword(QString &value, QString &error)
{
    // Characters, not UTF-16 units (an emoji is two); those that do not show (format and control characters,
    // marks over another, unassigned ones) add nothing to it, and white space or a few characters repeated little.
    constexpr int kMinDistinct = 5;
    int length = 0;
    QSet<uint> distinct;
    for (const uint c : value.toUcs4()) {
        switch (QChar::isSpace(c) ? QChar::Separator_Space : QChar::category(c)) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Other_Surrogate:
        case QChar::Other_NotAssigned:
        case QChar::Mark_NonSpacing:
            break;
        case QChar::Separator_Space:
            ++length;
            break;
        default:
            ++length;
            distinct.insert(c);
        }
    }
    if (!Modules::isUsableWebPassword(value))
        error = QStringLiteral("Choose a password: an empty or the built-in one is never accepted");
    else if (length < Modules::kMinWebPasswordLength)
        error = QStringLiteral("Choose a password of at least %1 characters").arg(Modules::kMinWebPasswordLength);
    else if (distinct.size() <= 1)
        error = QStringLiteral("Choose a password that is more than white space or one character repeated");
    else if (distinct.size() < kMinDistinct)
        error = QStringLiteral("Choose a password of at least %1 different characters besides white space")
                    .arg(kMinDistinct);
}

void listenAddress(QString &value, QString &error)
{
    if (!value.isEmpty() && value != QLatin1String("localhost") && QHostAddress(value).isNull())
        error = QStringLiteral("Expected an IP address of this host, such as 0.0.0.0 (every address) or 127.0.0.1");
}

void portalAddress(QString &value, QString &error)
{
    const QString address = value.trimmed();
    if (address.isEmpty()) {
        value = address;
        return;
    }
    const QString withScheme =
        address.contains(QLatin1String("://")) ? address : QStringLiteral("https://") + address;
    const QUrl url(withScheme, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()
        || (url.scheme() != QLatin1String("https") && url.scheme() != QLatin1String("http"))) {
        error = QStringLiteral("Expected the address of the CRM portal, such as https://company.bitrix24.ru");
        return;
    }
    // An address copied from the browser names a page of the portal: the REST calls go below its root.
    value = url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
                .toString();
}

void dateTime(QString &value, QString &error)
{
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss");
    if (QDateTime::fromString(value, format).isValid())
        return;
    error = QStringLiteral("Expected a date and time such as 2024-05-31 09:00:00");
    const QString text = value.trimmed();
    // A date alone is its midnight; a time without seconds or in ISO form is the same moment.
    QDateTime meant(QDate::fromString(text, QStringLiteral("yyyy-MM-dd")).startOfDay());
    if (!meant.isValid())
        meant = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!meant.isValid())
        meant = QDateTime::fromString(text, Qt::ISODate);
    if (meant.isValid())
        value = meant.toString(format);
}

void directoryPostfix(QString &value, QString &error)
{
    static const QRegularExpression postfix(QStringLiteral("^[A-Za-z0-9_.-]{0,64}\\z"));
    if (!postfix.match(value).hasMatch())
        error = QStringLiteral("Only letters, digits, '.', '_' and '-': it is appended to the name of the "
                               "directory \"generated\"");
}

void userIds(QList<int> &value, QString &error)
{
    const auto notUser = [](int id) { return id < 1; };
    const auto first = std::find_if(value.begin(), value.end(), notUser);
    if (first == value.end())
        return;
    error = QStringLiteral("A CRM user id is a number from 1 up, not %1").arg(*first);
    // meant: the real users among them
    value.erase(std::remove_if(first, value.end(), notUser), value.end());
}

void crmSources(QHash<QString, QString> &value, QString &error)
{
    static const QRegularExpression source(QStringLiteral("^[A-Z0-9_]{1,50}\\z"));
    const auto usable = [](const QString &trunk, const QString &id) {
        return !trunk.trimmed().isEmpty() && source.match(id).hasMatch();
    };
    for (auto it = value.cbegin(); it != value.cend(); ++it) {
        if (!usable(it.key(), it.value())) {
            error = QStringLiteral("%1: a trunk number takes a CRM source id, written in capitals, digits and _, "
                                   "such as CALL or UC_7KX2M1")
                        .arg(it.key());
            break;
        }
    }
    if (error.isEmpty())
        return;
    // Meant: the ids in capitals, as the portal lists them; what is no id even so is left out.
    QHash<QString, QString> meant;
    for (auto it = value.cbegin(); it != value.cend(); ++it) {
        const QString id = it.value().trimmed().toUpper();
        if (usable(it.key(), id))
            meant.insert(it.key(), id);
    }
    value = meant;
}

} // namespace Orvix::Config::Validators
