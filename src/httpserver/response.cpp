#include "response.h"

#include "logging.h"
#include "qhttpserver/qhttprequest.h"
#include "qhttpserver/qhttpresponse.h"
#include "staticfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QPair>
#include <QPointer>

#include <memory>

namespace Orvix::HttpServer {

namespace {

constexpr qint64 kFileChunk = 64 * 1024;
// A streamed file is read ahead only this far past what the socket has taken.
constexpr qint64 kFileWindow = 256 * 1024;

// Sends no more than `left`, the length the head announced: a file that grows meanwhile (a recording
// still being written) would otherwise spill into what the client reads as the next answer.
void pumpFile(QFile *file, QHttpResponse *raw, qint64 &left)
{
    if (!file->isOpen() || raw->isFinished())
        return;
    while (raw->bytesToWrite() < kFileWindow && left > 0) {
        const QByteArray chunk = file->read(qMin(kFileChunk, left));
        if (chunk.isEmpty())
            break;
        left -= chunk.size();
        raw->write(chunk);
    }
    if (left <= 0 || file->atEnd() || file->error() != QFileDevice::NoError) {
        file->close();
        raw->end();
        file->deleteLater();
    }
}

} // namespace

struct Response::State
{
    QPointer<QHttpResponse> raw;
    bool connected = false; // false for a response made in a test, which only records
    QList<QPair<QByteArray, QByteArray>> headers;
    int status = 0;
    QByteArray contentType;
    QByteArray body;
    bool sent = false;

    ~State()
    {
        if (!sent && raw && !raw->isClientGone() && !raw->isFinished()) {
            qCWarning(lcHttpServer) << "request" << (raw->request() ? raw->request()->target() : QByteArray())
                                     << "left without an answer";
            contentType = QByteArrayLiteral("application/json");
            writeHead(false);
            raw->writeHead(500);
            raw->end(QByteArrayLiteral("{\"error\":\"No answer\"}"));
        }
    }

    // Claims the answer: false when it was sent already.
    bool claim(int statusCode, const QByteArray &type)
    {
        if (sent)
            return false;
        sent = true;
        status = statusCode;
        contentType = type;
        return true;
    }

    bool writable() const { return raw && !raw->isClientGone() && !raw->isFinished(); }

    // Every answer refuses to be framed; answers built here (JSON, the page) may carry passwords and
    // are never kept in a cache. Files (static ones, recordings) may be.
    void writeHead(bool cacheable)
    {
        raw->setHeader(QByteArrayLiteral("X-Frame-Options"), QByteArrayLiteral("DENY"));
        raw->setHeader(QByteArrayLiteral("Content-Security-Policy"), QByteArrayLiteral("frame-ancestors 'none'"));
        if (!cacheable)
            raw->setHeader(QByteArrayLiteral("Cache-Control"), QByteArrayLiteral("no-store"));
        for (const auto &header : qAsConst(headers))
            raw->setHeader(header.first, header.second);
        if (!contentType.isEmpty())
            raw->setHeader(QByteArrayLiteral("Content-Type"), contentType);
    }
};

Response::Response()
    : d(QSharedPointer<State>::create())
{
}

Response::Response(QHttpResponse *raw)
    : d(QSharedPointer<State>::create())
{
    d->raw = raw;
    d->connected = raw != nullptr;
}

void Response::setHeader(const QByteArray &name, const QByteArray &value)
{
    if (d->sent)
        return;
    for (auto &header : d->headers) {
        if (qstricmp(header.first.constData(), name.constData()) == 0) {
            header.second = value;
            return;
        }
    }
    d->headers.append({name, value});
}

void Response::send(int status, const QByteArray &body, const QByteArray &contentType)
{
    if (!d->claim(status, contentType)) {
        qCDebug(lcHttpServer) << "second answer ignored, status" << status;
        return;
    }
    d->body = body;
    if (!d->writable())
        return;
    d->writeHead(false);
    d->raw->setHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(body.size()));
    d->raw->writeHead(status);
    d->raw->end(body);
}

void Response::sendText(int status, const QString &text, const QByteArray &contentType)
{
    send(status, text.toUtf8(), contentType);
}

void Response::sendJson(const QJsonObject &object, int status)
{
    sendJson(QJsonDocument(object), status);
}

void Response::sendJson(const QJsonArray &array, int status)
{
    sendJson(QJsonDocument(array), status);
}

void Response::sendJson(const QJsonDocument &document, int status)
{
    send(status, document.toJson(QJsonDocument::Compact), QByteArrayLiteral("application/json"));
}

void Response::sendError(int status, const QString &message)
{
    sendJson(QJsonObject{{QStringLiteral("error"), message}}, status);
}

void Response::sendStatus(int status)
{
    send(status, QByteArray(), QByteArray());
}

bool Response::sendFile(const QString &path, const QByteArray &contentType)
{
    if (d->sent)
        return false;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::ReadOnly) || QFileInfo(*file).isDir()) {
        sendError(404, QStringLiteral("Not found"));
        return false;
    }
    d->claim(200, contentType.isEmpty() ? StaticFiles::contentType(path) : contentType);
    if (!d->writable())
        return true;
    d->writeHead(true);
    QHttpResponse *raw = d->raw;
    const qint64 size = file->size();
    raw->setHeader(QByteArrayLiteral("Content-Length"), QByteArray::number(size));
    raw->writeHead(200);
    // The file belongs to the answer: it goes with the connection if the client leaves midway.
    QFile *stream = file.release();
    stream->setParent(raw);
    const auto left = QSharedPointer<qint64>::create(size);
    QObject::connect(raw, &QHttpResponse::bytesWritten, stream, [stream, raw, left] { pumpFile(stream, raw, *left); });
    pumpFile(stream, raw, *left);
    return true;
}

void Response::setParked(bool parked)
{
    if (d->raw)
        d->raw->setParked(parked);
}

bool Response::isSent() const
{
    return d->sent;
}

bool Response::isClientGone() const
{
    return d->connected && (!d->raw || d->raw->isClientGone());
}

QObject *Response::lifetime() const
{
    return d->raw.data();
}

int Response::status() const
{
    return d->status;
}

QByteArray Response::contentType() const
{
    return d->contentType;
}

QByteArray Response::body() const
{
    return d->body;
}

} // namespace Orvix::HttpServer
