#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMetaType>
#include <QObject>
#include <QPair>
#include <QString>
#include <QTcpServer>

class QTcpSocket;

namespace Orvix::Tests {

// One long-poll as the fake relay received it.
struct FakeRelayPoll
{
    QByteArray verb;
    QString path;                                 // "/wait_call"
    QString portalAddress;                        // decoded "portal_address" of the query
    QList<QPair<QByteArray, QByteArray>> headers; // in wire order

    QByteArray header(const QByteArray &name) const; // case-insensitive; empty when absent
};

// What the fake relay answers to one poll.
struct FakeRelayReply
{
    int status = 204;
    QByteArray body;
    QByteArray contentType;

    static FakeRelayReply event(const QJsonObject &event); // 200 with the event as JSON
    static FakeRelayReply noEvent();                       // 204
    static FakeRelayReply error(int status, const QByteArray &text);
};

// In-process stand-in for the click-to-call relay: HTTP/1.1 on 127.0.0.1, free port, keep-alive. A poll
// is held open, as the real relay does, until the test answers it; an answer given while no poll waits
// is kept for the next poll. Owned by the test; closes every connection when destroyed. Main thread only.
class FakeRelayServer : public QObject
{
    Q_OBJECT
public:
    explicit FakeRelayServer(QObject *parent = nullptr); // listens at once
    ~FakeRelayServer() override;

    bool isListening() const;
    QString baseUrl() const; // "http://127.0.0.1:PORT"

    // Answers the oldest waiting poll, or the next poll to come.
    void answer(const FakeRelayReply &reply);

    int waitingPolls() const { return m_waiting.size(); }
    QList<FakeRelayPoll> polls() const { return m_polls; }

Q_SIGNALS:
    void pollReceived();

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void write(QTcpSocket *socket, const FakeRelayReply &reply);

    QTcpServer m_server;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<QTcpSocket *> m_waiting;
    QList<FakeRelayReply> m_queued;
    QList<FakeRelayPoll> m_polls;
};

} // namespace Orvix::Tests

Q_DECLARE_METATYPE(Orvix::Tests::FakeRelayReply)
