#include "qhttpserver/qhttpconnection.h"
#include "qhttpserver/qhttpserver.h"
#include "qhttpserver/qhttpsserver.h"
#include "support/rawhttpclient.h"

#include <QPointer>
#include <QProcess>
#include <QSet>
#include <QSharedPointer>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <memory>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

using Orvix::Tests::RawHttpClient;

// Its connections count as a TLS listener's do, in the slots they take; plain bytes spare the tests a handshake.
class CountedAsTls : public QHttpServer
{
protected:
    bool isSecure() const override { return true; }
};

// A throwaway certificate and key for a TLS listener.
bool makeCertificate(QSslCertificate *certificate, QSslKey *key)
{
    QTemporaryDir dir;
    QProcess openssl;
    QSignalSpy finished(&openssl, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                              "-days", "1", "-subj", "/CN=127.0.0.1", "-keyout", dir.filePath("key.pem"), "-out",
                              dir.filePath("crt.pem")});
    if (!finished.wait(60000) || openssl.exitCode() != 0)
        return false;
    QFile crt(dir.filePath("crt.pem"));
    QFile pem(dir.filePath("key.pem"));
    if (!crt.open(QIODevice::ReadOnly) || !pem.open(QIODevice::ReadOnly))
        return false;
    *certificate = QSslCertificate(crt.readAll(), QSsl::Pem);
    *key = QSslKey(pem.readAll(), QSsl::Ec, QSsl::Pem);
    return !certificate->isNull() && !key->isNull();
}

// Writes an answer as Response::sendFile streams a file: more each time the socket has taken some.
void streamAnswer(QHttpResponse *response, qint64 size)
{
    response->setHeader("Content-Length", QByteArray::number(size));
    response->writeHead(200);
    const auto left = QSharedPointer<qint64>::create(size);
    const auto pump = [response, left] {
        while (response->bytesToWrite() < 256 * 1024 && *left > 0) {
            const qint64 chunk = qMin<qint64>(*left, 64 * 1024);
            response->write(QByteArray(int(chunk), 's'));
            *left -= chunk;
        }
        if (*left == 0 && !response->isFinished())
            response->end();
    };
    QObject::connect(response, &QHttpResponse::bytesWritten, response, pump);
    pump();
}

// A client bound to the address that pipelines requests with a small receive buffer and never reads its answers.
std::unique_ptr<QTcpSocket> neverReading(const QHostAddress &from, quint16 port, const QByteArray &requests)
{
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(from.toIPv4Address());
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto client = std::make_unique<QTcpSocket>();
    // Not blocking: the listener accepts only once the test's event loop runs.
    if (::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small) != 0
        || ::bind(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::fcntl(descriptor, F_SETFL, O_NONBLOCK) != 0
        || (::connect(descriptor, reinterpret_cast<sockaddr *>(&server), sizeof server) != 0 && errno != EINPROGRESS)
        || !client->setSocketDescriptor(descriptor, QAbstractSocket::ConnectingState))
        return nullptr;
    client->setReadBufferSize(small);
    client->write(requests);
    return client;
}

class tst_QHttpConnection : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void idleConnectionIsClosed_data();
    void idleConnectionIsClosed();
    void manyPipelinedAnswersInOrder_data();
    void manyPipelinedAnswersInOrder();
    void streamedBodyIsChunked();
    void unreadAnswersStopReading_data();
    void unreadAnswersStopReading();
    void connectionsAreCapped_data();
    void connectionsAreCapped();
    void clientsAreCountedByNetwork_data();
    void clientsAreCountedByNetwork();
    void bodiesAreBounded_data();
    void bodiesAreBounded();
};


void tst_QHttpConnection::idleConnectionIsClosed_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<bool>("reads"); // whether the client reads its answers
    QTest::addColumn<int>("status"); // of the answer before the close; 0: none expected

    QByteArray pipelined;
    for (int i = 0; i < 100; ++i)
        pipelined += "GET /big HTTP/1.1\r\n\r\n";

    QTest::newRow("nothing sent") << QByteArray() << true << 0;
    QTest::newRow("half a request line") << QByteArray("GET /pa") << true << 0;
    QTest::newRow("headers without their end") << QByteArray("GET / HTTP/1.1\r\nHost: x\r\n") << true << 0;
    QTest::newRow("after a complete answer") << QByteArray("GET / HTTP/1.1\r\n\r\n") << true << 200;
    // Answers wait to be written, requests wait to be handed over: nothing moves any more.
    QTest::newRow("a client that stopped reading") << pipelined << false << 0;
    // Each line comes before the idle time-out, the whole head never within the head time-out.
    QTest::newRow("a head sent a line at a time") << QByteArray("GET / HTTP/1.1\r\n") << true << 408;
    QTest::newRow("empty lines a line at a time") << QByteArray("\r\n") << true << 408;
    // The same for a body, within the request time-out.
    QTest::newRow("a body sent a byte at a time")
        << QByteArray("POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n") << true << 408;
}

void tst_QHttpConnection::idleConnectionIsClosed()
{
    QFETCH(QByteArray, sent);
    QFETCH(bool, reads);
    QFETCH(int, status);

    QHttpServer server;
    server.setIdleTimeout(std::chrono::milliseconds(200));
    server.setHeadTimeout(std::chrono::milliseconds(600));
    server.setRequestTimeout(std::chrono::milliseconds(1500));
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
    QTimer trickle;
    int line = 0;
    connect(&trickle, &QTimer::timeout, &client, [&] {
        if (sent.startsWith("POST"))
            client.send("b");
        else
            client.send(sent == "\r\n" ? sent : "X-Line-" + QByteArray::number(++line) + ": y\r\n");
    });
    if (status == 408)
        trickle.start(100);
    if (status != 0) {
        const auto answer = client.next();
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
    }
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

void tst_QHttpConnection::unreadAnswersStopReading_data()
{
    QTest::addColumn<int>("headerBytes");
    QTest::addColumn<int>("answerBytes");
    QTest::addColumn<bool>("headEndsLater"); // one request, and the head of a second that ends after reading stopped

    QTest::newRow("large heads, answers of a static file") << 60000 << 32 * 1024 << false;
    QTest::newRow("small heads, large answers") << 10 << 256 * 1024 << false;
    // Reading stops between requests: one on its way is read to its end, not timed out while it waits.
    QTest::newRow("a head that ends after reading stopped") << 10 << 8 * 1024 * 1024 << true;
}

void tst_QHttpConnection::unreadAnswersStopReading()
{
    QFETCH(int, headerBytes);
    QFETCH(int, answerBytes);
    QFETCH(bool, headEndsLater);
    // Answers of more than the kernels take in for a client that never reads.
    const int requests = headEndsLater ? 1 : 400;

    QHttpServer server;
    server.setHeadTimeout(std::chrono::milliseconds(300));
    int handedOver = 0;
    connect(&server, &QHttpServer::newRequest, this, [&](QHttpRequest *, QHttpResponse *response) {
        ++handedOver;
        response->end(QByteArray(answerBytes, 'a'));
    });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    // A client that never reads, with a receive buffer so small that the kernels take little of the answers.
    const int descriptor = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    QCOMPARE(::setsockopt(descriptor, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.serverPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    QCOMPARE(::connect(descriptor, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    QTcpSocket client;
    client.setReadBufferSize(small);
    QVERIFY(client.setSocketDescriptor(descriptor));
    const QByteArray request = "GET /static/config.js HTTP/1.1\r\nX-Pad: " + QByteArray(headerBytes, 'h') + "\r\n\r\n";
    client.write(request.repeated(requests) + (headEndsLater ? "GET /last HTTP/1.1\r\n" : ""));
    // What waits for the client counts in the budget, and past a little of it the connection reads no
    // more: the requests parsed ahead and the answers held stay few.
    const QHostAddress self(QHostAddress::LocalHost);
    QTRY_VERIFY(QHttpConnection::bufferedBytes(self) > QHttpConnection::kMaxWriteBacklog);
    // Until the server stopped taking bytes (its socket's buffer full) or could have read them all.
    const QPointer<QTcpSocket> served = server.findChild<QTcpSocket *>();
    QTRY_VERIFY_WITH_TIMEOUT(!served || !client.bytesToWrite() || served->bytesAvailable() >= served->readBufferSize(),
                             20000);
    if (headEndsLater) {
        // A head begun after this one's tells when the head time-out has passed.
        RawHttpClient clock;
        QVERIFY(clock.connectTo(server.serverPort()));
        clock.send("GET / HTTP/1.1\r\n");
        client.write("X-Last: y\r\n\r\n");
        const auto timedOut = clock.next();
        QVERIFY(timedOut);
        QCOMPARE(timedOut->status, 408);
        client.setReadBufferSize(0);
        QByteArray read;
        QTRY_VERIFY_WITH_TIMEOUT((read += client.readAll()).size() > 2 * answerBytes
                                     || client.state() != QAbstractSocket::ConnectedState,
                                 20000);
        QCOMPARE(read.count("HTTP/1.1 200 OK"), 2);
        QCOMPARE(handedOver, 2);
        return;
    }
    QVERIFY2(handedOver < requests, qPrintable(QString::number(handedOver)));
    QVERIFY2(QHttpConnection::bufferedBytes(self) < 4 * (QHttpConnection::kMaxHeldBytes + answerBytes),
             qPrintable(QString::number(QHttpConnection::bufferedBytes(self))));
    client.abort();
    QTRY_COMPARE(QHttpConnection::bufferedBytes(self), 0);
}

void tst_QHttpConnection::connectionsAreCapped_data()
{
    QTest::addColumn<int>("perAddress");
    QTest::addColumn<int>("total");
    QTest::addColumn<int>("held"); // connections that stay open, from 127.0.0.1 and on
    QTest::addColumn<int>("addresses");
    QTest::addColumn<bool>("busy"); // each held one amid a request
    QTest::addColumn<bool>("parked"); // that request only waits out a delay, as a throttled login does
    QTest::addColumn<bool>("otherAddressServed");
    QTest::addColumn<bool>("secure");
    // Connections the first client gets, the next one refused; negative: the next one served in place of its own
    // idle longest; 0: not tried.
    QTest::addColumn<int>("perClient");
    // "unread": each held one pipelines answers it never reads, at a real MTU ("streamed": one answer written as
    // the socket takes it); "handshake": a TLS listener, and each held one never starts its handshake ("tls": each
    // makes its handshake, all side by side, and is served); "trickle": each sends a head a line a second (over
    // TLS when secure); "steady": each sends a whole request every 250 ms, never idle (over TLS when secure). The
    // newcomer then retries until served.
    QTest::addColumn<QString>("attack");

    const int max = QHttpConnection::kMaxConnections;
    QTest::newRow("the 33rd from one address, each amid a request") << QHttpConnection::kMaxConnectionsPerAddress << max
                                                                    << 32 << 1 << true << false << true << false << 32
                                                                    << "";
    QTest::newRow("the 33rd from one address, the others idle: its own idle longest makes room")
        << QHttpConnection::kMaxConnectionsPerAddress << max << 32 << 1 << false << false << true << false << -32 << "";
    // A connection waiting for its next request holds no work: the one idle longest makes room.
    QTest::newRow("8 clients hold every slot, idle: a ninth is served") << 256 << 16 << 16 << 8 << false << false
                                                                       << true << false << 0 << "";
    QTest::newRow("8 clients hold every slot, each amid a request: one of them gives one up to a ninth")
        << 256 << 16 << 16 << 8 << true << false << true << false << 0 << "";
    QTest::newRow("64 clients hold every slot, each with a login waiting its turn: a portal event is served")
        << 32 << max << max << 64 << true << true << true << false << 0 << "";
    // A TLS connection holds several times what a plain one does: it takes as many slots.
    QTest::newRow("16 idle TLS connections in 16 slots: the ones beyond their weight make room")
        << 256 << 16 << 16 << 8 << false << false << true << true << 0 << "";
    QTest::newRow("the 33rd TLS connection from one address, each amid a request")
        << QHttpConnection::kMaxConnectionsPerAddress << max << 32 << 1 << true << false << true << true << 32 << "";
    // Some slots stay for clients that hold none, the portal's and the administrator's.
    QTest::newRow("16 clients hold every slot, each amid a request: a newcomer is served")
        << 256 << 256 << 256 << 16 << true << false << true << false << 0 << "";
    QTest::newRow("4 clients hold every slot, answers they never read: a newcomer's page, event and login served")
        << 16 << 64 << 64 << 4 << false << false << true << false << 0 << "unread";
    QTest::newRow("4 clients hold every slot, TLS never begun: a newcomer's page, event and login served")
        << 16 << 64 << 16 << 4 << false << false << true << true << 0 << "handshake";
    QTest::newRow("4 clients hold every slot, streamed answers they never read: a newcomer's page, event and login "
                  "served")
        << 16 << 64 << 64 << 4 << false << false << true << false << 0 << "streamed";
    // Handshakes are capped where room is made; a browser's six connections at once, or the portal's, are served.
    QTest::newRow("a 5th TLS handshake from one address, every slot taken") << QHttpConnection::kMaxConnectionsPerAddress
                                                                            << 16 << 4 << 1 << false << false << true
                                                                            << true << 4 << "handshake";
    QTest::newRow("12 simultaneous TLS connections from one address to an empty server are all served")
        << QHttpConnection::kMaxConnectionsPerAddress << max << 12 << 1 << false << false << true << true << 0 << "tls";
    // A browser sends a head in one go: one that trickles in holds no work, whatever its time-outs allow.
    QTest::newRow("8 clients hold every slot, each sending its head a line a second: a newcomer's page, event and "
                  "login served")
        << 16 << 64 << 64 << 8 << false << false << true << false << 0 << "trickle";
    QTest::newRow("4 clients hold every slot, each sending its head over TLS a line a second: a newcomer's page, "
                  "event and login served")
        << 16 << 64 << 16 << 4 << false << false << true << true << 0 << "trickle";
    // Nor does one that keeps asking: the address holding the most gives one up.
    QTest::newRow("4 clients hold every slot, each asking again and again: a newcomer's page, event and login served")
        << 16 << 64 << 64 << 4 << false << false << true << false << 0 << "steady";
    QTest::newRow("4 clients hold every slot over TLS, each asking again and again: a newcomer's page, event and "
                  "login served")
        << 16 << 64 << 16 << 4 << false << false << true << true << 0 << "steady";
}

void tst_QHttpConnection::connectionsAreCapped()
{
    QFETCH(int, perAddress);
    QFETCH(int, total);
    QFETCH(int, held);
    QFETCH(int, addresses);
    QFETCH(bool, busy);
    QFETCH(bool, parked);
    QFETCH(bool, otherAddressServed);
    QFETCH(bool, secure);
    QFETCH(int, perClient);
    QFETCH(QString, attack);

    QHttpConnection::setConnectionLimits(perAddress, total);
    const int fits = total / (secure ? QHttpConnection::kTlsConnectionSlots : 1);
    QHttpServer plain;
    CountedAsTls countedAsTls;
    QSslCertificate certificate;
    QSslKey key;
    const bool realTls =
        attack == "handshake" || attack == "tls" || ((attack == "trickle" || attack == "steady") && secure);
    if (realTls)
        QVERIFY(makeCertificate(&certificate, &key));
    QHttpsServer tls(certificate, key);
    QHttpServer &server = realTls ? tls : secure ? countedAsTls : plain;
    server.setHandshakeTimeout(std::chrono::minutes(1)); // longer than the test
    server.setHeadTimeout(std::chrono::minutes(1));
    server.setRequestTimeout(std::chrono::minutes(1));
    QList<QPointer<QHttpResponse>> working; // answers to /hold wait
    connect(&server, &QHttpServer::newRequest, this, [&](QHttpRequest *request, QHttpResponse *response) {
        response->setParked(parked);
        if (request->path() == "/hold")
            working.append(response);
        else if (request->path() == "/stream")
            streamAnswer(response, 64 * 1024 * 1024);
        else
            response->end(request->path() == "/static/config.js" ? QByteArray(16 * 1024, 'j') : QByteArray("ok"));
    });
    // At a real MTU the kernel holds little of what a client does not read (loopback's buffers are far larger).
    if (attack == "unread" || attack == "streamed")
        QHttpConnection::setSendBufferSize(4096);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    std::vector<std::unique_ptr<QTcpSocket>> unread;
    std::vector<std::unique_ptr<QSslSocket>> browsers;
    QByteArray served; // what the browsers read
    QSet<const QSslSocket *> answered;
    for (int i = 0; i < held; ++i) {
        const QHostAddress from(0x7f000001u + quint32(i % addresses));
        if (attack == "unread" || attack == "streamed") {
            unread.push_back(neverReading(from, server.serverPort(),
                                          attack == "streamed"
                                              ? QByteArray("GET /stream HTTP/1.1\r\n\r\n")
                                              : QByteArray("GET /static/config.js HTTP/1.1\r\n\r\n").repeated(32)));
            QVERIFY(unread.back());
            continue;
        }
        if (realTls && attack != "handshake") {
            // All connect before the listener accepts any: their handshakes are all in progress at once.
            browsers.push_back(std::make_unique<QSslSocket>());
            QSslSocket *browser = browsers.back().get();
            browser->setPeerVerifyMode(QSslSocket::VerifyNone);
            QVERIFY(browser->bind(from));
            connect(browser, &QSslSocket::encrypted, this, [browser, &attack] {
                browser->write(attack == "trickle" ? "GET /hold HTTP/1.1\r\n" : "GET / HTTP/1.1\r\n\r\n");
            });
            connect(browser, &QSslSocket::readyRead, this, [browser, &served, &answered] {
                served += browser->readAll();
                answered.insert(browser);
            });
            browser->connectToHostEncrypted(QStringLiteral("127.0.0.1"), server.serverPort());
            continue;
        }
        clients.push_back(std::make_unique<RawHttpClient>());
        QVERIFY(clients.back()->socket().bind(from));
        QVERIFY(clients.back()->connectTo(server.serverPort()));
        if (busy)
            clients.back()->send("GET /hold HTTP/1.1\r\n\r\n");
        else if (attack == "trickle" || attack == "steady")
            clients.back()->send(attack == "trickle" ? "GET /hold HTTP/1.1\r\n" : "GET / HTTP/1.1\r\n\r\n");
    }
    QTimer trickle;
    const QByteArray sent = attack == "steady" ? "GET / HTTP/1.1\r\n\r\n" : "X-Line: y\r\n";
    connect(&trickle, &QTimer::timeout, this, [&] {
        for (const auto &client : clients)
            client->send(sent);
        for (const auto &browser : browsers)
            browser->write(sent);
    });
    if (attack == "trickle" || attack == "steady")
        trickle.start(attack == "steady" ? 250 : 1000);
    const auto closed = [&clients] {
        return int(std::count_if(clients.begin(), clients.end(), [](const auto &c) { return !c->isConnected(); }));
    };
    QTRY_COMPARE(server.findChildren<QHttpConnection *>().size(), qMin(held, fits));
    QTRY_COMPARE(working.size(), busy ? held : 0);
    if (attack == "steady") { // each answered, so none is idle
        QTRY_COMPARE(answered.size(), int(browsers.size()));
        QTRY_VERIFY(
            std::all_of(clients.begin(), clients.end(), [](const auto &c) { return c->socket().bytesAvailable(); }));
    } else {
        QTRY_COMPARE(served.count("HTTP/1.1 200 OK"), attack == "tls" ? int(browsers.size()) : 0);
    }
    QHttpConnection::setSendBufferSize(0);
    if (perClient != 0) {
        RawHttpClient over;
        QVERIFY(over.connectTo(server.serverPort()));
        if (perClient > 0) {
            QVERIFY(over.waitClosed());
        } else {
            over.send("GET / HTTP/1.1\r\n\r\n");
            QVERIFY(over.next());
            QCOMPARE(closed(), 1);
        }
    }
    if (!attack.isEmpty()) {
        // Refused while the others' connections still move; served once they have stalled a few seconds.
        const QString scheme = secure ? QStringLiteral("https") : QStringLiteral("http");
        QStringList urls;
        for (const char *path : {"/static/config.js", "/events/external_call_start", "/auth"})
            urls << "-o" << "/dev/null" << QStringLiteral("%1://127.0.0.1:%2%3").arg(scheme).arg(server.serverPort()).arg(path);
        const auto newcomer = [&urls] {
            QProcess curl;
            QSignalSpy finished(&curl, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
            curl.start("curl", QStringList{"-s", "-k", "-w", "%{http_code} ", "--interface", "127.0.0.100"} + urls);
            return finished.wait(30000) && curl.readAllStandardOutput() == "200 200 200 ";
        };
        if (perClient == 0)
            QTRY_VERIFY_WITH_TIMEOUT(newcomer(), 30000);
        unread.clear();
        clients.clear();
        browsers.clear();
        QTRY_COMPARE(QHttpConnection::openConnections(), 0);
        QHttpConnection::setConnectionLimits(QHttpConnection::kMaxConnectionsPerAddress,
                                             QHttpConnection::kMaxConnections);
        return;
    }
    // Another client is not held back by the others' connections, only by the total of busy ones.
    RawHttpClient other;
    other.socket().bind(QHostAddress(QStringLiteral("127.0.0.100")));
    QVERIFY(other.connectTo(server.serverPort()));
    if (otherAddressServed) {
        other.send("GET / HTTP/1.1\r\n\r\n");
        QVERIFY(other.next());
        // A client that holds none has slots beyond the total, where they are enough for it; else room is made by
        // closing one, idle longest or of an address that holds more.
        const bool beyond = total / QHttpConnection::kNewcomerShare >= (secure ? QHttpConnection::kTlsConnectionSlots : 1);
        QTRY_COMPARE(closed(), (held >= fits ? held - fits + !beyond : 0) + (perClient < 0));
    } else {
        QVERIFY(other.waitClosed());
    }
    // Once the first client lets go, it is served again.
    other.socket().abort();
    clients.clear();
    QTRY_COMPARE(QHttpConnection::openConnections(), 0);
    RawHttpClient again;
    QVERIFY(again.connectTo(server.serverPort()));
    again.send("GET / HTTP/1.1\r\n\r\n");
    QVERIFY(again.next());
    QHttpConnection::setConnectionLimits(QHttpConnection::kMaxConnectionsPerAddress, QHttpConnection::kMaxConnections);
}

void tst_QHttpConnection::clientsAreCountedByNetwork_data()
{
    QTest::addColumn<QString>("peer");
    QTest::addColumn<QString>("counted");

    QTest::newRow("IPv4") << "192.0.2.7" << "192.0.2.7";
    QTest::newRow("IPv4 mapped into IPv6") << "::ffff:192.0.2.7" << "192.0.2.7";
    // One subscriber holds a whole /64 and may use every address of it.
    QTest::newRow("IPv6, by its /64") << "2001:db8:1:2:aaaa:bbbb:cccc:dddd" << "2001:db8:1:2::";
}

void tst_QHttpConnection::clientsAreCountedByNetwork()
{
    QFETCH(QString, peer);
    QFETCH(QString, counted);
    QCOMPARE(QHttpConnection::clientKey(QHostAddress(peer)), QHostAddress(counted));
    // Where the descriptors are few, connections leave room for the files they stream and for the links.
    for (const quint64 limit : {256ULL, 1024ULL, 1ULL << 20}) {
        const int cap = QHttpConnection::maxConnectionsFor(limit);
        QVERIFY(cap <= QHttpConnection::kMaxConnections);
        QVERIFY(2 * quint64(cap) + QHttpConnection::kReservedDescriptors <= limit);
    }
}

void tst_QHttpConnection::bodiesAreBounded_data()
{
    QTest::addColumn<int>("connections");
    QTest::addColumn<qint64>("declared"); // Content-Length
    QTest::addColumn<int>("sent");
    QTest::addColumn<qint64>("budget"); // of buffered bodies, all connections together
    QTest::addColumn<int>("handedOver"); // requests that reach the server; the others get the status
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("oneClient"); // else each connection from an address of its own

    // Refused by what the head declares, before the body is read (bench/httpbody.sh measures the memory).
    QTest::newRow("96 connections declaring 16 MiB") << 96 << 16 * 1024 * 1024LL << 64 * 1024
                                                     << QHttpConnection::kBodyBudget << 0 << 413 << true;
    // The budget counts the heads too (some 25 bytes each here); what is left of it is less than an event.
    QTest::newRow("bodies within the limit, over the budget together")
        << 10 << 100000LL << 100000 << 800500LL << 8 << 503 << false;
    QTest::newRow("one client's bodies over its share of the budget")
        << 4 << 1000000LL << 1000000 << 16008000LL << 2 << 503 << true;
    QTest::newRow("8 clients hold 1 MiB bodies") << 9 << 1048576LL << 1048576 << 8 * 1048576LL + 512 << 8 << 503
                                                 << false;
}

void tst_QHttpConnection::bodiesAreBounded()
{
    QFETCH(int, connections);
    QFETCH(qint64, declared);
    QFETCH(int, sent);
    QFETCH(qint64, budget);
    QFETCH(int, handedOver);
    QFETCH(int, status);
    QFETCH(bool, oneClient);

    QHttpConnection::setBodyBudget(budget);
    QHttpServer server;
    QList<QPointer<QHttpResponse>> held; // their bodies stay counted until they are answered
    connect(&server, &QHttpServer::newRequest, this,
            [&held](QHttpRequest *, QHttpResponse *response) { held.append(response); });
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QByteArray request =
        "POST / HTTP/1.1\r\nContent-Length: " + QByteArray::number(declared) + "\r\n\r\n" + QByteArray(sent, 'b');
    std::vector<std::unique_ptr<RawHttpClient>> clients;
    for (int i = 0; i < connections; ++i) {
        clients.push_back(std::make_unique<RawHttpClient>());
        if (!oneClient) // 127.0.0.2 and on
            QVERIFY(clients.back()->socket().bind(QHostAddress(0x7f000002u + quint32(i))));
        QVERIFY(clients.back()->connectTo(server.serverPort()));
        clients.back()->send(request);
        if (i < handedOver) {
            QTRY_COMPARE(held.size(), i + 1);
            continue;
        }
        const auto answer = clients.back()->next();
        QVERIFY(answer);
        QCOMPARE(answer->status, status);
    }
    QCOMPARE(held.size(), handedOver);
    QVERIFY(QHttpConnection::bufferedBytes() >= handedOver * declared);
    QVERIFY(QHttpConnection::bufferedBytes() <= handedOver * (declared + 64));
    // Whatever the large ones hold, a small body (a portal's event) still gets through.
    RawHttpClient small;
    QVERIFY(small.socket().bind(QHostAddress(QStringLiteral("127.0.0.200"))));
    QVERIFY(small.connectTo(server.serverPort()));
    small.send("POST / HTTP/1.1\r\nContent-Length: 659\r\n\r\n" + QByteArray(659, 'e'));
    QTRY_COMPARE(held.size(), handedOver + 1);
    for (const QPointer<QHttpResponse> &response : held)
        response->end("ok");
    clients.clear();
    QVERIFY(small.next());
    small.socket().abort();
    QTRY_COMPARE(QHttpConnection::bufferedBytes(), 0);
    QCOMPARE(QHttpConnection::bufferedBytes(QHostAddress(QHostAddress::LocalHost)), 0);
    QHttpConnection::setBodyBudget(QHttpConnection::kBodyBudget);
}

QTEST_GUILESS_MAIN(tst_QHttpConnection)
#include "tst_qhttpconnection.moc"
