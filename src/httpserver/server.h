#pragma once

#include <QObject>
#include <QString>

#include <chrono>
#include <functional>

class QHttpServer;
class QHttpsServer;
class QHttpRequest;
class QHttpResponse;

namespace Orvix::HttpServer {

class Request;
class Response;
class IAction;

// The HTTP front end: a plain and a TLS listener that route each request to the IAction registered
// for its path (after digest authentication when the action requires it), serve "/static/..." from the
// static directory, and answer 404 otherwise. The portal's event routes ("/events/...") take only a POST
// whose query carries the event key (Config::GeneratedDirectory::eventKey). The TLS certificate and key are "ssl/server.crt" and
// "ssl/server.key" (PEM) in the files directory, like "static/"; by default the directory of the
// executable. Main thread only; owns its listeners.
class Server : public QObject
{
    Q_OBJECT

public:
    explicit Server(QObject *parent = nullptr);
    ~Server() override;

    // Opens the plain listener when useHttp is set (an empty host listens on every address); a
    // failure is logged and gives false.
    bool listen(const QString &host, int port, bool useHttp);
    // Opens the TLS listener; without a readable certificate and key: a warning, no listener, false.
    bool listenSecure(const QString &host, int port);
    void close();

    // The ports actually listened on (useful with port 0), 0 when not listening.
    quint16 port() const;
    quint16 securePort() const;

    void setFilesDirectory(const QString &directory);
    QString filesDirectory() const { return m_filesDirectory; }
    QString staticDirectory() const;

    // Routes one request as the listeners do; for servers built on other transports and for tests.
    void handle(const Request &request, Response response);

private:
    void onNewRequest(QHttpRequest *request, QHttpResponse *response);
    void onAboutToQuit();
    static qint64 bodyLimit(const QByteArray &method, const QByteArray &target);
    void runAction(IAction &action, const Request &request, Response response, bool needsLogin);
    // 429 with Retry-After: the client's one waiting login has the turn.
    static void refuseLogin(Response response, std::chrono::milliseconds retryAfter);
    void checkDigest(IAction &action, const Request &request, Response response);
    // Runs the request's action, as found when the client's turn comes.
    std::function<void(Response)> actionAtTurn(const Request &request, bool needsLogin);
    // Runs `then` at the client's turn to have a login checked, or answers 429 while another of its logins waits;
    // a wrong login, already checked, is counted at once and answered at its turn, or at once while another waits.
    void afterTurn(const Request &request, Response response, bool wrongLogin,
                   const std::function<void(Response)> &then);
    void waitTurn(const Request &request, Response response, std::chrono::milliseconds wait,
                  const std::function<void(Response)> &then);
    void serveStatic(const Request &request, Response response);
    static bool isForeignRequest(const Request &request, const IAction &action);
    static bool isFromBrowser(const Request &request);

    QHttpServer *m_http = nullptr;
    QHttpsServer *m_https = nullptr;
    QString m_filesDirectory;
};

} // namespace Orvix::HttpServer
