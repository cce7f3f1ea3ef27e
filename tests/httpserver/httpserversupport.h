#pragma once

#include "config/generateddirectory.h"
#include "config/manager.h"
#include "httpserver/iaction.h"
#include "httpserver/server.h"
#include "utils/settingsmanager.h"

#include <QDir>
#include <QFile>
#include <QJsonObject>
#include <QObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>

// What tst_httpserver and tst_httpsecurity share: the routes both call, curl, and the server they start.

inline QStringList g_warnings;

inline void keepWarning(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type >= QtWarningMsg)
        g_warnings.append(message);
}

// Answers with what it read: the method, the path and every parameter. Takes bodies up to the ceiling.
class EchoAction : public Orvix::HttpServer::IAction
{
public:
    EchoAction()
        : IAction(QStringLiteral("/echo"))
    {
    }
    qint64 maxBodyBytes() const override { return 16 * 1024 * 1024; }
    void execute(const Orvix::HttpServer::Request &request, Orvix::HttpServer::Response response) override
    {
        response.sendJson(QJsonObject{{"method", request.method()},
                                      {"path", request.path()},
                                      {"parameters", request.parameters()}});
    }
};

// Forgets to answer.
class SilentAction : public Orvix::HttpServer::IAction
{
public:
    SilentAction()
        : IAction(QStringLiteral("/silent"))
    {
    }
    void execute(const Orvix::HttpServer::Request &, Orvix::HttpServer::Response) override {}
};

class SecureAction : public Orvix::HttpServer::IAction
{
public:
    SecureAction()
        : IAction(QStringLiteral("/secure"), true)
    {
    }
    void execute(const Orvix::HttpServer::Request &request, Orvix::HttpServer::Response response) override
    {
        response.sendJson(QJsonObject{{"secret", request.text("x")}});
    }
};

// A route the portal calls from its servers, like /events/external_call_start.
class EventRoute : public Orvix::HttpServer::IAction
{
public:
    EventRoute()
        : IAction(QStringLiteral("/events/test"))
    {
    }
    void execute(const Orvix::HttpServer::Request &, Orvix::HttpServer::Response response) override
    {
        ++executed; // the PBX would dial
        response.sendJson(QJsonObject{{"result", true}});
    }
    int executed = 0;
};

inline bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

struct CurlResult
{
    int exitCode = -1;
    QByteArray output;
};

// Runs curl against the server without blocking the event loop the server needs.
inline CurlResult curl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(QStringLiteral("curl"), QStringList{"-s", "-S", "-g"} + arguments);
    if (!finished.wait(30000))
        return {};
    return {process.exitCode(), process.readAllStandardOutput()};
}

// The server under test on loopback, with the routes both executables call. Its files are in a temporary
// directory; the configuration and the generated directory are the executable's own, so that the two run
// side by side. Main thread; the routes are process-wide and live as long as the test object.
class ServerTestCase : public QObject
{
protected:
    // Serves static/page.html and listens; a short password, as an older file may hold: the start takes it,
    // a save would not.
    bool startServer(const QString &generatedPostfix)
    {
        m_generatedPostfix = generatedPostfix;
        const QDir files(m_files.path());
        if (!m_files.isValid() || !files.mkpath(QStringLiteral("static"))
            || !writeFile(files.filePath("static/page.html"), "<html>page</html>")
            || !writeFile(files.filePath("config.json"), R"({"WebServer": {"user": "admin", "password": "s3cret"}})"))
            return false;
        Orvix::Utils::Settings::Manager::configName = files.filePath("config.json");
        Orvix::Config::Manager::init();
        if (!Orvix::Config::Manager::update(
                 QJsonObject{{"App", QJsonObject{{"generated_postfix", generatedPostfix}}}})
                 .isEmpty())
            return false;
        m_server.setFilesDirectory(m_files.path());
        return m_server.listen(QStringLiteral("127.0.0.1"), 0, true) && m_server.port() != 0;
    }

    void dropConfiguration()
    {
        QDir(Orvix::Config::GeneratedDirectory::path(m_generatedPostfix)).removeRecursively();
        Orvix::Config::Manager::resetForTesting();
        Orvix::Utils::Settings::Manager::configName.clear();
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.port()).arg(path);
    }

    Orvix::HttpServer::Server m_server;
    EchoAction m_echo;
    SilentAction m_silent;
    SecureAction m_secure;
    EventRoute m_event;
    QTemporaryDir m_files;

private:
    QString m_generatedPostfix;
};
