#include "websocketserver/eventsender.h"
#include "websocketserver/iaction.h"
#include "websocketserver/server.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
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

QTEST_GUILESS_MAIN(tst_WebSocketServer)
#include "tst_websocketserver.moc"
