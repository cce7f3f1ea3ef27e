#include "qhttpsserver.h"

#include "sslserver.h"

QHttpsServer::QHttpsServer(const QSslCertificate &certificate, const QSslKey &key, QObject *parent)
    : QHttpServer(parent)
    , m_certificate(certificate)
    , m_key(key)
{
}

QTcpServer *QHttpsServer::createTcpServer()
{
    return new SslServer(m_certificate, m_key, this);
}
