#include "httpserver/iaction.h"
#include "httpserver/server.h"
#include "qhttpserver/qhttpconnection.h"
#include "support/rawhttpclient.h"

#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

using namespace Orvix::HttpServer;
using Orvix::Tests::RawHttpClient;

namespace {

class EchoAction : public IAction
{
public:
    EchoAction()
        : IAction(QStringLiteral("/echo"))
    {
    }
    void execute(const Request &request, Response response) override
    {
        response.sendJson(QJsonObject{{"parameters", request.parameters()}});
    }
};

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toLongLong() * 4096 : 0;
}

const QByteArray kGood("POST /echo?a=1&b[c]=2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                       "application/x-www-form-urlencoded\r\nContent-Length: 12\r\n\r\nname=x&y=%41");

// One malformed or truncated request, drawn from a seeded generator so a failure can be replayed.
QByteArray malformedRequest(QRandomGenerator &random)
{
    auto bytes = [&random](int size) {
        QByteArray data(size, Qt::Uninitialized);
        for (char &c : data)
            c = static_cast<char>(random.bounded(256));
        return data;
    };
    switch (random.bounded(8)) {
    case 0: // random bytes
        return bytes(random.bounded(1, 2048));
    case 1: // a good request cut anywhere
        return kGood.left(random.bounded(kGood.size()));
    case 2: { // a good request with a few bytes changed
        QByteArray data = kGood;
        for (int i = random.bounded(1, 6); i > 0; --i)
            data[random.bounded(data.size())] = static_cast<char>(random.bounded(256));
        return data;
    }
    case 3: { // a broken chunked body
        QByteArray data("POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
        const char *chunks[] = {"5\r\nabc\r\n", "zz\r\n", "-1\r\n", "ffffffffffffffffff\r\n", "3;x=\r\nabc\r\n0\r\n",
                                "4\r\nabcdef\r\n0\r\n\r\n", "0\r\nTrailer: " };
        data += chunks[random.bounded(int(sizeof(chunks) / sizeof(chunks[0])))];
        return data;
    }
    case 4: { // a flood of headers, complete or not
        QByteArray data("GET /echo HTTP/1.1\r\n");
        const int count = random.bounded(100, 12000);
        for (int i = 0; i < count; ++i)
            data += "X-" + QByteArray::number(i) + ": v\r\n";
        if (random.bounded(2))
            data += "\r\n";
        return data;
    }
    case 5: // a huge request line
        return "GET /" + QByteArray(random.bounded(1000, 90000), 'a') + " HTTP/1.1\r\n\r\n";
    case 6: { // conflicting or absurd lengths
        const char *heads[] = {
            "POST /echo HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 7\r\n\r\nabcde",
            "POST /echo HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
            "POST /echo HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n",
            "POST /echo HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
            "GET /echo HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\nxyz",
            "CONNECT 127.0.0.1:1 HTTP/1.1\r\n\r\n",
            "GET /echo HTTP/1.1\r\nHost: a\r\n folded: line\r\n\r\n",
            "GET /echo HTTP/1.1\r\nAuthorization: Digest username=\"\\\r\n\r\n",
        };
        return heads[random.bounded(int(sizeof(heads) / sizeof(heads[0])))];
    }
    default: // good requests followed by garbage on the same connection
        return kGood + kGood + bytes(random.bounded(1, 512));
    }
}

} // namespace

class tst_HttpFuzz : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void malformedRequestsLeaveTheServerWell();

private:
    void round(QRandomGenerator &random, int count);

    Server m_server;
    EchoAction m_echo;
};

void tst_HttpFuzz::round(QRandomGenerator &random, int count)
{
    constexpr int kBatch = 50;
    for (int done = 0; done < count; done += kBatch) {
        std::vector<std::unique_ptr<QTcpSocket>> sockets;
        int closed = 0;
        for (int i = 0; i < kBatch; ++i) {
            auto socket = std::make_unique<QTcpSocket>();
            QTcpSocket *raw = socket.get();
            connect(raw, &QTcpSocket::disconnected, this, [&closed] { ++closed; });
            connect(raw, &QTcpSocket::readyRead, raw, [raw] { raw->readAll(); });
            const QByteArray request = malformedRequest(random);
            connect(raw, &QTcpSocket::connected, raw, [raw, request] {
                raw->write(request);
                raw->disconnectFromHost(); // once written
            });
            connect(raw, &QTcpSocket::errorOccurred, raw, [raw, &closed](QAbstractSocket::SocketError) {
                if (raw->state() == QAbstractSocket::UnconnectedState)
                    ++closed;
            });
            raw->connectToHost(QHostAddress::LocalHost, m_server.port());
            sockets.push_back(std::move(socket));
        }
        QTRY_VERIFY_WITH_TIMEOUT(closed >= kBatch, 30000);
    }
    // Every connection the server took is gone with its client.
    QTRY_COMPARE_WITH_TIMEOUT(m_server.findChildren<QHttpConnection *>().size(), 0, 30000);
}

void tst_HttpFuzz::malformedRequestsLeaveTheServerWell()
{
    QVERIFY(m_server.listen(QStringLiteral("127.0.0.1"), 0, true));
    QRandomGenerator random(20261207);

    round(random, 1000);
    const qint64 afterFirst = residentBytes();
    round(random, 1000);
    round(random, 1000);
    const qint64 afterLast = residentBytes();
    // Three times the work, no more memory: allow the allocator some slack, far below a leak of
    // a thousand connections.
    QVERIFY2(afterLast - afterFirst < 8 * 1024 * 1024,
             qPrintable(QStringLiteral("grew by %1 bytes").arg(afterLast - afterFirst)));

    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send(kGood);
    const auto answer = client.next();
    QVERIFY(answer);
    QCOMPARE(answer->status, 200);
    QCOMPARE(QJsonDocument::fromJson(answer->body).object().value("parameters").toObject(),
             QJsonObject({{"a", "1"}, {"b", QJsonObject{{"c", "2"}}}, {"name", "x"}, {"y", "A"}}));
}

QTEST_GUILESS_MAIN(tst_HttpFuzz)
#include "tst_httpfuzz.moc"
