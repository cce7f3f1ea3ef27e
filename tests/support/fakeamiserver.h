#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace Orvix::Tests {

// An in-process Asterisk Manager Interface for tests, speaking the bytes of a real Asterisk 20
// (tests/fixtures/asterisk20/ami-*.txt): the greeting line without an empty line after it, answers
// in the "Key: Value" form, peer lists as event lists ending in "PeerlistComplete" (the IAX entries
// carry no ActionID, as on the real server), and a wrong password answered after about 1 s, after
// which the connection is closed.
//
// Use:
//   FakeAmiServer ami;                     // user "crm", secret "crmsecret"
//   QVERIFY(ami.listen());                 // 127.0.0.1, a free port: ami.host(), ami.port()
//   ami.setReply("Hangup", "Error", "No such channel");          // one fixed answer for an action
//   ami.setResponder("Originate", [](const FakeAmiServer::Frame &f) {    // or any answer at all
//       return FakeAmiServer::response("Success", f.actionId, {{"Message", "Originate successfully queued"}});
//   });
//   QSignalSpy frames(&ami, &FakeAmiServer::frameReceived);    // one signal per received frame
//   ... ami.frames("Hangup").last().value("Channel") ...
//   ami.closeConnections();                // the server drops every client
//
// Built-in answers, unless a responder replaces them: Login (checks the credentials; answers any
// other action with "Permission denied" before a login), Logoff (then closes), Ping, SIPpeers,
// IAXpeers, CoreShowChannels (the channels set with setChannels, none by default, in Asterisk 20's
// form: one "CoreShowChannel" event each, then "CoreShowChannelsComplete" with "ListItems"),
// Command (output set with setCommandOutput), and "Success" for Hangup, Originate,
// Redirect, Atxfer and BlindTransfer; any other action gets Asterisk's "Invalid/unknown command".
// Action names are matched without regard to case, as Asterisk does. Everything runs on the thread
// that owns the server; it closes its connections when destroyed.
class FakeAmiServer : public QObject
{
    Q_OBJECT

public:
    // One frame received from the client.
    struct Frame
    {
        QByteArray raw;      // the bytes as received, closing empty line included
        QString action;      // value of the "Action" line
        QString actionId;    // value of the "ActionID" line as written
        QList<QPair<QString, QString>> lines; // every other line, in wire order
        int connection = 0;  // 0 for the first accepted connection, 1 for the next...

        // First value of a key (case-insensitive); empty when absent.
        QString value(const QString &key) const;
        bool has(const QString &key) const;
        // The keys in wire order, for checking the order the client wrote them in.
        QStringList keys() const;
    };
    using Fields = QList<QPair<QString, QString>>;
    // A channel the PBX has, as CoreShowChannels lists it.
    struct LiveChannel
    {
        QString name;      // "SIP/101-00000001"
        QString uniqueId;
        QString linkedId;
        QString callerIdNum;
    };
    // The bytes to answer a frame with: whole frames, or nothing to stay silent.
    using Responder = std::function<QByteArray(const Frame &frame)>;

    explicit FakeAmiServer(QObject *parent = nullptr);
    ~FakeAmiServer() override;

    // A free port unless given (a server back on the port of one that went away).
    bool listen(quint16 port = 0);
    QString host() const;
    quint16 port() const;

    void setGreeting(const QByteArray &greeting);   // default "Asterisk Call Manager/9.0.0"
    void setCredentials(const QString &user, const QString &secret);
    void setLoginFailureDelay(int msec);            // default 1000
    // Accepts connections and never writes a byte: no greeting, no answer (a hung manager). Frames are still kept.
    void setSilent(bool silent);
    void setSipPeers(const QStringList &names);     // default 101, 102, trunk
    void setIaxPeers(const QStringList &names);     // default 103
    void setChannels(const QList<LiveChannel> &channels);
    void setCommandOutput(const QString &command, const QStringList &outputLines);

    void setResponder(const QString &action, Responder responder);
    // "Response: <status>", the frame's ActionID, and "Message: <message>" when not empty.
    void setReply(const QString &action, const QString &status, const QString &message);
    void clearResponder(const QString &action);

    // Raw bytes to every open connection: at once, or in pieces written one event-loop turn apart
    // so that the client reads them separately.
    void send(const QByteArray &bytes);
    void sendInPieces(const QByteArray &bytes, int pieceSize);
    void closeConnections();
    int openConnections() const;

    QList<Frame> frames() const { return m_frames; }
    QList<Frame> frames(const QString &action) const;

    static QByteArray response(const QString &status, const QString &actionId, const Fields &fields = {});
    static QByteArray event(const QString &name, const Fields &fields);

Q_SIGNALS:
    void frameReceived(const Orvix::Tests::FakeAmiServer::Frame &frame);
    void clientConnected();
    void clientDisconnected();

private:
    struct Client
    {
        QTcpSocket *socket = nullptr;
        QByteArray buffer;
        bool authenticated = false;
        int index = 0;
    };

    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(Client &client, const Frame &frame);
    QByteArray builtInAnswer(Client &client, const Frame &frame, bool &close);
    QByteArray peerList(const Frame &frame, bool sip) const;
    QByteArray channelList(const Frame &frame) const;

    QTcpServer *m_server;
    QHash<QTcpSocket *, Client> m_clients;
    int m_accepted = 0;
    QByteArray m_greeting = QByteArrayLiteral("Asterisk Call Manager/9.0.0");
    QString m_user = QStringLiteral("crm");
    QString m_secret = QStringLiteral("crmsecret");
    int m_loginFailureDelay = 1000;
    bool m_silent = false;
    QStringList m_sipPeers{QStringLiteral("101"), QStringLiteral("102"), QStringLiteral("trunk")};
    QStringList m_iaxPeers{QStringLiteral("103")};
    QList<LiveChannel> m_channels;
    QHash<QString, QStringList> m_commandOutput;
    QHash<QString, Responder> m_responders;
    QList<Frame> m_frames;
};

} // namespace Orvix::Tests

Q_DECLARE_METATYPE(Orvix::Tests::FakeAmiServer::Frame)
