#include "config/takeseffect.h"

#include "config/manager.h"

#include <QStringList>

namespace Orvix::Config {

namespace {

const QStringList kAtServiceStart{QStringLiteral("App.log_file"),
                                  QStringLiteral("App.log_level"),
                                  QStringLiteral("App.generated_postfix"),
                                  QStringLiteral("WebServer.listen_host"),
                                  QStringLiteral("WebServer.listen_port"),
                                  QStringLiteral("WebServer.listen_port_secure"),
                                  QStringLiteral("WebServer.use_http")};
const QStringList kAtOnce{QStringLiteral("WebServer.user"), QStringLiteral("WebServer.password")};

} // namespace

TakesEffect takesEffect(const QString &key)
{
    if (kAtServiceStart.contains(key))
        return TakesEffect::AtServiceStart;
    if (kAtOnce.contains(key))
        return TakesEffect::AtOnce;
    return TakesEffect::WithTheLinks;
}

bool changesTheLinks(const QJsonObject &changes)
{
    for (auto section = changes.begin(); section != changes.end(); ++section) {
        const QJsonObject keys = section.value().toObject();
        for (auto it = keys.begin(); it != keys.end(); ++it) {
            if (takesEffect(section.key() + QLatin1Char('.') + it.key()) == TakesEffect::WithTheLinks)
                return true;
        }
    }
    return false;
}

QJsonObject linkSettings()
{
    QJsonObject settings = Manager::toJson();
    for (auto section = settings.begin(); section != settings.end(); ++section) {
        QJsonObject keys = section.value().toObject();
        for (const QString &key : keys.keys()) {
            if (takesEffect(section.key() + QLatin1Char('.') + key) != TakesEffect::WithTheLinks)
                keys.remove(key);
        }
        section.value() = keys;
    }
    return settings;
}

} // namespace Orvix::Config
