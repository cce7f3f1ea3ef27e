#pragma once

#include "utils/promise.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>

class QProcess;
class QTimer;

namespace Orvix::ConfigSetup {

// What became of one external program.
struct ProgramResult
{
    bool started = false;  // false: not found or not executable
    bool timedOut = false; // killed after the time-out
    int exitCode = -1;     // meaningful only when it ran to its end
    QString output;        // standard output, trimmed

    bool ok() const { return started && !timedOut && exitCode == 0; }
};

// Runs one external program (looked up on PATH) without blocking the event loop, and kills it when it
// outlives its time-out: a PBX console that hangs must not hold a check for ever. The promise always
// resolves, on the thread that runs the program (the main thread): when the program ends, when it is
// killed, or as timed out when the parent goes first. A child of `parent`; deletes itself once settled.
class ProgramRunner : public QObject
{
    Q_OBJECT

public:
    static Utils::Promise<ProgramResult> run(QObject *parent, const QString &program, const QStringList &arguments,
                                             std::chrono::milliseconds timeout);
    // The same, blocking the calling thread for at most the time-out: for a step whose result the very
    // next one needs, taken before the event loop has anything else to do.
    static ProgramResult runAndWait(const QString &program, const QStringList &arguments,
                                    std::chrono::milliseconds timeout);
    ~ProgramRunner() override;

private:
    ProgramRunner(QObject *parent, std::chrono::milliseconds timeout);
    void start(const QString &program, const QStringList &arguments);
    void finish(ProgramResult result);

    QProcess *m_process;
    QTimer *m_timer;
    Utils::Promise<ProgramResult> m_result;
    bool m_finished = false;
};

} // namespace Orvix::ConfigSetup
