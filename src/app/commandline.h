#pragma once

#include <QString>
#include <QStringList>

namespace Orvix {

// What the command line asks of one run of the service.
struct CommandLine
{
    bool clean = false;
    bool legal = false;
    // The PBX events query to run once instead of polling; empty when not overridden.
    QString eventsSql;
    // Empty: the default configuration file.
    QString configName;
};

// Parses the arguments (argv[0] first). The standard help and version options print and exit the
// process, as QCommandLineParser does.
CommandLine parseCommandLine(const QStringList &arguments);

} // namespace Orvix
