#include "httpserver/iaction.h"
#include "httpserver/server.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace Orvix::HttpServer;

namespace {

// Answers with what it read: the method, the path and every parameter.
class EchoAction : public IAction
{
public:
    EchoAction()
        : IAction(QStringLiteral("/echo"))
    {
    }
    void execute(const Request &request, Response response) override
    {
        response.sendJson(QJsonObject{{"method", request.method()},
                                      {"path", request.path()},
                                      {"parameters", request.parameters()}});
    }
};

struct CurlResult
{
    int exitCode = -1;
    QByteArray output;
};

// Runs curl against the server without blocking the event loop the server needs.
CurlResult curl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral("curl"), QStringList{"-s", "-S", "-g"} + arguments);
    if (!finished.wait(30000))
        return {};
    return {process.exitCode(), process.readAllStandardOutput()};
}

} // namespace

class tst_HttpServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void parameters_data();
    void parameters();

private:
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.port()).arg(path);
    }

    Server m_server;
    EchoAction m_echo;
};

void tst_HttpServer::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY(m_server.listen(QStringLiteral("127.0.0.1"), 0, true));
    QVERIFY(m_server.port() != 0);
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
    QTest::newRow("multipart text fields, files left out")
        << QStringList{"-F", "user=100", "-F", "phone=+7 900", "-F", "file=@/dev/null", "/echo"} << "POST"
        << QJsonObject{{"user", "100"}, {"phone", "+7 900"}};
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

QTEST_GUILESS_MAIN(tst_HttpServer)
#include "tst_httpserver.moc"
