#include "support/fakecompanylookupserver.h"

#include "support/fakehttp.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace Orvix::Tests {

FakeCompanyLookupServer::FakeCompanyLookupServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &FakeCompanyLookupServer::onNewConnection);
}

FakeCompanyLookupServer::~FakeCompanyLookupServer() = default;

bool FakeCompanyLookupServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QString FakeCompanyLookupServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort());
}

void FakeCompanyLookupServer::setReply(int status, const QByteArray &body, const QByteArray &contentType)
{
    m_status = status;
    m_body = body;
    m_contentType = contentType;
}

void FakeCompanyLookupServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void FakeCompanyLookupServer::onReadyRead(QTcpSocket *socket)
{
    // The lookup is a GET: the request ends with its headers.
    QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0) {
        socket->setProperty("buffer", buffer);
        return;
    }
    socket->setProperty("buffer", QByteArray());
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    FakeCompanyLookupRequest request;
    if (requestLine.size() == 3) {
        request.verb = requestLine.at(0);
        const QByteArray target = requestLine.at(1);
        const int question = target.indexOf('?');
        const QByteArray path = question < 0 ? target : target.left(question);
        request.path = QString::fromUtf8(QByteArray::fromPercentEncoding(path));
        if (question >= 0)
            request.rawQuery = target.mid(question + 1);
    }
    m_requests.append(request);

    QByteArray reply = fakeHttpStatusLine(m_status);
    reply += "Content-Type: " + m_contentType + "\r\n";
    reply += "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n";
    reply += "Connection: close\r\n\r\n";
    reply += m_body;
    socket->write(reply);
    socket->disconnectFromHost();
    Q_EMIT requestReceived(request);
}

} // namespace Orvix::Tests
