#include "actions/reply.h"

#include <QDebug>
#include <QTimer>

namespace Orvix::Actions {

Reply::Reply(const QString &method, HttpServer::Response response, QObject *parent)
    : QObject(parent)
    , m_method(method)
    , m_response(std::move(response))
{
}

void Reply::startTimeout(std::chrono::milliseconds timeout)
{
    if (m_answered)
        return;
    if (!m_timer) {
        m_timer = new QTimer(this);
        m_timer->setSingleShot(true);
        connect(m_timer, &QTimer::timeout, this, [this]() {
            qDebug().noquote() << QStringLiteral("Request timed out after %1 ms").arg(m_timer->interval());
            sendError(504, QStringLiteral("Timeout"));
        });
    }
    m_timer->start(timeout);
}

bool Reply::takeAnswer()
{
    if (m_answered)
        return false;
    m_answered = true;
    if (m_timer)
        m_timer->stop();
    // Callbacks of the same request may still hold a guard on this object; they see it gone.
    deleteLater();
    return true;
}

void Reply::sendResult(const QJsonValue &value)
{
    sendJson(200, QJsonObject{{QStringLiteral("result"), value}});
}

void Reply::sendError(int status, const QString &text)
{
    sendJson(status, QJsonObject{{QStringLiteral("error"), text}});
}

void Reply::sendJson(int status, const QJsonObject &body)
{
    if (takeAnswer())
        m_response.sendJson(body, status);
}

void Reply::send(int status, const QByteArray &body, const QByteArray &contentType)
{
    if (takeAnswer())
        m_response.send(status, body, contentType);
}

void Reply::sendFile(const QString &path, const QByteArray &contentType)
{
    if (takeAnswer())
        m_response.sendFile(path, contentType);
}

} // namespace Orvix::Actions
