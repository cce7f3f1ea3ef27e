#include "httpclient.h"

#include "httpclient/logging.h"
#include "httpclient/networkreplywaiter.h"

#include <QNetworkReply>
#include <QPointer>
#include <QSslCertificate>

namespace Orvix::HttpClient {

HttpClient::HttpClient()
{
    connect(&m_manager, &QNetworkAccessManager::sslErrors, this, &HttpClient::onSslErrors);
}

HttpClient::~HttpClient() = default;

Utils::Promise<QSharedPointer<Response>> HttpClient::send(const Request &request)
{
    QNetworkReply *reply = nullptr;
    switch (request.method()) {
    case Request::Post:
    case Request::PostForm:
        reply = m_manager.post(request.networkRequest(), request.body());
        break;
    case Request::Delete:
        reply = m_manager.deleteResource(request.networkRequest());
        break;
    default:
        reply = m_manager.get(request.networkRequest());
        break;
    }
    qCDebug(lcHttpClient) << "send" << reply->operation() << request.url().toString(QUrl::RemoveQuery);
    if (QObject *origin = request.originatingObject()) {
        connect(origin, &QObject::destroyed, reply, [reply] {
            reply->setProperty(kAbandonedProperty, true);
            reply->abort();
        });
    }

    // The last response copy may go inside a callback run by the reply's own finished signal, so
    // the reply is released with deleteLater; when the manager has already deleted it, not at all.
    const QPointer<QNetworkReply> guard(reply);
    const QSharedPointer<QNetworkReply> shared(reply, [guard](QNetworkReply *) {
        if (guard)
            guard->deleteLater();
    });
    auto waiter = new NetworkReplyWaiter(QSharedPointer<Response>::create(shared, request));
    return waiter->promise();
}

void HttpClient::onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors)
{
    qWarning() << "ssl errors received";
    qDebug() << "reply error string" << reply->errorString();
    for (const QSslError &error : errors)
        qDebug() << "ssl error:" << error.errorString() << "with certificate" << error.certificate();
}

} // namespace Orvix::HttpClient
