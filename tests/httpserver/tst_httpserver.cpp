#include "httpserversupport.h"
#include "qhttpserver/qhttpconnection.h"
#include "support/rawhttpclient.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimer>

#include <memory>
#include <vector>

using namespace Orvix::HttpServer;
using Orvix::Tests::RawHttpClient;

namespace {

// Keeps each answer to send it when the test says.
class LaterAction : public IAction
{
public:
    LaterAction()
        : IAction(QStringLiteral("/later"))
    {
    }
    void execute(const Request &, Response response) override { pending.append(response); }
    QList<Response> pending;
};

// Streams a file that is still being written: it grows once its answer has begun.
class GrowingFileAction : public IAction
{
public:
    explicit GrowingFileAction(const QString &path)
        : IAction(QStringLiteral("/growing"))
        , m_path(path)
    {
    }
    void execute(const Request &, Response response) override
    {
        writeFile(m_path, QByteArray(1024 * 1024, 'a'));
        response.sendFile(m_path);
        QFile file(m_path);
        if (file.open(QIODevice::Append))
            file.write("HTTP/1.1 418 Spilled\r\nContent-Length: 0\r\n\r\n"); // read as an answer if sent
    }

private:
    QString m_path;
};

} // namespace

// Requests as they are read, routed and answered: parameters, connections, static files, answers that come
// late or never. The logins and HTTPS are tst_httpsecurity's.
class tst_HttpServer : public ServerTestCase
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void parameters_data();
    void parameters();
    void connection_data();
    void connection();
    void staticFileServedWithItsType();
    void hugeBodyFromCurl();
    void answersLeaveInRequestOrder();
    void answerToGoneClientIsDropped();
    void unansweredRequestGets500_data();
    void unansweredRequestGets500();
    void securityHeaders_data();
    void securityHeaders();

private:
    LaterAction m_later;
    GrowingFileAction m_growing{m_files.filePath(QStringLiteral("growing.wav"))};
};

void tst_HttpServer::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(m_files.isValid());
    const QDir files(m_files.path());
    QVERIFY(files.mkpath(QStringLiteral("static/css")));
    QVERIFY(writeFile(files.filePath("static/css/style.css"), "body {}"));
    QVERIFY(writeFile(files.filePath("secret.txt"), "secret"));
    QVERIFY(QFile::link(files.filePath("secret.txt"), files.filePath("static/link.txt")));
    QVERIFY(QFile::link(m_files.path(), files.filePath("static/dir")));
    QVERIFY(startServer(QStringLiteral("_tst_httpserver")));
}

void tst_HttpServer::cleanupTestCase()
{
    dropConfiguration();
}

void tst_HttpServer::parameters_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QJsonObject>("parameters");

    QTest::newRow("query of a GET") << QStringList{"/echo?a=1&b=x%20y&c[d]=2"} << "GET"
                                    << QJsonObject{{"a", "1"}, {"b", "x y"}, {"c", QJsonObject{{"d", "2"}}}};
    QTest::newRow("form body of a POST, over the query")
        << QStringList{"-d", "a=2&name=J%C3%BCrgen+M", "/echo?a=1&q=3"} << "POST"
        << QJsonObject{{"a", "2"}, {"name", QStringLiteral("Jürgen M")}, {"q", "3"}};
    QTest::newRow("JSON body keeps its types")
        << QStringList{"-H", "Content-Type: application/json", "-d", R"({"n": 5, "ok": true, "s": "t"})", "/echo"}
        << "POST" << QJsonObject{{"n", 5}, {"ok", true}, {"s", "t"}};
    QTest::newRow("JSON body between keys of the query")
        << QStringList{"-H", "Content-Type: application/json", "-d", R"({"b": 1, "c": 2, "d": 3})", "/echo?a=q&c=q&e=q"}
        << "POST" << QJsonObject{{"a", "q"}, {"b", 1}, {"c", 2}, {"d", 3}, {"e", "q"}};
    QTest::newRow("multipart text fields, files left out")
        << QStringList{"-F", "user=100", "-F", "phone=+7 900", "-F", "filename=report", "-F", "file=@/dev/null", "/echo"}
        << "POST" << QJsonObject{{"user", "100"}, {"phone", "+7 900"}, {"filename", "report"}};
}

void tst_HttpServer::parameters()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, method);
    QFETCH(QJsonObject, parameters);

    arguments.last() = url(arguments.last());
    const CurlResult result = curl(arguments);
    QCOMPARE(result.exitCode, 0);
    const QJsonObject answer = QJsonDocument::fromJson(result.output).object();
    QCOMPARE(answer.value("method").toString(), method);
    QCOMPARE(answer.value("path").toString(), QStringLiteral("/echo"));
    QCOMPARE(answer.value("parameters").toObject(), parameters);
}

void tst_HttpServer::connection_data()
{
    QTest::addColumn<QList<QByteArray>>("requests"); // each one sent after the answer to the one before
    QTest::addColumn<QList<int>>("statuses");
    QTest::addColumn<bool>("closed");

    const QByteArray get("GET /echo HTTP/1.1\r\nHost: x\r\n\r\n");
    QTest::newRow("two requests on one kept-alive connection") << QList<QByteArray>{get, get} << QList<int>{200, 200}
                                                               << false;
    QTest::newRow("two requests in one write") << QList<QByteArray>{get + get} << QList<int>{200, 200} << false;
    QTest::newRow("unknown path") << QList<QByteArray>{"GET /nothing HTTP/1.1\r\n\r\n", get}
                                  << QList<int>{404, 200} << false;
    QTest::newRow("Connection: close")
        << QList<QByteArray>{"GET /echo HTTP/1.1\r\nConnection: close\r\n\r\n"} << QList<int>{200} << true;
    QTest::newRow("HTTP/1.0 without keep-alive") << QList<QByteArray>{"GET /echo HTTP/1.0\r\n\r\n"}
                                                 << QList<int>{200} << true;
    QTest::newRow("HTTP/1.0 with keep-alive")
        << QList<QByteArray>{"GET /echo HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", get} << QList<int>{200, 200}
        << false;
    QTest::newRow("20 MiB body announced")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nContent-Length: 20971520\r\n\r\n"} << QList<int>{413} << true;
    QTest::newRow("chunked body over 16 MiB")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1000001\r\n"
                             + QByteArray(0x1000001, 'a') + "\r\n0\r\n\r\n"}
        << QList<int>{413} << true;
    QTest::newRow("one header of 70 KiB")
        << QList<QByteArray>{"GET /echo HTTP/1.1\r\nX-Big: " + QByteArray(70 * 1024, 'a') + "\r\n\r\n"}
        << QList<int>{431} << true;
    QByteArray flood("GET /echo HTTP/1.1\r\n");
    for (int i = 0; i < 20000; ++i)
        flood += "X: y\r\n";
    QTest::newRow("a flood of small headers") << QList<QByteArray>{flood + "\r\n"} << QList<int>{431} << true;
    QTest::newRow("not HTTP") << QList<QByteArray>{"HELLO THERE\r\n\r\n"} << QList<int>{400} << true;
    QTest::newRow("broken chunk size")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}
        << QList<int>{400} << true;
    QTest::newRow("bad request after a good one") << QList<QByteArray>{get, "GET / HTTP/9\r\n\r\n"}
                                                  << QList<int>{200, 400} << true;
    QByteArray nested("a");
    for (int i = 0; i < 200000; ++i)
        nested += "[x]";
    QTest::newRow("form body nested 200000 deep")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: " + QByteArray::number(nested.size() + 2) + "\r\n\r\n" + nested + "=1",
                             get}
        << QList<int>{200, 200} << false;
    QByteArray fields;
    for (int i = 0; i < 200000; ++i)
        fields += "f" + QByteArray::number(i) + "=v&";
    QTest::newRow("form body of 200000 fields")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                             "Content-Length: " + QByteArray::number(fields.size()) + "\r\n\r\n" + fields,
                             get}
        << QList<int>{200, 200} << false;
    // The answer ends at the length its head announced, or the rest would read as the next answer.
    QTest::newRow("a file that grows while it is sent")
        << QList<QByteArray>{"GET /growing HTTP/1.1\r\n\r\n", get} << QList<int>{200, 200} << false;
    QByteArray parts;
    for (int i = 290000; i > 0; --i)
        parts += "--B\r\nContent-Disposition: form-data; name=\"x" + QByteArray::number(i) + "\"\r\n\r\nv\r\n";
    parts += "--B--\r\n";
    QTest::newRow("multipart body of 290000 fields in falling order")
        << QList<QByteArray>{"POST /echo HTTP/1.1\r\nContent-Type: multipart/form-data; boundary=B\r\n"
                             "Content-Length: " + QByteArray::number(parts.size()) + "\r\n\r\n" + parts,
                             get}
        << QList<int>{200, 200} << false;
    QTest::newRow("/static/../ leaves nothing")
        << QList<QByteArray>{"GET /static/../secret.txt HTTP/1.1\r\n\r\n"} << QList<int>{404} << false;
    QTest::newRow("/static/%2e%2e/ leaves nothing")
        << QList<QByteArray>{"GET /static/%2e%2e/secret.txt HTTP/1.1\r\n\r\n"} << QList<int>{404} << false;
    QTest::newRow("/static/ with an absolute path")
        << QList<QByteArray>{"GET /static/" + QFile::encodeName(QDir(m_files.path()).filePath("secret.txt"))
                             + " HTTP/1.1\r\n\r\n"}
        << QList<int>{404} << false;
    QTest::newRow("link out of static/") << QList<QByteArray>{"GET /static/link.txt HTTP/1.1\r\n\r\n"}
                                         << QList<int>{404} << false;
    QTest::newRow("a link, a missing folder and .. out of static/")
        << QList<QByteArray>{"GET /static/dir/missing/../secret.txt HTTP/1.1\r\n\r\n"} << QList<int>{404} << false;
    QTest::newRow("2 MiB to a route of the default limit")
        << QList<QByteArray>{"POST /silent HTTP/1.1\r\nContent-Length: 2097152\r\n\r\n" + QByteArray(2097152, 'a')}
        << QList<int>{413} << true;
    QTest::newRow("the static directory itself") << QList<QByteArray>{"GET /static/ HTTP/1.1\r\n\r\n"}
                                                 << QList<int>{404} << false;
    QTest::newRow("an event body over 16 KiB")
        << QList<QByteArray>{"POST /events/test HTTP/1.1\r\nContent-Length: 16385\r\n\r\n"} << QList<int>{413} << true;
    QTest::newRow("POST to a static file") << QList<QByteArray>{"POST /static/page.html HTTP/1.1\r\n\r\n"}
                                           << QList<int>{405} << false;
}

void tst_HttpServer::connection()
{
    QFETCH(QList<QByteArray>, requests);
    QFETCH(QList<int>, statuses);
    QFETCH(bool, closed);

    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    int answered = 0;
    for (const QByteArray &request : qAsConst(requests)) {
        client.send(request);
        // A write may carry several requests: read as many answers as are still expected of it.
        const int expected = request.count("HTTP/1.") > 1 ? request.count("HTTP/1.") : 1;
        for (int i = 0; i < expected; ++i) {
            const auto response = client.next();
            QVERIFY2(response, qPrintable(QStringLiteral("no answer %1").arg(answered)));
            QCOMPARE(response->status, statuses.at(answered));
            ++answered;
        }
    }
    QCOMPARE(answered, statuses.size());
    if (closed)
        QVERIFY(client.waitClosed());
    else
        QVERIFY(client.isConnected());
}

void tst_HttpServer::staticFileServedWithItsType()
{
    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send("GET /static/page.html HTTP/1.1\r\n\r\nGET /static/css/style.css HTTP/1.1\r\n\r\n"
                "HEAD /static/page.html HTTP/1.1\r\n\r\n");
    auto page = client.next();
    QVERIFY(page);
    QCOMPARE(page->status, 200);
    QCOMPARE(page->headers.value("content-type"), QByteArray("text/html; charset=utf-8"));
    QCOMPARE(page->body, QByteArray("<html>page</html>"));
    auto style = client.next();
    QVERIFY(style);
    QCOMPARE(style->headers.value("content-type"), QByteArray("text/css; charset=utf-8"));
    QCOMPARE(style->body, QByteArray("body {}"));
    auto head = client.next(true);
    QVERIFY(head);
    QCOMPARE(head->headers.value("content-length"), QByteArray("17"));
    // HEAD has no body: anything sent would be read here as the start of a next answer.
    client.send("GET /echo HTTP/1.1\r\n\r\n");
    auto after = client.next();
    QVERIFY(after);
    QCOMPARE(after->status, 200);
}

void tst_HttpServer::hugeBodyFromCurl()
{
    const QString path = QDir(m_files.path()).filePath("huge.bin");
    QVERIFY(writeFile(path, QByteArray(20 * 1024 * 1024, 'x')));
    const CurlResult result =
        curl({"-o", "/dev/null", "-w", "%{http_code}", "--data-binary", "@" + path, url("/echo")});
    QCOMPARE(result.output, QByteArray("413"));
    QFile::remove(path);
}

void tst_HttpServer::answersLeaveInRequestOrder()
{
    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    m_later.pending.clear();
    // The second request is answered at once, the first only later: the first answer must still lead.
    client.send("GET /later HTTP/1.1\r\n\r\nGET /echo?n=2 HTTP/1.1\r\n\r\n");
    QTRY_COMPARE(m_later.pending.size(), 1);
    Response later = m_later.pending.takeFirst();
    QVERIFY(!later.isClientGone());
    later.sendJson(QJsonObject{{"n", 1}});
    later.sendJson(QJsonObject{{"n", 3}}); // a second answer is ignored
    auto first = client.next();
    QVERIFY(first);
    QCOMPARE(QJsonDocument::fromJson(first->body).object().value("n").toInt(), 1);
    auto second = client.next();
    QVERIFY(second);
    QCOMPARE(QJsonDocument::fromJson(second->body).object().value("parameters").toObject().value("n").toString(),
             QStringLiteral("2"));
}

void tst_HttpServer::answerToGoneClientIsDropped()
{
    m_later.pending.clear();
    {
        RawHttpClient client;
        QVERIFY(client.connectTo(m_server.port()));
        client.send("GET /later HTTP/1.1\r\n\r\n");
        QTRY_COMPARE(m_later.pending.size(), 1);
        client.socket().abort();
    }
    Response later = m_later.pending.takeFirst();
    QTRY_VERIFY(later.isClientGone());
    later.sendJson(QJsonObject{{"late", true}});
    QVERIFY(later.isSent());
    RawHttpClient next;
    QVERIFY(next.connectTo(m_server.port()));
    next.send("GET /echo HTTP/1.1\r\n\r\n");
    auto answer = next.next();
    QVERIFY(answer);
    QCOMPARE(answer->status, 200);
}

void tst_HttpServer::unansweredRequestGets500_data()
{
    QTest::addColumn<int>("waiting"); // requests an action holds when the service stops; 0: no stop

    QTest::newRow("an action that forgets to answer") << 0;
    // The actions go before the server: each request they leave would say so in a line of its own.
    QTest::newRow("1024 requests waiting at the stop") << 1024;
}

void tst_HttpServer::unansweredRequestGets500()
{
    QFETCH(int, waiting);
    m_later.pending.clear();
    std::vector<std::unique_ptr<RawHttpClient>> clients(waiting / QHttpConnection::kMaxPipelined);
    for (auto &client : clients) {
        client = std::make_unique<RawHttpClient>();
        QVERIFY(client->socket().bind(QHostAddress(QStringLiteral("127.0.0.9"))) && client->connectTo(m_server.port()));
        client->send(QByteArray("GET /later HTTP/1.1\r\n\r\n").repeated(QHttpConnection::kMaxPipelined));
    }
    if (waiting > 0) {
        QTRY_COMPARE(m_later.pending.size(), waiting);
        g_warnings.clear();
        const QtMessageHandler previous = qInstallMessageHandler(&keepWarning);
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
        QCoreApplication::exec();
        m_later.pending.clear(); // the actions go
        qInstallMessageHandler(previous);
        QVERIFY2(g_warnings.size() <= 2, qPrintable(QString::number(g_warnings.size())));
        QCOMPARE(clients.back()->next().value_or(Orvix::Tests::RawHttpResponse()).status, 503);
        return;
    }
    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send("GET /silent HTTP/1.1\r\n\r\nGET /echo HTTP/1.1\r\n\r\n");
    auto silent = client.next();
    QVERIFY(silent);
    QCOMPARE(silent->status, 500);
    auto echo = client.next();
    QVERIFY(echo);
    QCOMPARE(echo->status, 200);
}

void tst_HttpServer::securityHeaders_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("cacheControl");
    QTest::addColumn<QByteArray>("allow");

    QTest::newRow("a JSON answer") << QByteArray("GET /echo HTTP/1.1\r\n\r\n") << 200 << QByteArray("no-store")
                                   << QByteArray();
    QTest::newRow("a challenge") << QByteArray("GET /secure HTTP/1.1\r\n\r\n") << 401 << QByteArray("no-store")
                                 << QByteArray();
    QTest::newRow("an error") << QByteArray("GET /nothing HTTP/1.1\r\n\r\n") << 404 << QByteArray("no-store")
                              << QByteArray();
    QTest::newRow("an action that did not answer") << QByteArray("GET /silent HTTP/1.1\r\n\r\n") << 500
                                                   << QByteArray("no-store") << QByteArray();
    QTest::newRow("another method") << QByteArray("PUT /echo HTTP/1.1\r\nContent-Length: 0\r\n\r\n") << 405
                                    << QByteArray("no-store") << QByteArray("GET, POST");
    QTest::newRow("a static file may be cached") << QByteArray("GET /static/page.html HTTP/1.1\r\n\r\n") << 200
                                                 << QByteArray() << QByteArray();
}

void tst_HttpServer::securityHeaders()
{
    QFETCH(QByteArray, request);
    QFETCH(int, status);
    QFETCH(QByteArray, cacheControl);
    QFETCH(QByteArray, allow);

    RawHttpClient client;
    QVERIFY(client.connectTo(m_server.port()));
    client.send(request);
    const auto answer = client.next();
    QVERIFY(answer);
    QCOMPARE(answer->status, status);
    QCOMPARE(answer->headers.value("x-frame-options"), QByteArray("DENY"));
    QCOMPARE(answer->headers.value("content-security-policy"), QByteArray("frame-ancestors 'none'"));
    QCOMPARE(answer->headers.value("cache-control"), cacheControl);
    QCOMPARE(answer->headers.value("allow"), allow);
}

QTEST_GUILESS_MAIN(tst_HttpServer)
#include "tst_httpserver.moc"
