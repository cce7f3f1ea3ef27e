#include "qhttpserver/qhttpconnection.h"
#include "qhttpserver/qhttpserver.h"
#include "support/rawhttpclient.h"

#include <QPointer>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using Orvix::Tests::RawHttpClient;

class tst_QHttpConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void idleConnectionIsClosed_data();
    void idleConnectionIsClosed();
    void manyPipelinedAnswersInOrder_data();
    void manyPipelinedAnswersInOrder();
    void streamedBodyIsChunked();
};

void tst_QHttpConnection::idleConnectionIsClosed_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("reads"); // whether the client reads its answers

    QByteArray pipelined;
    for (int i = 0; i < 100; ++i)
        pipelined += "GET /big HTTP/1.1\r\n\r\n";

    QTest::newRow("nothing sent") << QByteArray() << true;
    QTest::newRow("half a request line") << QByteArray("GET /pa") << true;
    QTest::newRow("headers without their end") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << true;
    QTest::newRow("after a complete answer") << QByteArray("GET / HTTP/1.1\r\n\r\n") << true;
    // Answers wait to be written, requests wait to be handed over: nothing moves any more.
    QTest::newRow("a client that stopped reading") << pipelined << false;
}

void tst_QHttpConnection::idleConnectionIsClosed()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, reads);

    QHttpServer server;
    server.setIdleTimeout(std::chrono::milliseconds(200));
    connect(&server, &QHttpServer::newRequest, this, [](QHttpRequest *request, QHttpResponse *response) {
        response->end(request->path() == "/big" ? QByteArray(256 * 1024, 'b') : QByteArray("ok"));
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    if (!reads) {
        QTcpSocket client;
        client.setReadBufferSize(1024); // and never read: the kernel's buffers fill, then ours
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(client.waitForConnected(10000));
        client.write(sent);
        QTRY_COMPARE(server.findChildren<QHttpConnection *>().size(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(server.findChildren<QHttpConnection *>().size(), 0, 30000);
        return;
    }
    RawHttpClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send(sent);
    if (sent.endsWith("\r\n\r\n"))
        QVERIFY(client.next());
    QVERIFY(client.waitClosed());
}

void tst_QHttpConnection::manyPipelinedAnswersInOrder_data()
{
    QTest::addColumn<bool>("answerAtOnce");
    QTest::addColumn<int>("answerBytes");

    QTest::newRow("answered at once") << true << 0;
    QTest::newRow("answered later, last first") << false << 0;
    // Each batch of requests read ahead would otherwise put all its answers in the socket at once.
    QTest::newRow("large answers wait for the socket to drain") << true << 256 * 1024;
}

void tst_QHttpConnection::manyPipelinedAnswersInOrder()
{
    QFETCH(bool, answerAtOnce);
    QFETCH(int, answerBytes);
    constexpr int kRequests = 100; // more than the connection reads ahead of its answers

    QHttpServer server;
    QList<QPointer<QHttpResponse>> held;
    qint64 largestBacklog = 0; // answers still in the socket when a request is handed over
    connect(&server, &QHttpServer::newRequest, this, [&](QHttpRequest *request, QHttpResponse *response) {
        response->setHeader("X-Path", request->path());
        largestBacklog = qMax(largestBacklog, response->bytesToWrite());
        if (answerAtOnce)
            response->end(request->path().leftJustified(answerBytes, '.'));
        else
            held.append(response);
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    RawHttpClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    QByteArray requests;
    for (int i = 0; i < kRequests; ++i)
        requests += "GET /" + QByteArray::number(i) + " HTTP/1.1\r\n\r\n";
    client.send(requests);

    int answered = 0;
    while (!answerAtOnce && answered < kRequests) {
        QTRY_VERIFY(!held.isEmpty());
        while (!held.isEmpty()) {
            QPointer<QHttpResponse> response = held.takeLast();
            QVERIFY(response);
            response->end(response->header("X-Path"));
            ++answered;
        }
    }
    for (int i = 0; i < kRequests; ++i) {
        const auto response = client.next();
        QVERIFY2(response, qPrintable(QString::number(i)));
        QCOMPARE(response->body, QByteArray("/" + QByteArray::number(i)).leftJustified(answerBytes, '.'));
    }
    QVERIFY2(largestBacklog <= QHttpConnection::kMaxWriteBacklog, qPrintable(QString::number(largestBacklog)));
}

void tst_QHttpConnection::streamedBodyIsChunked()
{
    QHttpServer server;
    connect(&server, &QHttpServer::newRequest, this, [](QHttpRequest *, QHttpResponse *response) {
        response->writeHead(200);
        response->write("first,");
        response->write(QByteArray(100000, 'x'));
        response->end(",last");
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    RawHttpClient client;
    QVERIFY(client.connectTo(server.serverPort()));
    client.send("GET / HTTP/1.1\r\n\r\nGET / HTTP/1.1\r\n\r\n");
    for (int i = 0; i < 2; ++i) {
        const auto response = client.next();
        QVERIFY(response);
        QCOMPARE(response->headers.value("transfer-encoding"), QByteArray("chunked"));
        QCOMPARE(response->body, "first," + QByteArray(100000, 'x') + ",last");
    }
    // HTTP/1.0 has no chunks: the body ends with the connection.
    RawHttpClient old;
    QVERIFY(old.connectTo(server.serverPort()));
    old.send("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n");
    const auto response = old.next();
    QVERIFY(response);
    QCOMPARE(response->body.size(), 100011);
    QVERIFY(old.waitClosed());
}

QTEST_GUILESS_MAIN(tst_QHttpConnection)
#include "tst_qhttpconnection.moc"
