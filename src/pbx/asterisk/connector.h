#pragma once

#include "pbx/asterisk/actions/generic.h"
#include "pbx/asterisk/messagereader.h"
#include "utils/promise.h"

#include <QAbstractSocket>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>

#include <chrono>

class QTcpSocket;
class QTimer;

namespace Orvix::PBX::Asterisk {

// The error a connection fails with when Asterisk does not greet or answer the login in time.
inline constexpr QLatin1String kNoAnswerInTime("Asterisk did not answer the login in time");

// Client of the Asterisk Manager Interface: logs in, sends actions and routes every answer to the
// action it belongs to. Service mode (connectToHost) reads the peer lists after login and announces
// `connected` 1000 ms later; check mode (tryConnect) only tests the login. It never reconnects: its
// owner reacts to `hasError` and `disconnected`. A peer that accepts the connection but does not
// greet and answer the login within the answer time-out fails it as a refused connection does
// (`hasError`, no `disconnected`). Actions still waiting for an answer fail when their connection
// ends or a new one starts. Lives on the main thread.
class Connector : public QObject
{
    Q_OBJECT

public:
    explicit Connector(QObject *parent = nullptr);
    ~Connector() override;

    void connectToHost(const QString &host, quint16 port, const QString &user, const QString &secret);
    void tryConnect(const QString &host, quint16 port, const QString &user, const QString &secret,
                    Utils::Promise<void> loginWaiting);
    void setLoginWaitingPromise(Utils::Promise<void> loginWaiting);
    // From the TCP connection to the login answer (10 s unless set). Read when a connection is made.
    void setAnswerTimeout(std::chrono::milliseconds timeout);
    // Closes the connection without reporting it with `disconnected`.
    void disconnectFromHost();

    // Sends the action and keeps it until it settles. An action that cannot be sent safely (not
    // connected, or CR/LF/NUL in its head, a key or a value) fails at once and nothing is written.
    void execute(Actions::Generic action);
    void loadPeers();
    void loadServiceCombinations();

    // The call-control actions reject with the Message of Asterisk's answer ("Channel specified does not
    // exist"), or with why they were not answered (noConnectionText() when there is no connection).
    // Keys: "channel", "context", "extension", "caller_id", "priority", "codecs", "variable".
    Utils::Promise<void, QString> originate(const QHash<QString, QString> &params);
    Utils::Promise<void, QString> hangup(const QString &channel);
    Utils::Promise<void, QString> transfer(const QString &channel, const QString &context, const QString &exten,
                                           bool blind);
    Utils::Promise<void, QString> redirect(const QString &channel, const QString &context, const QString &exten,
                                           const QString &priority);

    // The unique and linked ids of every channel the PBX has now (CoreShowChannels).
    Utils::Promise<QSet<QString>> liveChannels();

    bool isConnected() const;
    // "no connection to Asterisk at 127.0.0.1:5038 (connection refused)": where, and the last failure.
    QString noConnectionText() const;

    QSet<QString> peers() const { return m_peers; }
    int pendingCount() const { return m_pending.size(); }

Q_SIGNALS:
    void connected();
    void disconnected();
    void loggedIn();
    void hasError(const QString &text);
    void peersReceived(const QSet<QString> &peers);
    void combReceived(const QHash<QString, QString> &combinations);

private Q_SLOTS:
    void onNewDataInSocket();
    void logIn();
    void onLostConnection();
    void onError(QAbstractSocket::SocketError error);
    void onAnswerTimeout();

private:
    void sendMessage(const Message &message);
    void processMessage(const Message &message);
    // Fails every action still waiting for an answer of the connection that ended.
    void abortPending(const QString &why);
    Utils::Promise<void, QString> track(Actions::Generic action);
    // Why the connection of the last connectToHost is not up, for noConnectionText(); the first reason
    // given since the last login.
    void noteFailure(const QString &why);

    bool m_checkMode = false;
    bool m_reportDisconnection = true;
    // A peer that is no manager interface (a wrong port) may send any amount: its first frame is told, once
    // until a login succeeds, not at every try of the link.
    bool m_invalidMessageLogged = false;
    QTcpSocket *m_socket;
    QTimer *m_connectedTimer;
    QTimer *m_answerTimer;
    QString m_host;
    quint16 m_port = 0;
    QString m_failure;
    QString m_user;
    QString m_secret;
    MessageReader m_reader;
    QMap<QUuid, Actions::Generic> m_pending;
    QSet<QString> m_peers;
    QHash<QString, QString> m_combinations;
    Utils::Promise<bool> m_loginResult;
};

} // namespace Orvix::PBX::Asterisk
