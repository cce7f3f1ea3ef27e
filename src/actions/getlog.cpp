#include "actions/getlog.h"

#include "actions/logreader.h"
#include "utils/logger.h"

#include <QDebug>
#include <QFileInfo>
#include <QJsonArray>

namespace Orvix::Actions {

GetLog::GetLog(QObject *parent)
    : Action(QStringLiteral("/get_log"), true, parent)
{
}

void GetLog::handle(const QJsonObject &params, Reply *reply)
{
    LogFilter filter;
    QString count;
    if (!takeOptionalText(params, QStringLiteral("call_id"), reply, &filter.callId)
        || !takeOptionalText(params, QStringLiteral("level"), reply, &filter.minLevel)
        || !takeOptionalText(params, QStringLiteral("text"), reply, &filter.text)
        || !takeOptionalText(params, QStringLiteral("count"), reply, &count))
        return;
    if (!filter.minLevel.isEmpty() && !LogReader::isLevel(filter.minLevel)) {
        reply->sendError(400, QStringLiteral("Malformed parameter: level"));
        return;
    }
    filter.count = kDefaultCount;
    if (!count.isEmpty()) {
        bool ok = false;
        filter.count = count.toInt(&ok);
        if (!ok || filter.count < 1 || filter.count > kMaxCount) {
            reply->sendError(400, QStringLiteral("Malformed parameter: count"));
            return;
        }
    }

    const QString fileName = m_logFileName.isEmpty() ? Utils::Logger::getLogFileName() : m_logFileName;
    if (!QFileInfo(fileName).isFile()) {
        reply->sendError(404, QStringLiteral("Log file not found"));
        return;
    }
    QVector<LogEntry> entries;
    QString error;
    if (!LogReader::read(fileName, filter, &entries, &error)) {
        qWarning().noquote() << QStringLiteral("Failed to read the log file %1: %2").arg(fileName, error);
        reply->sendError(500, QStringLiteral("Log file unreadable"));
        return;
    }
    QJsonArray result;
    for (const LogEntry &entry : qAsConst(entries))
        result.append(entry.toJson());
    reply->sendResult(result);
}

} // namespace Orvix::Actions
