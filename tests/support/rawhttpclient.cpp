#include "rawhttpclient.h"

#include <QHostAddress>
#include <QSignalSpy>

namespace Orvix::Tests {

namespace {
constexpr int kWaitMs = 10000;
}

RawHttpClient::RawHttpClient(QObject *parent)
    : QObject(parent)
{
}

bool RawHttpClient::connectTo(quint16 port)
{
    QSignalSpy connected(&m_socket, &QTcpSocket::connected);
    m_socket.connectToHost(QHostAddress::LocalHost, port);
    return connected.wait(kWaitMs);
}

void RawHttpClient::send(const QByteArray &bytes)
{
    m_socket.write(bytes);
}

std::optional<RawHttpResponse> RawHttpClient::next(bool headOnly)
{
    for (;;) {
        m_buffer += m_socket.readAll();
        const bool atEnd = m_socket.state() != QAbstractSocket::ConnectedState;
        if (auto response = parse(atEnd, headOnly))
            return response;
        if (atEnd)
            return std::nullopt;
        QSignalSpy readyRead(&m_socket, &QTcpSocket::readyRead);
        QSignalSpy disconnected(&m_socket, &QTcpSocket::disconnected);
        if (m_socket.bytesAvailable() == 0 && !readyRead.wait(kWaitMs) && disconnected.isEmpty())
            return std::nullopt;
    }
}

bool RawHttpClient::waitClosed()
{
    if (m_socket.state() == QAbstractSocket::UnconnectedState)
        return true;
    QSignalSpy disconnected(&m_socket, &QTcpSocket::disconnected);
    for (;;) {
        m_buffer += m_socket.readAll();
        if (m_socket.state() == QAbstractSocket::UnconnectedState || !disconnected.isEmpty())
            return true;
        if (!disconnected.wait(kWaitMs))
            return m_socket.state() == QAbstractSocket::UnconnectedState;
    }
}

std::optional<RawHttpResponse> RawHttpClient::parse(bool atEnd, bool headOnly)
{
    const int headEnd = m_buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return std::nullopt;
    const QList<QByteArray> lines = m_buffer.left(headEnd).split('\n');
    RawHttpResponse response;
    const QList<QByteArray> statusLine = lines.first().trimmed().split(' ');
    if (statusLine.size() < 2)
        return std::nullopt;
    response.status = statusLine.at(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const int colon = lines.at(i).indexOf(':');
        if (colon > 0)
            response.headers.insert(lines.at(i).left(colon).trimmed().toLower(), lines.at(i).mid(colon + 1).trimmed());
    }
    const int bodyStart = headEnd + 4;
    if (response.status == 100) {
        m_buffer.remove(0, bodyStart);
        return parse(atEnd, headOnly);
    }
    if (headOnly) {
        m_buffer.remove(0, bodyStart);
        return response;
    }
    if (response.headers.contains("content-length")) {
        const int length = response.headers.value("content-length").toInt();
        if (m_buffer.size() - bodyStart < length)
            return std::nullopt;
        response.body = m_buffer.mid(bodyStart, length);
        m_buffer.remove(0, bodyStart + length);
        return response;
    }
    if (response.headers.value("transfer-encoding").toLower() == "chunked") {
        int position = bodyStart;
        QByteArray body;
        for (;;) {
            const int lineEnd = m_buffer.indexOf("\r\n", position);
            if (lineEnd < 0)
                return std::nullopt;
            bool ok = false;
            const int size = m_buffer.mid(position, lineEnd - position).trimmed().toInt(&ok, 16);
            if (!ok)
                return std::nullopt;
            if (m_buffer.size() < lineEnd + 2 + size + 2)
                return std::nullopt;
            if (size == 0) {
                m_buffer.remove(0, lineEnd + 4);
                response.body = body;
                return response;
            }
            body += m_buffer.mid(lineEnd + 2, size);
            position = lineEnd + 2 + size + 2;
        }
    }
    if (!atEnd)
        return std::nullopt;
    response.body = m_buffer.mid(bodyStart);
    m_buffer.clear();
    return response;
}

} // namespace Orvix::Tests
