#include "configsetup/programrunner.h"

#include <QProcess>
#include <QTimer>

namespace Orvix::ConfigSetup {

Utils::Promise<ProgramResult> ProgramRunner::run(QObject *parent, const QString &program, const QStringList &arguments,
                                                 std::chrono::milliseconds timeout)
{
    auto *runner = new ProgramRunner(parent, timeout);
    const Utils::Promise<ProgramResult> result = runner->m_result;
    runner->start(program, arguments);
    return result;
}

ProgramResult ProgramRunner::runAndWait(const QString &program, const QStringList &arguments,
                                        std::chrono::milliseconds timeout)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(program, arguments, QIODevice::ReadOnly);
    ProgramResult result;
    if (!process.waitForStarted(int(timeout.count())))
        return result;
    result.started = true;
    if (!process.waitForFinished(int(timeout.count()))) {
        result.timedOut = true;
        process.kill();
        // It died by SIGKILL: reaping it is short, and leaves no zombie behind.
        process.waitForFinished(1000);
    } else {
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    }
    result.output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
    return result;
}

ProgramRunner::ProgramRunner(QObject *parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_process(new QProcess(this))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(timeout);
    m_process->setProcessChannelMode(QProcess::SeparateChannels);
    m_process->setInputChannelMode(QProcess::ManagedInputChannel);
}

ProgramRunner::~ProgramRunner()
{
    if (m_finished)
        return;
    // The owner went first: the program is killed with the process object, and the waiting party learns it.
    m_finished = true;
    m_process->disconnect(this);
    m_timer->disconnect(this);
    ProgramResult result;
    result.started = true;
    result.timedOut = true;
    m_result.resolve(result);
}

void ProgramRunner::start(const QString &program, const QStringList &arguments)
{
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            ProgramResult result;
            finish(result);
        }
    });
    connect(m_process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), this,
            [this](int exitCode, QProcess::ExitStatus status) {
                ProgramResult result;
                result.started = true;
                result.exitCode = status == QProcess::NormalExit ? exitCode : -1;
                result.output = QString::fromLocal8Bit(m_process->readAllStandardOutput()).trimmed();
                finish(result);
            });
    connect(m_timer, &QTimer::timeout, this, [this] {
        ProgramResult result;
        result.started = true;
        result.timedOut = true;
        result.output = QString::fromLocal8Bit(m_process->readAllStandardOutput()).trimmed();
        finish(result);
    });
    m_timer->start();
    m_process->start(program, arguments, QIODevice::ReadOnly);
}

void ProgramRunner::finish(ProgramResult result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer->stop();
    m_process->disconnect(this);
    if (m_process->state() != QProcess::NotRunning) {
        m_process->kill();
        // Reaps the killed child so that no zombie is left behind; it died by SIGKILL, so this is short.
        m_process->waitForFinished(1000);
    }
    deleteLater();
    m_result.resolve(result);
}

} // namespace Orvix::ConfigSetup
