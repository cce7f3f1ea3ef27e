#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

// Collects every log message while alive.
class LogCapture
{
public:
    LogCapture()
    {
        clear();
        s_previous = qInstallMessageHandler(&LogCapture::handler);
    }
    ~LogCapture() { qInstallMessageHandler(s_previous); }

    static QStringList messages()
    {
        QMutexLocker lock(&s_mutex);
        return s_messages;
    }
    static void clear()
    {
        QMutexLocker lock(&s_mutex);
        s_messages.clear();
    }
    static QStringList matching(const QString &part)
    {
        return messages().filter(part);
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        {
            QMutexLocker lock(&s_mutex);
            s_messages.append(message);
        }
        if (s_previous)
            s_previous(type, context, message);
    }

    static inline QtMessageHandler s_previous = nullptr;
    static inline QMutex s_mutex;
    static inline QStringList s_messages;
};
