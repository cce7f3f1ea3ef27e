#include "configsetup/asteriskchecker.h"

#include "configsetup/checkresult.h"
#include "pbx/asterisk/connector.h"

#include <QPointer>
#include <QTimer>

namespace Orvix::ConfigSetup {

namespace {
// The connector's text for a refused login.
constexpr QLatin1String kAuthenticationFailed("Authentication failed");
} // namespace

Utils::Promise<QJsonObject> AsteriskChecker::check(QObject *parent, const QString &host, quint16 port,
                                                   const QString &user, const QString &secret,
                                                   std::chrono::milliseconds timeout)
{
    auto *checker = new AsteriskChecker(parent, timeout); // deletes itself in finish()
    const Utils::Promise<QJsonObject> result = checker->m_result;
    checker->start(host, port, user, secret);
    return result;
}

AsteriskChecker::AsteriskChecker(QObject *parent, std::chrono::milliseconds timeout)
    : QObject(parent)
    , m_connector(new PBX::Asterisk::Connector(this))
    , m_timer(new QTimer(this))
{
    m_timer->setSingleShot(true);
    m_timer->setInterval(timeout);
}

AsteriskChecker::~AsteriskChecker()
{
    if (m_finished)
        return;
    // The owner went first: the waiting party still gets its one answer.
    m_finished = true;
    m_connector->disconnect(this);
    m_result.resolve(checkResult(kNotChecked, QStringLiteral("The check was cancelled")));
}

void AsteriskChecker::start(const QString &host, quint16 port, const QString &user, const QString &secret)
{
    const QString timedOut = QStringLiteral("Asterisk at %1:%2 did not answer in time").arg(host).arg(port);
    connect(m_connector, &PBX::Asterisk::Connector::hasError, this, [this](const QString &text) {
        m_lastError = text;
    });
    connect(m_timer, &QTimer::timeout, this, [this, timedOut] {
        finish(checkResult(AsteriskStatus::Timeout, timedOut));
    });

    Utils::Promise<void> login;
    login.onResolve([self = QPointer<AsteriskChecker>(this)] {
        if (self)
            self->finish(
                checkResult(AsteriskStatus::Ok, QStringLiteral("Logged in to the Asterisk manager interface")));
    });
    login.onReject([self = QPointer<AsteriskChecker>(this), address = QStringLiteral("%1:%2").arg(host).arg(port),
                    timedOut] {
        if (!self)
            return;
        if (self->m_lastError == PBX::Asterisk::kNoAnswerInTime) {
            // The connector's own time-out, when it is shorter than this check's.
            self->finish(checkResult(AsteriskStatus::Timeout, timedOut));
        } else if (self->m_lastError == kAuthenticationFailed) {
            self->finish(checkResult(AsteriskStatus::AuthenticationFailed,
                                     QStringLiteral("Asterisk refused the manager user or its secret")));
        } else {
            self->finish(checkResult(AsteriskStatus::ConnectionFailed,
                                     QStringLiteral("Cannot connect to Asterisk at %1: %2")
                                         .arg(address, self->m_lastError)));
        }
    });
    m_timer->start();
    m_connector->tryConnect(host, port, user, secret, login);
}

void AsteriskChecker::finish(const QJsonObject &result)
{
    if (m_finished)
        return;
    m_finished = true;
    m_timer->stop();
    m_connector->disconnect(this);
    // Closed on the next turn of the loop: the login answer that brought us here is still being
    // handled by the connector, and closing under it would report the login as left unanswered.
    QTimer::singleShot(0, this, [this] {
        m_connector->disconnectFromHost();
        deleteLater();
    });
    m_result.resolve(result);
}

} // namespace Orvix::ConfigSetup
