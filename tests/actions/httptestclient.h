#pragma once

#include "config/generateddirectory.h"
#include "config/manager.h"
#include "httpserver/server.h"
#include "utils/settingsmanager.h"

#include <QAuthenticator>
#include <QCoreApplication>
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace Orvix::Tests {

// One answer of the server as a client saw it.
struct HttpAnswer
{
    int status = 0;
    QByteArray contentType;
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// The HTTP server of the service on a free loopback port with a configuration of its own (the
// defaults and a web password, in a temporary file), and a client that answers its digest challenge
// when asked to.
class HttpTestClient
{
public:
    HttpTestClient()
    {
        Config::Manager::resetForTesting();
        if (m_dir.isValid()) {
            const QString path = m_dir.filePath(QStringLiteral("calvena.json"));
            QFile file(path);
            // The generated folder (and the event key in it) is the test's own, gone with it.
            if (file.open(QIODevice::WriteOnly))
                file.write(QStringLiteral(R"({"WebServer": {"password": "tEst-Pa55"}, "App": {"generated_postfix": "%1"}})")
                               .arg(generatedPostfix())
                               .toUtf8());
            Utils::Settings::Manager::configName = path;
        }
        Config::Manager::init();
        m_listening = m_server.listen(QStringLiteral("127.0.0.1"), 0, true);
        QObject::connect(&m_network, &QNetworkAccessManager::authenticationRequired, &m_network,
                         [this](QNetworkReply *, QAuthenticator *authenticator) {
                             if (!m_withDigest)
                                 return;
                             authenticator->setUser(Config::Manager::getString(Config::Manager::WebServer, "user"));
                             authenticator->setPassword(
                                 Config::Manager::getString(Config::Manager::WebServer, "password"));
                         });
    }
    ~HttpTestClient()
    {
        QDir(Config::GeneratedDirectory::path(generatedPostfix())).removeRecursively();
        m_server.close();
        Config::Manager::resetForTesting();
        Utils::Settings::Manager::configName.clear();
    }

    bool isListening() const { return m_listening; }
    static QString generatedPostfix() { return QStringLiteral("_test_%1").arg(QCoreApplication::applicationPid()); }
    HttpServer::Server &server() { return m_server; }
    QUrl url(const QString &pathAndQuery) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.port()).arg(pathAndQuery));
    }

    // GET when body is null, else POST with the content type.
    HttpAnswer request(const QString &pathAndQuery, bool withDigest, const QByteArray &body = QByteArray(),
                       const QByteArray &contentType = QByteArrayLiteral("application/json"))
    {
        m_withDigest = withDigest;
        // A fresh manager per request: no credentials cached from an earlier one.
        m_network.clearAccessCache();
        m_network.clearConnectionCache();
        QNetworkRequest request(url(pathAndQuery));
        QNetworkReply *reply = nullptr;
        if (body.isNull()) {
            reply = m_network.get(request);
        } else {
            request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
            reply = m_network.post(request, body);
        }
        QSignalSpy finished(reply, &QNetworkReply::finished);
        HttpAnswer answer;
        if (!reply->isFinished() && !finished.wait(30000)) {
            reply->abort();
            reply->deleteLater();
            return answer;
        }
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        answer.body = reply->readAll();
        reply->deleteLater();
        return answer;
    }

private:
    QTemporaryDir m_dir;
    HttpServer::Server m_server;
    QNetworkAccessManager m_network;
    bool m_listening = false;
    bool m_withDigest = true;
};

} // namespace Orvix::Tests
