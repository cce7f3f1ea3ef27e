#include "actions/logreader.h"

#include <QFile>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

namespace Orvix::Actions {

namespace {

// The levels as the message pattern's %{type} writes them, lowest first.
const QStringList &levelNames()
{
    static const QStringList names{QStringLiteral("debug"), QStringLiteral("info"), QStringLiteral("warning"),
                                   QStringLiteral("critical"), QStringLiteral("fatal")};
    return names;
}

const QRegularExpression &entryPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^\\[(\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}[^\\]]*)\\]\\t"
                       "(debug|info|warning|critical|fatal)\\t(.*)$"));
    return pattern;
}

// The call id is an Asterisk id (digits and dots) or the field is empty; the status is one of the
// builder's words, which keeps ordinary messages that happen to hold tabs out of the trace fields.
const QRegularExpression &tracePattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^(?:\\[([0-9.]+)\\])?\\t([^\\t]*)\\t([^\\t]*)\\t"
                       "(Start|Completed|Not completed|OK|Error|Warning|Y|N)\\t(.*)$"),
        QRegularExpression::DotMatchesEverythingOption);
    return pattern;
}

void splitTrace(LogEntry &entry)
{
    const QRegularExpressionMatch match = tracePattern().match(entry.message);
    if (!match.hasMatch())
        return;
    entry.trace = true;
    entry.callId = match.captured(1);
    entry.task = match.captured(2);
    entry.childTask = match.captured(3);
    entry.status = match.captured(4);
    entry.message = match.captured(5);
}

} // namespace

QJsonObject LogEntry::toJson() const
{
    QJsonObject object{{QStringLiteral("time"), time}, {QStringLiteral("level"), level},
                       {QStringLiteral("message"), message}};
    if (trace) {
        object.insert(QStringLiteral("call_id"), callId);
        object.insert(QStringLiteral("task"), task);
        object.insert(QStringLiteral("child_task"), childTask);
        object.insert(QStringLiteral("status"), status);
    }
    return object;
}

bool LogReader::isLevel(const QString &name)
{
    return levelNames().contains(name);
}

QVector<LogEntry> LogReader::parse(const QString &text)
{
    QVector<LogEntry> entries;
    bool open = false;
    const auto finish = [&entries, &open]() {
        if (open)
            splitTrace(entries.last());
        open = false;
    };
    for (QString line : text.split(QLatin1Char('\n'))) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        const QRegularExpressionMatch match = entryPattern().match(line);
        if (match.hasMatch()) {
            finish();
            LogEntry entry;
            entry.time = match.captured(1);
            entry.level = match.captured(2);
            entry.message = match.captured(3);
            entries.append(entry);
            open = true;
        } else if (open) {
            entries.last().message += QLatin1Char('\n') + line;
        }
        // Lines before the first entry are the tail of a message cut by the read window.
    }
    finish();
    // The file ends with a newline, which leaves an empty continuation on the last entry.
    if (!entries.isEmpty() && entries.last().message.endsWith(QLatin1Char('\n')))
        entries.last().message.chop(1);
    return entries;
}

QVector<LogEntry> LogReader::filter(const QVector<LogEntry> &entries, const LogFilter &filter)
{
    const int minRank = filter.minLevel.isEmpty() ? 0 : levelNames().indexOf(filter.minLevel);
    QVector<LogEntry> kept;
    for (auto it = entries.crbegin(); it != entries.crend() && kept.size() < filter.count; ++it) {
        if (!filter.callId.isEmpty() && it->callId != filter.callId)
            continue;
        if (levelNames().indexOf(it->level) < minRank)
            continue;
        if (!filter.text.isEmpty()
            && !it->message.contains(filter.text, Qt::CaseInsensitive)
            && !it->task.contains(filter.text, Qt::CaseInsensitive)
            && !it->childTask.contains(filter.text, Qt::CaseInsensitive))
            continue;
        kept.append(*it);
    }
    std::reverse(kept.begin(), kept.end());
    return kept;
}

bool LogReader::read(const QString &fileName, const LogFilter &filter, QVector<LogEntry> *entries,
                     QString *error, qint64 tailBytes)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    const qint64 start = qMax<qint64>(0, file.size() - tailBytes);
    QByteArray bytes;
    if (!file.seek(start) || (bytes = file.read(tailBytes), file.error() != QFile::NoError)) {
        *error = file.errorString();
        return false;
    }
    if (start > 0) {
        // The window starts inside a line: drop that partial line.
        const int newline = bytes.indexOf('\n');
        bytes = newline < 0 ? QByteArray() : bytes.mid(newline + 1);
    }
    *entries = LogReader::filter(parse(QString::fromUtf8(bytes)), filter);
    return true;
}

} // namespace Orvix::Actions
