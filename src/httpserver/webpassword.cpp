#include "webpassword.h"

#include "config/manager.h"
#include "config/webserver.h"
#include "utils/settingsmanager.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonObject>
#include <QRandomGenerator>

namespace Orvix::HttpServer::WebPassword {

namespace {

constexpr int kRandomLength = 24;

QString configuredPassword()
{
    return Config::Manager::getString(Config::Manager::WebServer, QStringLiteral("password"));
}

QString randomPassword()
{
    static const QString alphabet =
        QStringLiteral("ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnpqrstuvwxyz23456789");
    QString password;
    for (int i = 0; i < kRandomLength; ++i)
        password += alphabet.at(QRandomGenerator::system()->bounded(alphabet.size()));
    return password;
}

QJsonObject passwordSection(const QString &password)
{
    return QJsonObject{{QStringLiteral("WebServer"), QJsonObject{{QStringLiteral("password"), password}}}};
}

} // namespace

bool isAcceptable(const QString &password)
{
    return Config::Modules::isUsableWebPassword(password);
}

bool isSet()
{
    return isAcceptable(configuredPassword());
}

QString configFile()
{
    const QString &name = Utils::Settings::Manager::configName;
    return name.isEmpty() ? Utils::Settings::Manager::configFilePath() : QFileInfo(name).absoluteFilePath();
}

QString unsetError()
{
    return QStringLiteral("Set WebServer.password in %1").arg(configFile());
}

bool ensure()
{
    if (isSet())
        return true;
    const QString path = Utils::Settings::Manager::configFilePath();
    const QFileInfo info(path);
    // Root may write anywhere; a file without write permission still says its owner wants it left alone.
    bool saved = !path.isEmpty() && (!info.exists() || info.permissions().testFlag(QFileDevice::WriteOwner));
    // A save that fails keeps the value it had: no password that nobody can read back.
    if (saved)
        saved = Config::Manager::update(passwordSection(randomPassword())).isEmpty();
    if (!saved) {
        qWarning().noquote() << QStringLiteral("The web password is not set and cannot be saved: the protected "
                                               "pages answer 403 until WebServer.password is set in %1")
                                    .arg(configFile());
        return false;
    }
    qWarning().noquote()
        << QStringLiteral("The web password was set to a random value: see WebServer.password in %1").arg(configFile());
    return true;
}

} // namespace Orvix::HttpServer::WebPassword
