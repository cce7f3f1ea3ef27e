#include "app/stopsignals.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMetaMethod>
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace Orvix {

namespace {

int g_pipe[2] = {-1, -1};

void onStopSignal(int number)
{
    const char byte = static_cast<char>(number);
    // Nothing else is safe in a signal handler; a full pipe means a stop is on its way already.
    [[maybe_unused]] const ssize_t written = ::write(g_pipe[0], &byte, 1);
}

} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_pipe) != 0) {
        qWarning() << "SIGTERM, SIGINT and SIGHUP end the service without a log line: no signal pipe";
        return;
    }
    m_notifier = new QSocketNotifier(g_pipe[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &StopSignals::onSignal);
    struct sigaction action = {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // SIGHUP: the terminal that runs the service was closed.
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(number, &action, nullptr);
}

StopSignals::~StopSignals()
{
    if (!m_notifier)
        return;
    for (const int number : {SIGTERM, SIGINT, SIGHUP})
        std::signal(number, SIG_DFL);
    ::close(g_pipe[0]);
    ::close(g_pipe[1]);
    g_pipe[0] = g_pipe[1] = -1;
}

void StopSignals::onSignal()
{
    char byte = 0;
    if (::read(g_pipe[1], &byte, 1) != 1)
        return;
    m_notifier->setEnabled(false);
    qInfo().noquote() << QStringLiteral("Stopping on %1")
                             .arg(byte == SIGINT ? "SIGINT" : byte == SIGHUP ? "SIGHUP" : "SIGTERM");
    if (isSignalConnected(QMetaMethod::fromSignal(&StopSignals::stopRequested)))
        Q_EMIT stopRequested();
    else
        QCoreApplication::quit();
}

} // namespace Orvix
