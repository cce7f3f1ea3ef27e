#include "app/app.h"
#include "app/commandline.h"
#include "app/startuplog.h"
#include "config/manager.h"
#include "entities/clock.h"
#include "utils/logger.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QDebug>

int main(int argc, char *argv[])
{
    Orvix::Entities::Clock::readTimeZoneOnce();
    QCoreApplication::setOrganizationName(QStringLiteral("Orvix"));
    QCoreApplication::setApplicationName(QStringLiteral("calvena"));
    QCoreApplication::setApplicationVersion(QStringLiteral("v2.14.11"));
    QCoreApplication application(argc, argv);

    const Orvix::CommandLine options = Orvix::parseCommandLine(application.arguments());
    if (options.legal) {
        qDebug().noquote() << "calvena: mirrors the calls of an Asterisk PBX in a Bitrix24 CRM portal.\n"
                              "Made by Orvix.\n"
                              "All rights reserved.";
        return 0;
    }

    if (!options.configName.isEmpty())
        Orvix::Utils::Settings::Manager::configName = options.configName;
    // The log file is named by the configuration: what loading it reports is kept until the log is open.
    Orvix::StartupLog::begin();
    Orvix::Config::Manager config;
    config.init();

    Orvix::Utils::Logger::setLogFileName(config.getString(Orvix::Config::Manager::App, QStringLiteral("log_file")));
    Orvix::Utils::Logger::setShowFrom(config.getString(Orvix::Config::Manager::App, QStringLiteral("log_level")));
    Orvix::Utils::Logger::init(QString());
    Orvix::StartupLog::replay();

    Orvix::App app(nullptr, options.eventsSql, config);
    if (options.clean)
        app.clean();
    else
        app.start();
    return QCoreApplication::exec();
}
