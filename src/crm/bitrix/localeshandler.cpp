#include "crm/bitrix/localeshandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSaveFile>

namespace Orvix::CRM::Bitrix {

namespace {

inline constexpr QLatin1String kSuffix(".json");
inline constexpr QLatin1String kEnglish("_en.json");
inline constexpr QLatin1String kRussian("_ru.json");

QString withSuffix(const QString &name)
{
    return name.endsWith(kSuffix) ? name : name + kSuffix;
}

} // namespace

LocalesHandler::LocalesHandler(const QString &directory)
    : QObject(nullptr)
    , m_directory(directory.isEmpty() ? QCoreApplication::applicationDirPath() + QStringLiteral("/locales")
                                      : directory)
    , m_currentName(kEnglish)
{
}

QString LocalesHandler::translate(const QString &key) const
{
    const QJsonValue value = m_dictionary.value(key);
    return value.isString() ? value.toString() : key;
}

QJsonObject LocalesHandler::getLocales() const
{
    QJsonObject result;
    for (const QString &name : dictionaryFiles()) {
        QFile file(filePath(name));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            qDebug().noquote() << "Failed to open dictionary file: " + name;
            continue;
        }
        const QJsonDocument document = QJsonDocument::fromJson(file.readAll());
        const int dot = name.indexOf(QLatin1Char('.'));
        result.insert(dot < 0 ? name : name.left(dot), document.object().value(QLatin1String("niceName")).toString());
    }
    return result;
}

QJsonObject LocalesHandler::getLocale(const QString &name)
{
    const QString previous = m_currentName;
    m_currentName = name;
    if (!loadDictionary()) {
        m_currentName = previous;
        return QJsonObject{{QStringLiteral("error"), QStringLiteral("Loading failure")}};
    }
    return m_dictionary;
}

void LocalesHandler::setLocale(const QString &name)
{
    m_currentName = withSuffix(name);
    if (!loadDictionary())
        loadDefault();
}

bool LocalesHandler::saveLocale(const QString &name, const QJsonObject &dictionary)
{
    if (!name.isEmpty() && (!isSafeName(name) || isBuiltIn(withSuffix(name))))
        return false;

    const QString target = withSuffix(name.isEmpty() ? nextCustomName() : name);
    QDir().mkpath(m_directory);
    // Written whole or not at all: a dictionary is never left half-written, and a failed write is no
    // successful save.
    QSaveFile file(filePath(target));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)
        || file.write(QJsonDocument(dictionary).toJson(QJsonDocument::Indented)) < 0 || !file.commit()) {
        qWarning().noquote() << "Failed to save dictionary file:" << file.fileName() << file.errorString();
        return false;
    }
    m_currentName = target;
    m_dictionary = dictionary;
    announce();
    return true;
}

bool LocalesHandler::deleteLocale(const QString &name)
{
    if (!isSafeName(name) || isBuiltIn(withSuffix(name)))
        return false;
    if (name == m_currentName)
        loadDefault();
    return QFile::remove(filePath(name));
}

bool LocalesHandler::isBuiltIn(const QString &name)
{
    return name == kEnglish || name == kRussian;
}

bool LocalesHandler::isSafeName(const QString &name)
{
    return !name.isEmpty() && !name.startsWith(QLatin1Char('.')) && !name.contains(QLatin1Char('/'))
        && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

bool LocalesHandler::loadDictionary()
{
    const QString path = filePath(m_currentName);
    QFile file(path);
    if (!isSafeName(m_currentName) || !QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qDebug().noquote() << "Failed to open dictionary file: " + path;
        return false;
    }
    QByteArray text = file.readAll();
    const int zero = text.indexOf('\0');
    if (zero >= 0)
        text.truncate(zero);
    m_dictionary = QJsonDocument::fromJson(text).object();
    announce();
    return true;
}

void LocalesHandler::loadDefault()
{
    m_currentName = kEnglish;
    loadDictionary();
}

QString LocalesHandler::nextCustomName() const
{
    // The first free number, so that an unnamed save never overwrites a dictionary.
    QString name;
    for (int number = 0;; ++number) {
        name = QStringLiteral("custom%1").arg(number);
        if (!QFileInfo::exists(filePath(name + kSuffix)))
            break;
    }
    qDebug().noquote() << "New next name:" << name;
    return name;
}

QStringList LocalesHandler::dictionaryFiles() const
{
    QStringList names;
    const QFileInfoList entries =
        QDir(m_directory).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo &entry : entries) {
        if (!entry.isSymLink())
            names.append(entry.fileName());
    }
    return names;
}

QString LocalesHandler::filePath(const QString &name) const
{
    return m_directory + QLatin1Char('/') + name;
}

void LocalesHandler::announce()
{
    const int suffix = m_currentName.indexOf(kSuffix);
    Q_EMIT localeChanged(suffix < 0 ? m_currentName : m_currentName.left(suffix));
}

} // namespace Orvix::CRM::Bitrix
