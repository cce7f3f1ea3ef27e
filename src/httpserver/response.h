#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSharedPointer>
#include <QString>

class QHttpResponse;
class QObject;

namespace Orvix::HttpServer {

// The writer of one answer: a handle, cheap to copy; all copies share one answer, so an action may
// keep a copy in a promise callback and answer later. The first send wins, later ones are ignored.
// When the client has gone every send is dropped quietly (isClientGone tells it beforehand). An
// answer that nobody sent by the time the last copy goes is sent as 500, so no client hangs.
// Main thread only.
class Response
{
public:
    Response();
    explicit Response(QHttpResponse *raw);

    // Extra header of the answer; ignored once it was sent.
    void setHeader(const QByteArray &name, const QByteArray &value);

    void send(int status, const QByteArray &body, const QByteArray &contentType);
    void sendText(int status, const QString &text,
                  const QByteArray &contentType = QByteArrayLiteral("text/plain; charset=utf-8"));
    void sendJson(const QJsonObject &object, int status = 200);
    void sendJson(const QJsonArray &array, int status = 200);
    void sendJson(const QJsonDocument &document, int status = 200);
    // {"error": message} with the status.
    void sendError(int status, const QString &message);
    // An empty body with the status.
    void sendStatus(int status);
    // Streams the file in chunks as the client takes them; the content type is guessed from the
    // extension when empty. A file that cannot be opened is answered 404 and gives false.
    bool sendFile(const QString &path, const QByteArray &contentType = QByteArray());

    // The request waits out a delay before it is worked on (QHttpResponse::setParked).
    void setParked(bool parked);

    bool isSent() const;
    bool isClientGone() const;
    // An object that lives as long as the client's connection, nullptr for a response made in a test: the
    // parent of what waits to answer, so that it goes with the client.
    QObject *lifetime() const;
    // What was sent, for tests of actions (a default-constructed Response records and sends nothing
    // else): the status (0 before), the content type and the body (empty for a file).
    int status() const;
    QByteArray contentType() const;
    QByteArray body() const;

private:
    struct State;
    QSharedPointer<State> d;
};

} // namespace Orvix::HttpServer
