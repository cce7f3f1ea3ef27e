#pragma once

#include <QJsonObject>
#include <QString>
#include <QVector>
#include <QtGlobal>

namespace Orvix::Actions {

// One message of the service's log file: its stamp and level, and for a call-trace message the
// bracketed call id and the task, child-task and status fields.
struct LogEntry
{
    QString time;
    QString level;
    QString callId;
    QString task;
    QString childTask;
    QString status;
    QString message;
    bool trace = false;

    QJsonObject toJson() const;
};

// What the reader keeps: entries of one call, at or above a level, containing a text (all optional),
// the last `count` of them.
struct LogFilter
{
    QString callId;
    QString minLevel;
    QString text;
    int count = 100;
};

// Reads back the tail of the log the logger writes ("[stamp]\tlevel\tmessage", call-trace messages
// "[id]\ttask\tchild task\tstatus\ttext"). Lines that do not start an entry (the rest of a message
// that spanned lines) belong to the entry before them. Stateless; any thread.
class LogReader
{
public:
    // Enough for the recent history an administrator looks at, without loading a log that was never
    // rotated into memory.
    static inline constexpr qint64 kDefaultTailBytes = 8 * 1024 * 1024;

    LogReader() = delete;

    // False for a level name the logger does not write.
    static bool isLevel(const QString &name);

    static QVector<LogEntry> parse(const QString &text);
    static QVector<LogEntry> filter(const QVector<LogEntry> &entries, const LogFilter &filter);

    // The filtered entries of the last tailBytes of the file, oldest first; false with an error text
    // when the file cannot be read.
    static bool read(const QString &fileName, const LogFilter &filter, QVector<LogEntry> *entries,
                     QString *error, qint64 tailBytes = kDefaultTailBytes);
};

} // namespace Orvix::Actions
