#include "crm/bitrix/token.h"

#include "config/generateddirectory.h"
#include "utils/ownerfile.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonValue>

namespace Orvix::CRM::Bitrix {

namespace {

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
constexpr qint64 kMinimumLifetimeSecs = 60;

} // namespace

Token::Token(const QString &generatedPostfix, const QString &baseDirectory)
    : m_generatedPostfix(generatedPostfix)
    , m_baseDirectory(baseDirectory)
{
}

bool Token::isValid() const
{
    return !m_access.isEmpty() && m_validTill.isValid() && QDateTime::currentDateTime().addSecs(kMinimumLifetimeSecs) < m_validTill;
}

void Token::fromJson(const QJsonObject &json)
{
    m_access = json.value(QLatin1String("access_token")).toString();
    m_refresh = json.value(QLatin1String("refresh_token")).toString();
    if (json.contains(QLatin1String("expires_in"))) {
        m_validTill = QDateTime::currentDateTime().addSecs(json.value(QLatin1String("expires_in")).toInt());
        return;
    }
    const QJsonValue validTill = json.value(QLatin1String("valid_till"));
    m_validTill = validTill.isString() ? QDateTime::fromString(validTill.toString(), kTimeFormat) : QDateTime();
}

QJsonObject Token::toJson() const
{
    return QJsonObject{
        {QStringLiteral("access_token"), m_access},
        {QStringLiteral("refresh_token"), m_refresh},
        {QStringLiteral("valid_till"),
         m_validTill.isValid() ? QJsonValue(m_validTill.toString(kTimeFormat)) : QJsonValue(QJsonValue::Null)},
    };
}

QString Token::filePath() const
{
    return Config::GeneratedDirectory::path(m_generatedPostfix, m_baseDirectory) + QStringLiteral("/token.json");
}

bool Token::save()
{
    const QString path = filePath();
    QString error;
    if (!Utils::saveOwnerOnlyFile(path, QJsonDocument(toJson()).toJson(QJsonDocument::Indented), &error)) {
        qWarning().noquote() << "Cannot write the CRM token file" << path << ":" << error;
        return false;
    }
    return true;
}

void Token::load()
{
    QFile file(filePath());
    if (!file.exists())
        return;
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        fromJson(QJsonObject());
        return;
    }
    QByteArray bytes = file.readAll();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    fromJson(QJsonDocument::fromJson(bytes).object());
}

} // namespace Orvix::CRM::Bitrix
