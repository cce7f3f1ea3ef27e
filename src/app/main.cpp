#include "app/app.h"
#include "app/commandline.h"
#include "app/startuplog.h"
#include "app/stopsignals.h"
#include "config/generateddirectory.h"
#include "config/manager.h"
#include "config/validators.h"
#include "entities/clock.h"
#include "utils/logger.h"
#include "utils/settingsmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QLockFile>

#include <cstdio>

namespace {

using Orvix::Config::Manager;

bool g_logging = false;

// A reason not to start: in the log and on the standard error output, where whoever started the
// service looks when it exits at once.
void refuseToStart(const QString &reason)
{
    if (g_logging)
        qCritical().noquote() << reason;
    std::fprintf(stderr, "%s\n", qPrintable(reason));
}

// Logging as the configuration says. A file that was read but holds a refused value names the log the
// administrator looks at; one that could not be read names none, and writing to the default log could
// mix the lines into another service's: then the standard error output is all.
void setUpLogging()
{
    if (!Manager::loadError().isEmpty() && Orvix::Utils::Settings::Manager::fileSettings().isEmpty())
        return;
    g_logging = true;
    QString logFile = Manager::getString(Manager::App, QStringLiteral("log_file"));
    const QJsonValue named = Orvix::Utils::Settings::Manager::fileSettings()
                                 .value(QLatin1String("App")).toObject().value(QLatin1String("log_file"));
    if (!Manager::loadError().isEmpty() && named.isString())
        logFile = named.toString();
    Orvix::Utils::Logger::setLogFileName(logFile);
    Orvix::Utils::Logger::setShowFrom(Manager::getString(Manager::App, QStringLiteral("log_level")));
    Orvix::Utils::Logger::init(QString());
}

// One service per generated directory: two would poll the same CEL table from the same saved state
// and register every call twice. The lock is held until the process ends.
bool lockGeneratedDirectory(QLockFile &lock, const QString &directory)
{
    lock.setStaleLockTime(0); // held as long as its process lives, however long that is
    if (lock.tryLock(0))
        return true;
    qint64 pid = 0;
    QString host;
    QString application;
    if (lock.error() == QLockFile::LockFailedError && lock.getLockInfo(&pid, &host, &application)) {
        // Our own pid: a process killed before it could unlock had it, as a service that is pid 1 of
        // its container always has. A lock a live process holds is never removed (Qt asks the system).
        if (pid == QCoreApplication::applicationPid() && lock.removeStaleLockFile() && lock.tryLock(0))
            return true;
        refuseToStart(QStringLiteral("Not started: the generated directory %1 is used by another service (pid %2"
                                     "%3); stop it, or give this one another App.generated_postfix")
                          .arg(directory)
                          .arg(pid)
                          .arg(host.isEmpty() ? QString() : QStringLiteral(" on ") + host));
    } else {
        refuseToStart(QStringLiteral("Not started: cannot lock the generated directory %1: its lock file "
                                     "cannot be written")
                          .arg(directory));
    }
    return false;
}

// A postfix a save refuses may still be the one an older build keeps its state under, which a new name would
// lose: it is kept as long as it names one directory beside the executable.
bool checkGeneratedPostfix()
{
    const QString postfix = Manager::getString(Manager::App, QStringLiteral("generated_postfix"));
    QString meant = postfix;
    QString refused;
    Orvix::Config::Validators::directoryPostfix(meant, refused);
    if (refused.isEmpty())
        return true;
    if (postfix.contains(QLatin1Char('/')) || postfix.contains(QChar())) {
        refuseToStart(QStringLiteral("Not started: configuration file %1: App.generated_postfix \"%2\": %3")
                          .arg(Manager::filePath(), postfix, refused));
        return false;
    }
    qWarning().noquote() << QStringLiteral("Configuration file %1: App.generated_postfix: \"%2\": %3; used as it is, "
                                           "as the directory of the saved state")
                                .arg(Manager::filePath(), postfix, refused);
    return true;
}

} // namespace

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
    Manager config;
    config.init();
    setUpLogging();
    Orvix::StartupLog::replay();

    // Running on defaults the administrator never chose would answer on a well-known password and
    // overwrite the file at the first save.
    // The reason names the file and the key.
    if (!Manager::loadError().isEmpty()) {
        refuseToStart(QStringLiteral("Not started: %1").arg(Manager::loadError()));
        return 1;
    }

    if (!checkGeneratedPostfix())
        return 1;
    // A postfix saved while the service runs would move its state away from its lock.
    Orvix::Config::GeneratedDirectory::hold();
    const QString generated = Orvix::Config::GeneratedDirectory::path();
    QDir().mkpath(generated);
    QLockFile lock(generated + QStringLiteral("/calvena.lock"));
    if (!lockGeneratedDirectory(lock, generated))
        return 1;

    Orvix::App app(nullptr, options.eventsSql, config);
    Orvix::StopSignals stopSignals;
    QObject::connect(&stopSignals, &Orvix::StopSignals::stopRequested, &app, &Orvix::App::shutDown);
    if (options.clean)
        app.clean();
    else
        app.start();
    return QCoreApplication::exec();
}
