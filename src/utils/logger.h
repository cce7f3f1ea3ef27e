#pragma once

#include <QString>
#include <QtGlobal>

class QMessageLogContext;

namespace Orvix::Utils {

// Process-wide sink of the Qt message facility: every message from the configured level upward is
// appended to one log file, one whole line per message (its line breaks and other control characters but
// the tab written as \n, \r, \xNN), flushed at once. The file is made readable by its owner and group
// only, and is never opened through a link, nor in a folder reached through one (but the default's). A file
// that cannot be opened, or that is not this service's (isUsableLogFile), is named on the standard error
// output, where the lines then go instead. Configured
// once on the main thread (setLogFileName, setShowFrom, init); the handler itself runs on any thread that
// logs.
class Logger
{
public:
    Logger() = delete;

    static void setLogFileName(const QString &name);
    static void setShowFrom(const QString &level);
    static QtMsgType levelFromName(const QString &name);
    static void init(const QString &messagePattern);
    static void addFileStream(QtMsgType type);
    static void loggerMessageOutput(QtMsgType type, const QMessageLogContext &context, const QString &message);
    static void reopen();
    static QString getLogFileName();
    // Whether the log may go to path: it does not exist yet (its directory does), or it is a regular file that
    // holds lines of this logger, or the empty one where the log is now (getLogFileName: rotated). Any other
    // file, a link, a FIFO, a device or a directory is refused, with the reason in why. A start takes an empty
    // file at the configured path (a rotated log, the usual case) when it is this user's with no other name,
    // and leaves its mode; with any other such path it logs to the standard error output. Never blocks.
    static bool isUsableLogFile(const QString &path, QString *why = nullptr);
    // The folder the log is in now (getLogFileName, the default when none is set), links resolved; empty
    // when it does not exist.
    static QString logDirectory();
    // The text with the value of every "key=" query parameter (the key of our event routes, also
    // percent-encoded in a batch command) cut to its first four characters: a log line must not open
    // the routes to whoever reads it. Every line goes through it.
    static QString maskSecrets(const QString &text);
};

} // namespace Orvix::Utils
