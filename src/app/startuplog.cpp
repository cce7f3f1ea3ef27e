#include "app/startuplog.h"

#include <QByteArray>
#include <QMessageLogContext>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QVector>

#include <cstdio>

namespace Orvix {

namespace {

struct KeptMessage
{
    QtMsgType type;
    // The context points into memory the caller owns; keep copies.
    QByteArray file;
    int line;
    QByteArray function;
    QByteArray category;
    QString text;
};

struct KeptState
{
    QMutex mutex;
    QVector<KeptMessage> messages;
    QtMessageHandler previous = nullptr;
    bool keeping = false;
};

KeptState &kept()
{
    static KeptState state;
    return state;
}

void keepMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    QtMessageHandler previous = nullptr;
    {
        const QMutexLocker locker(&kept().mutex);
        if (kept().keeping)
            kept().messages.append(KeptMessage{type, context.file, context.line, context.function,
                                               context.category, text});
        previous = kept().previous;
    }
    // Only what needs attention is shown at once; the rest waits for the log, so a console that also
    // follows the log does not show it twice.
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (previous)
        previous(type, context, text);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
}

} // namespace

void StartupLog::begin()
{
    {
        const QMutexLocker locker(&kept().mutex);
        kept().keeping = true;
    }
    const QtMessageHandler previous = qInstallMessageHandler(&keepMessage);
    const QMutexLocker locker(&kept().mutex);
    kept().previous = previous;
}

void StartupLog::replay()
{
    QVector<KeptMessage> messages;
    {
        const QMutexLocker locker(&kept().mutex);
        kept().keeping = false;
        messages.swap(kept().messages);
    }
    // Reading the current handler means installing one: put it straight back.
    const QtMessageHandler current = qInstallMessageHandler(nullptr);
    qInstallMessageHandler(current);
    if (!current || current == &keepMessage)
        return;
    for (const KeptMessage &message : qAsConst(messages)) {
        const QMessageLogContext context(message.file.constData(), message.line, message.function.constData(),
                                         message.category.constData());
        current(message.type, context, message.text);
    }
}

} // namespace Orvix
