#include "sslserver.h"

#include "logging.h"

#include <QSslSocket>

SslServer::SslServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : QTcpServer(parent)
    , m_certificate(certificate)
    , m_key(key)
{
}

void SslServer::incomingConnection(qintptr socketDescriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(socketDescriptor)) {
        delete socket;
        return;
    }
    socket->setLocalCertificate(m_certificate);
    socket->setPrivateKey(m_key);
    socket->setPeerVerifyMode(QSslSocket::VerifyNone);
    connect(socket, qOverload<const QList<QSslError> &>(&QSslSocket::sslErrors), socket,
            [socket](const QList<QSslError> &errors) {
                qCDebug(lcQHttpServer) << "TLS errors from" << socket->peerAddress() << errors;
            });
    socket->startServerEncryption();
    addPendingConnection(socket);
}
