#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QtGlobal>

// Records the log lines of every thread (the SQL worker logs on its own) while it exists, and passes them on.
class MessageLog
{
public:
    struct Line
    {
        QtMsgType type;
        QString text;
        QDateTime time;
    };

    MessageLog()
    {
        QMutexLocker locker(&s_mutex);
        s_current = this;
        m_previous = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(m_previous);
        QMutexLocker locker(&s_mutex);
        s_current = nullptr;
    }
    MessageLog(const MessageLog &) = delete;
    MessageLog &operator=(const MessageLog &) = delete;

    QList<Line> lines(QtMsgType type, const QString &containing) const
    {
        QMutexLocker locker(&s_mutex);
        QList<Line> found;
        for (const Line &line : m_lines) {
            if (line.type == type && line.text.contains(containing))
                found.append(line);
        }
        return found;
    }
    int count(QtMsgType type, const QString &containing) const { return lines(type, containing).size(); }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        QtMessageHandler previous = nullptr;
        {
            QMutexLocker locker(&s_mutex);
            if (s_current) {
                s_current->m_lines.append({type, text, QDateTime::currentDateTimeUtc()});
                previous = s_current->m_previous;
            }
        }
        if (previous)
            previous(type, context, text);
    }

    static inline QMutex s_mutex;
    static inline MessageLog *s_current = nullptr;
    QtMessageHandler m_previous = nullptr;
    QList<Line> m_lines;
};
