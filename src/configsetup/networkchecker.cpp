#include "configsetup/networkchecker.h"

#include "configsetup/checkresult.h"
#include "configsetup/programrunner.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

namespace Orvix::ConfigSetup {

Utils::Promise<QJsonObject> NetworkChecker::check(QObject *parent, const QString &host, quint16 port,
                                                  std::chrono::milliseconds timeout)
{
    auto *checker = new NetworkChecker(parent, host, port, timeout); // deletes itself in finish()
    const Utils::Promise<QJsonObject> result = checker->m_result;
    checker->start();
    return result;
}

NetworkChecker::NetworkChecker(QObject *parent, const QString &host, quint16 port, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
    , m_timeout(timeout)
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(timeout);
    connect(m_timer, &QTimer::timeout, this, [this] { finish(false, QStringLiteral("no answer in time")); });
}

NetworkChecker::~NetworkChecker()
{
    if (m_finished)
        return;
    // The owner went first: the waiting party still gets its one answer.
    m_finished = true;
    if (m_socket)
        m_socket->disconnect(this);
    m_result.resolve(checkResult(kNotChecked, QStringLiteral("The check was cancelled")));
}

void NetworkChecker::start()
{
    // A host that would read as an option of ping is no host name.
    if (m_host.isEmpty() || m_host.startsWith(QLatin1Char('-'))) {
        finish(false, QStringLiteral("no host"));
        return;
    }
    const qint64 waitSeconds = std::max<qint64>(1, std::chrono::duration_cast<std::chrono::seconds>(m_timeout).count());
    ProgramRunner::run(this, QStringLiteral("ping"),
                       {QStringLiteral("-c"), QStringLiteral("1"), QStringLiteral("-W"), QString::number(waitSeconds),
                        m_host},
                       m_timeout + std::chrono::seconds(1))
        .onResolve([self = QPointer<NetworkChecker>(this)](const ProgramResult &result) {
            if (!self)
                return;
            if (!result.started)
                self->connectFallback();
            else
                self->finish(result.ok(), QStringLiteral("ping"));
        });
}

void NetworkChecker::connectFallback()
{
    m_socket = new QTcpSocket(this);
    connect(m_socket, &QTcpSocket::connected, this, [this] { finish(true, QStringLiteral("TCP")); });
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this] { finish(false, m_socket->errorString()); });
    m_timer->start();
    m_socket->connectToHost(m_host, m_port);
}

void NetworkChecker::finish(bool reachable, const QString &how)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer->stop();
    if (m_socket) {
        m_socket->disconnect(this);
        m_socket->abort();
    }
    deleteLater();
    QJsonObject result = reachable
        ? checkResult(NetworkStatus::Ok, QStringLiteral("%1 is reachable (%2)").arg(m_host, how))
        : checkResult(NetworkStatus::Unreachable, QStringLiteral("%1 cannot be reached (%2)").arg(m_host, how));
    result.insert(QStringLiteral("host"), m_host);
    m_result.resolve(result);
}

} // namespace Orvix::ConfigSetup
