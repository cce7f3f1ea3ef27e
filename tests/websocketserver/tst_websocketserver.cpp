#include "websocketserver/eventsender.h"
#include "websocketserver/iaction.h"
#include "websocketserver/server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QWebSocket>

using namespace Orvix::WebSocketServer;
using Orvix::Utils::Promise;

namespace {

using Result = Promise<ActionResult, ActionResult::Error>;

class EchoAction : public IAction
{
public:
    EchoAction()
        : IAction(QStringLiteral("echo"))
    {
    }
    Result execute(const QJsonObject &data) override
    {
        Result result;
        result.resolve(ActionResult(data));
        return result;
    }
};

class FailAction : public IAction
{
public:
    FailAction()
        : IAction(QStringLiteral("fail"))
    {
    }
    Result execute(const QJsonObject &) override
    {
        Result result;
        result.reject(ActionResult::Error{QStringLiteral("nope"), 7});
        return result;
    }
};

// Keeps its promises for the test to settle.
class LaterAction : public IAction
{
public:
    LaterAction()
        : IAction(QStringLiteral("later"))
    {
    }
    Result execute(const QJsonObject &) override
    {
        pending.append(Result());
        return pending.last();
    }
    QList<Result> pending;
};

// A client frame as it goes on the wire: masked (with a zero key, so the payload reads as it is) and
// with a 64-bit length.
QByteArray frame(quint8 finAndOpcode, qint64 announced, const QByteArray &payload = QByteArray())
{
    QByteArray bytes;
    bytes += char(finAndOpcode);
    bytes += char(0x80 | 127);
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes += char((announced >> shift) & 0xff);
    bytes += QByteArray(4, '\0');
    return bytes + payload;
}

QJsonObject parse(const QString &message)
{
    return QJsonDocument::fromJson(message.toUtf8()).object();
}

} // namespace

class tst_WebSocketServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void requests_data();
    void requests();
    void eventsReachEveryClient();
    void eventsWithoutServer();
    void answerAfterClientLeft();
    void tooLargeInputClosesTheClient_data();
    void tooLargeInputClosesTheClient();

private:
    bool connectClient(QWebSocket &socket);

    Server m_server;
    EchoAction m_echo;
    FailAction m_fail;
    LaterAction m_later;
};

void tst_WebSocketServer::initTestCase()
{
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
}

bool tst_WebSocketServer::connectClient(QWebSocket &socket)
{
    QSignalSpy connected(&socket, &QWebSocket::connected);
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(m_server.port())));
    return connected.wait(10000);
}

void tst_WebSocketServer::requests_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("expected"); // the whole response

    QTest::newRow("action answers its data")
        << R"({"action": "echo", "id": 12, "data": {"phone": "100"}})"
        << R"({"type": "response", "meta": {"action": "echo", "id": 12, "status": "success"}, "data": {"phone": "100"}})";
    QTest::newRow("id of any type, no data")
        << R"({"action": "echo", "id": "a-1"})"
        << R"({"type": "response", "meta": {"action": "echo", "id": "a-1", "status": "success"}, "data": {}})";
    QTest::newRow("action fails")
        << R"({"action": "fail", "id": 3, "data": {}})"
        << R"({"type": "response", "meta": {"action": "fail", "id": 3, "status": "error"}, "data": {"message": "nope", "code": 7}})";
    QTest::newRow("unknown action")
        << R"({"action": "nothing", "id": 4})"
        << R"({"type": "response", "meta": {"action": "nothing", "id": 4, "status": "error"}, "data": {"message": "Unknown action: nothing"}})";
    QTest::newRow("data that is not an object")
        << R"({"action": "echo", "id": 5, "data": [1]})"
        << R"({"type": "response", "meta": {"action": "echo", "id": 5, "status": "error"}, "data": {"message": "\"data\" must be an object"}})";
    QTest::newRow("not JSON") << "{action"
                              << R"({"type": "response", "meta": {"status": "error"}, "data": {"message": "The request is not a JSON object"}})";
    QTest::newRow("a JSON array") << "[1, 2]"
                                  << R"({"type": "response", "meta": {"status": "error"}, "data": {"message": "The request is not a JSON object"}})";
}

void tst_WebSocketServer::requests()
{
    QFETCH(QString, request);
    QFETCH(QString, expected);

    QWebSocket socket;
    QVERIFY(connectClient(socket));
    QSignalSpy received(&socket, &QWebSocket::textMessageReceived);
    socket.sendTextMessage(request);
    QVERIFY(received.wait(10000));
    QCOMPARE(parse(received.first().first().toString()), parse(expected));
}

void tst_WebSocketServer::eventsReachEveryClient()
{
    QWebSocket first;
    QWebSocket second;
    QVERIFY(connectClient(first));
    QVERIFY(connectClient(second));
    QTRY_COMPARE(EventSender::clientCount(), 2);
    QSignalSpy firstReceived(&first, &QWebSocket::textMessageReceived);
    QSignalSpy secondReceived(&second, &QWebSocket::textMessageReceived);

    const QJsonObject data{{"conversation", QJsonObject{{"id", "1700000000.1"}, {"from", "100"}}}};
    EventSender::sendEvent(QStringLiteral("conversation_requested"), data);
    const QJsonObject expected{{"type", "event"}, {"meta", QJsonObject{{"event", "conversation_requested"}}}, {"data", data}};
    QVERIFY(firstReceived.wait(10000));
    QCOMPARE(parse(firstReceived.first().first().toString()), expected);
    QTRY_COMPARE(secondReceived.size(), 1);
    QCOMPARE(parse(secondReceived.first().first().toString()), expected);

    second.close();
    QTRY_COMPARE(EventSender::clientCount(), 1);
    EventSender::sendEvent(QStringLiteral("entity_found"), QJsonObject{{"phone", "100"}});
    QVERIFY(firstReceived.wait(10000));
    QCOMPARE(parse(firstReceived.last().first().toString()).value("meta").toObject().value("event").toString(),
             QStringLiteral("entity_found"));
}

void tst_WebSocketServer::eventsWithoutServer()
{
    m_server.close();
    QTRY_COMPARE(m_server.clientCount(), 0);
    EventSender::sendEvent(QStringLiteral("conversation_ended"), QJsonObject());
    QCOMPARE(EventSender::clientCount(), 0);
    QVERIFY(m_server.listen(QHostAddress::LocalHost, 0));
}

void tst_WebSocketServer::answerAfterClientLeft()
{
    m_later.pending.clear();
    {
        QWebSocket socket;
        QVERIFY(connectClient(socket));
        socket.sendTextMessage(R"({"action": "later", "id": 1})");
        QTRY_COMPARE(m_later.pending.size(), 1);
        QSignalSpy gone(&m_server, &Server::clientDisconnected);
        socket.close();
        QVERIFY(gone.wait(10000));
    }
    m_later.pending.first().resolve(ActionResult(QJsonObject{{"late", true}}));

    // The server still answers the next client.
    QWebSocket socket;
    QVERIFY(connectClient(socket));
    QSignalSpy received(&socket, &QWebSocket::textMessageReceived);
    socket.sendTextMessage(R"({"action": "later", "id": 2})");
    QTRY_COMPARE(m_later.pending.size(), 2);
    m_later.pending.last().resolve(ActionResult(QJsonArray{1}));
    QVERIFY(received.wait(10000));
    QCOMPARE(parse(received.first().first().toString()).value("data").toArray(), QJsonArray{1});
}

void tst_WebSocketServer::tooLargeInputClosesTheClient_data()
{
    QTest::addColumn<QByteArray>("frames");

    constexpr qint64 kPart = 512 * 1024;
    // Closed on the header, before a byte of the payload is held.
    QTest::newRow("one frame announcing 2 MiB") << frame(0x81, 4 * kPart);
    QTest::newRow("one frame announcing 2 GiB") << frame(0x81, Q_INT64_C(0x7ffffffe));
    QTest::newRow("a message of small frames past 1 MiB")
        << frame(0x01, kPart, QByteArray(kPart, 'a')) + frame(0x00, kPart, QByteArray(kPart, 'a'))
               + frame(0x80, kPart, QByteArray(kPart, 'a'));
}

void tst_WebSocketServer::tooLargeInputClosesTheClient()
{
    QFETCH(QByteArray, frames);

    QTcpSocket raw;
    raw.connectToHost(QHostAddress::LocalHost, m_server.port());
    QVERIFY(raw.waitForConnected(10000));
    raw.write("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    QByteArray handshake;
    QTRY_VERIFY((handshake += raw.readAll()).contains("\r\n\r\n"));
    QVERIFY(handshake.startsWith("HTTP/1.1 101"));

    QSignalSpy closed(&raw, &QTcpSocket::disconnected);
    raw.write(frames);
    QVERIFY(closed.wait(10000));
    // The server says why: too much data (1009), not a time-out waiting for the rest of a frame.
    const QByteArray closing = raw.readAll();
    QVERIFY2(closing.size() >= 4 && quint8(closing.at(0)) == 0x88, closing.toHex().constData());
    QCOMPARE((quint8(closing.at(2)) << 8) | quint8(closing.at(3)), 1009);
}

QTEST_GUILESS_MAIN(tst_WebSocketServer)
#include "tst_websocketserver.moc"
