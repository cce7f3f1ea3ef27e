#pragma once

#include "httpserver/response.h"

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>

#include <chrono>

class QTimer;

namespace Orvix::Actions {

// The answer to one request in the actions' JSON envelope: 200 {"result": value}, {"error": text} with
// a status, or the JSON given. Sent once; a request still unanswered when the time-out passes gets
// 504 {"error": "Timeout"}, so a promise that never settles cannot hold the client. Deletes itself
// once it has answered. Owned by the action (parent); main thread.
class Reply : public QObject
{
    Q_OBJECT

public:
    Reply(const QString &method, HttpServer::Response response, QObject *parent);

    QString method() const { return m_method; }
    // The client that asked, for the lines that name it.
    QHostAddress clientAddress() const { return m_client; }
    void setClientAddress(const QHostAddress &client) { m_client = client; }
    bool isAnswered() const { return m_answered; }

    void startTimeout(std::chrono::milliseconds timeout);

    void sendResult(const QJsonValue &value);
    void sendError(int status, const QString &text);
    void sendJson(int status, const QJsonObject &body);
    void send(int status, const QByteArray &body, const QByteArray &contentType);
    // Streams the file; one that cannot be opened is answered 404.
    void sendFile(const QString &path, const QByteArray &contentType);

private:
    bool takeAnswer();

    QString m_method;
    QHostAddress m_client;
    HttpServer::Response m_response;
    QTimer *m_timer = nullptr;
    bool m_answered = false;
};

} // namespace Orvix::Actions
