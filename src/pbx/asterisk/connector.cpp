#include "pbx/asterisk/connector.h"

#include "pbx/asterisk/actions/commandfeatures.h"
#include "pbx/asterisk/actions/coreshowchannels.h"
#include "pbx/asterisk/actions/hangup.h"
#include "pbx/asterisk/actions/iaxpeers.h"
#include "pbx/asterisk/actions/login.h"
#include "pbx/asterisk/actions/originate.h"
#include "pbx/asterisk/actions/redirect.h"
#include "pbx/asterisk/actions/sippeers.h"
#include "pbx/asterisk/actions/transfer.h"
#include "utils/networkerrortext.h"

#include <QDebug>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <chrono>

namespace Orvix::PBX::Asterisk {

namespace {
constexpr std::chrono::milliseconds kConnectedDelay{1000};
constexpr std::chrono::milliseconds kAnswerTimeout{10000};

// The log must never show the AMI password; the bytes on the wire keep it.
QString logText(const Message &message)
{
    if (message.headValue().compare(QLatin1String("Login"), Qt::CaseInsensitive) != 0)
        return message.toString();
    Message masked = message;
    const QMap<QString, QString> fields = message.fields();
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (it.key().compare(QLatin1String("Secret"), Qt::CaseInsensitive) == 0)
            masked.insert(it.key(), QStringLiteral("********"));
    }
    return masked.toString();
}

// A received message on one line of the log, of bounded length: what a wrong peer sent may be anything.
QString oneLine(const Message &message)
{
    constexpr int kMaxLength = 300;
    QString text = message.typeName();
    if (!message.headValue().isEmpty())
        text += QLatin1Char(' ') + message.headValue();
    text += QLatin1Char(' ') + QString::fromUtf8(QJsonDocument(message.toJson()).toJson(QJsonDocument::Compact));
    if (text.size() > kMaxLength)
        text = text.left(kMaxLength) + QStringLiteral("... (%1 characters)").arg(text.size());
    return text;
}
} // namespace

Connector::Connector(QObject *parent)
    : QObject(parent)
    , m_socket(new QTcpSocket(this))
    , m_connectedTimer(new QTimer(this))
    , m_answerTimer(new QTimer(this))
{
    m_answerTimer->setSingleShot(true);
    m_answerTimer->setInterval(kAnswerTimeout);
    connect(m_answerTimer, &QTimer::timeout, this, &Connector::onAnswerTimeout);
    m_connectedTimer->setSingleShot(true);
    m_connectedTimer->setInterval(kConnectedDelay);
    connect(m_connectedTimer, &QTimer::timeout, this, &Connector::connected);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &Connector::onError);
    connect(m_socket, &QIODevice::readyRead, this, &Connector::onNewDataInSocket);
    connect(m_socket, &QAbstractSocket::connected, this, &Connector::logIn);
    connect(m_socket, &QAbstractSocket::disconnected, this, &Connector::onLostConnection);
}

Connector::~Connector()
{
    // The socket is our child and would report its disconnection into a half-destroyed object.
    m_socket->disconnect(this);
    // Whoever waits on an action still gets its answer.
    abortPending(QStringLiteral("the connector was destroyed"));
}

void Connector::connectToHost(const QString &host, quint16 port, const QString &user, const QString &secret)
{
    m_user = user;
    m_secret = secret;
    m_host = host;
    m_port = port;
    m_failure.clear();
    // An open connection closes the ordinary way, so that its loss is reported; a socket still
    // looking up or connecting is dropped (it would refuse a new connectToHost).
    if (m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->abort();
    m_connectedTimer->stop();
    m_answerTimer->stop();
    abortPending(QStringLiteral("a new connection starts"));
    m_reader.clear();
    m_socket->connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
}

void Connector::tryConnect(const QString &host, quint16 port, const QString &user, const QString &secret,
                           Utils::Promise<void> loginWaiting)
{
    qDebug().noquote() << "Trying to connect to Asterisk";
    m_checkMode = true;
    // Armed before connecting, so that an error the socket reports at once reaches this caller.
    setLoginWaitingPromise(loginWaiting);
    connectToHost(host, port, user, secret);
}

void Connector::setLoginWaitingPromise(Utils::Promise<void> loginWaiting)
{
    m_loginResult = Utils::Promise<bool>();
    m_loginResult.onResolve([loginWaiting](bool) { loginWaiting.resolve(); });
    m_loginResult.onReject([loginWaiting]() { loginWaiting.reject(); });
}

void Connector::setAnswerTimeout(std::chrono::milliseconds timeout)
{
    m_answerTimer->setInterval(timeout);
}

void Connector::disconnectFromHost()
{
    m_connectedTimer->stop();
    m_answerTimer->stop();
    if (m_socket->state() == QAbstractSocket::UnconnectedState) {
        abortPending(QStringLiteral("the connection was closed"));
        return;
    }
    noteFailure(QStringLiteral("the link is stopped"));
    m_reportDisconnection = false;
    m_socket->disconnectFromHost();
    if (m_socket->state() != QAbstractSocket::UnconnectedState && m_socket->state() != QAbstractSocket::ClosingState) {
        // Still looking the host up or connecting: no disconnection will be reported to re-arm.
        m_socket->abort();
        m_reportDisconnection = true;
    }
    abortPending(QStringLiteral("the connection was closed"));
}

void Connector::execute(Actions::Generic action)
{
    const Message request = action.message();
    const QString unsafe = request.unsafeReason();
    if (!unsafe.isEmpty()) {
        qWarning().noquote() << "AMI action" << request.headValue().simplified() << "refused:" << unsafe;
        action.abort(QStringLiteral("not sent: ") + unsafe);
        return;
    }
    if (!isConnected()) {
        qWarning().noquote() << "AMI action" << request.headValue() << "not sent:" << noConnectionText();
        action.abort(noConnectionText());
        return;
    }
    const QUuid id = request.actionId();
    m_pending.insert(id, action);
    const QPointer<Connector> self(this);
    const auto forget = [self, id]() {
        if (self)
            self->m_pending.remove(id);
    };
    action.onSuccess(forget);
    action.onError(forget);
    sendMessage(request);
}

void Connector::sendMessage(const Message &message)
{
    m_socket->write(message.toByteArray());
    qDebug().noquote() << "Message has been sent to Asterisk: " + logText(message);
}

void Connector::onNewDataInSocket()
{
    m_reader.append(m_socket->readAll());
    while (std::optional<Message> message = m_reader.next())
        processMessage(*message);
}

void Connector::processMessage(const Message &message)
{
    if (!message.isValid()) {
        if (m_invalidMessageLogged)
            qDebug().noquote() << "INVALID MESSAGE:" << oneLine(message);
        else
            qWarning().noquote() << "INVALID MESSAGE:" << oneLine(message);
        m_invalidMessageLogged = true;
    }

    auto it = m_pending.constFind(message.actionId());
    if (it != m_pending.constEnd()) {
        Actions::Generic action = it.value(); // the handle may leave the map while it runs
        action.handle(message);
        return;
    }
    if (message.type() == Message::Event && message.actionId().isNull()) {
        for (const Actions::Generic &pending : qAsConst(m_pending)) {
            if (pending.takesUnaddressedEvent(message)) {
                Actions::Generic action = pending;
                action.handle(message);
                return;
            }
        }
        return;
    }
    if (message.type() == Message::Response)
        qWarning().noquote() << "ACTION NOT IN PENDING LIST:" << message.actionId().toString() << oneLine(message);
}

void Connector::logIn()
{
    // The login goes out at once; the greeting and the login answer must both come within the time-out.
    m_answerTimer->start();
    Actions::Login login(m_user, m_secret);
    const QPointer<Connector> self(this);
    login.onSuccess([self]() {
        if (!self)
            return;
        self->m_answerTimer->stop();
        self->m_failure.clear();
        self->m_invalidMessageLogged = false;
        if (self->m_checkMode) {
            Q_EMIT self->connected();
            Q_EMIT self->loggedIn();
            self->m_loginResult.resolve(true);
        } else {
            self->loadPeers();
            self->m_connectedTimer->start();
        }
    });
    // The login result of this connection: a later tryConnect replaces the member.
    const Utils::Promise<bool> result = m_loginResult;
    // Credentials that would break the frame are never sent (execute says why); for the owner that is a failed
    // login like any other, or the link would wait for an answer that cannot come.
    const bool unsendable = !login.message().unsafeReason().isEmpty();
    login.onError([self, login, result, unsendable]() {
        if (self)
            self->m_answerTimer->stop();
        // Unanswered, its connection ended (our own disconnect, a new connection, our destruction, or a loss the
        // socket reports itself): no "Authentication failed", but a caller waiting on the login must still hear of it.
        if (!self || (!login.isAnswered() && !unsendable)) {
            result.reject();
            return;
        }
        self->noteFailure(QStringLiteral("Asterisk refused the manager user or its secret"));
        Q_EMIT self->hasError(QStringLiteral("Authentication failed"));
        self->m_loginResult.reject();
    });
    execute(login);
}

void Connector::loadPeers()
{
    Actions::SIPPeers sipPeers;
    const QPointer<Connector> self(this);
    sipPeers.onSuccess([self](QSet<QString> names) {
        if (!self)
            return;
        self->m_peers.unite(names);
        Actions::IAXPeers iaxPeers;
        iaxPeers.onSuccess([self](QSet<QString> iaxNames) {
            if (!self)
                return;
            self->m_peers.unite(iaxNames);
            Q_EMIT self->peersReceived(self->m_peers);
        });
        self->execute(iaxPeers);
    });
    execute(sipPeers);
}

void Connector::loadServiceCombinations()
{
    Actions::CommandFeatures features;
    const QPointer<Connector> self(this);
    features.onSuccess([self](QHash<QString, QString> codes) {
        if (!self)
            return;
        for (auto it = codes.cbegin(); it != codes.cend(); ++it)
            self->m_combinations.insert(it.key(), it.value());
        Q_EMIT self->combReceived(self->m_combinations);
    });
    execute(features);
}

bool Connector::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

QString Connector::noConnectionText() const
{
    if (m_host.isEmpty())
        return QStringLiteral("no connection to Asterisk (the link has not started)");
    return QStringLiteral("no connection to Asterisk at %1:%2 (%3)")
        .arg(m_host)
        .arg(m_port)
        .arg(m_failure.isEmpty() ? QStringLiteral("connecting") : m_failure);
}

void Connector::noteFailure(const QString &why)
{
    if (m_failure.isEmpty())
        m_failure = why;
}

Utils::Promise<void, QString> Connector::track(Actions::Generic action)
{
    Utils::Promise<void, QString> promise;
    action.onSuccess([promise]() { promise.resolve(); });
    action.onFailure([promise](const QString &reason) { promise.reject(reason); });
    execute(action);
    return promise;
}

Utils::Promise<void, QString> Connector::originate(const QHash<QString, QString> &params)
{
    return track(Actions::Originate(params.value(QStringLiteral("channel")), params.value(QStringLiteral("context")),
                                    params.value(QStringLiteral("extension")),
                                    params.value(QStringLiteral("caller_id")),
                                    params.value(QStringLiteral("priority")), params.value(QStringLiteral("codecs")),
                                    params.value(QStringLiteral("variable"))));
}

Utils::Promise<void, QString> Connector::hangup(const QString &channel)
{
    return track(Actions::Hangup(channel));
}

Utils::Promise<void, QString> Connector::transfer(const QString &channel, const QString &context, const QString &exten,
                                                  bool blind)
{
    return track(Actions::Transfer(channel, context, exten, blind));
}

Utils::Promise<void, QString> Connector::redirect(const QString &channel, const QString &context, const QString &exten,
                                                  const QString &priority)
{
    return track(Actions::Redirect(channel, context, exten, priority));
}

Utils::Promise<QSet<QString>> Connector::liveChannels()
{
    Utils::Promise<QSet<QString>> promise;
    Actions::CoreShowChannels action;
    action.onSuccess([promise](QSet<QString> ids) { promise.resolve(ids); });
    action.onError([promise]() { promise.reject(); });
    execute(action);
    return promise;
}

void Connector::onLostConnection()
{
    m_connectedTimer->stop();
    m_answerTimer->stop();
    noteFailure(QStringLiteral("the connection was lost"));
    abortPending(QStringLiteral("the connection to Asterisk was lost"));
    m_reader.clear();
    if (m_reportDisconnection)
        Q_EMIT disconnected();
    else
        m_reportDisconnection = true;
}

void Connector::onError(QAbstractSocket::SocketError error)
{
    noteFailure(Utils::socketErrorText(error));
    Q_EMIT hasError(Utils::socketErrorText(error));
    m_loginResult.reject();
}

void Connector::onAnswerTimeout()
{
    // Told first, so that whoever waits on the login knows why it failed when the abort below rejects it.
    noteFailure(kNoAnswerInTime);
    Q_EMIT hasError(kNoAnswerInTime);
    // Dropped like a connection that was never made: the owner hears of the error, not of a lost link.
    m_reportDisconnection = false;
    m_socket->abort();
    m_reportDisconnection = true;
    abortPending(QStringLiteral("Asterisk did not answer in time"));
    m_loginResult.reject();
}

void Connector::abortPending(const QString &why)
{
    if (m_pending.isEmpty())
        return;
    qWarning().noquote() << "AMI actions without an answer failed," << why + ":" << m_pending.size();
    const QList<Actions::Generic> pending = m_pending.values();
    m_pending.clear();
    for (Actions::Generic action : pending)
        action.abort(why);
}

} // namespace Orvix::PBX::Asterisk
