// The HTTP server under load: serves a small JSON answer on /bench (keep-alive), and a 32 KiB script as
// /static/config.js, on 127.0.0.1 until it is killed. Driven by bench/httpserver.sh, which measures it with
// wrk beside nginx serving a file of the same size, by bench/httpidle.sh and by bench/httpunread.sh.
// Arguments: [port] (0 or none: a free port) [connections] (the limit of open connections, per address and
// in all; none: the service's own limits) [tls] (a directory with ssl/server.crt and ssl/server.key: HTTPS
// only, on the port).
// Prints "port <n> body <bytes>".
#include "httpserver/iaction.h"
#include "httpserver/server.h"
#include "qhttpserver/qhttpconnection.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdio>

using namespace Orvix::HttpServer;

namespace {

const QJsonObject kAnswer{{"result", "ok"}, {"id", "1700000000.123"}, {"phone", "+79001234567"}, {"user", 42}};

class BenchAction : public IAction
{
public:
    BenchAction()
        : IAction(QStringLiteral("/bench"))
    {
    }
    void execute(const Request &, Response response) override { response.sendJson(kAnswer); }
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int port = argc > 1 ? QString::fromLocal8Bit(argv[1]).toInt() : 0;
    if (argc > 2) {
        const int limit = QString::fromLocal8Bit(argv[2]).toInt();
        QHttpConnection::setConnectionLimits(limit, limit);
    }
    BenchAction action;
    Server server;
    QTemporaryDir files;
    QFile script(QDir(files.path()).filePath(QStringLiteral("static/config.js")));
    if (!files.isValid() || !QDir(files.path()).mkpath(QStringLiteral("static")) || !script.open(QIODevice::WriteOnly)
        || script.write(QByteArray(32 * 1024, 'j')) != 32 * 1024)
        return 1;
    script.close();
    server.setFilesDirectory(files.path());
    if (argc > 3) {
        const QString ssl = QDir(QString::fromLocal8Bit(argv[3])).filePath(QStringLiteral("ssl"));
        if (!QDir(files.path()).mkpath(QStringLiteral("ssl"))
            || !QFile::copy(ssl + QStringLiteral("/server.crt"), files.filePath(QStringLiteral("ssl/server.crt")))
            || !QFile::copy(ssl + QStringLiteral("/server.key"), files.filePath(QStringLiteral("ssl/server.key")))
            || !server.listenSecure(QStringLiteral("127.0.0.1"), port))
            return 1;
    } else if (!server.listen(QStringLiteral("127.0.0.1"), port, true)) {
        return 1;
    }
    std::printf("port %d body %d\n", argc > 3 ? server.securePort() : server.port(),
                int(QJsonDocument(kAnswer).toJson(QJsonDocument::Compact).size()));
    std::fflush(stdout);
    return app.exec();
}
