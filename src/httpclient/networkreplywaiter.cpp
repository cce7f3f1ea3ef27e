#include "networkreplywaiter.h"

#include "httpclient/logging.h"

namespace Orvix::HttpClient {

NetworkReplyWaiter::NetworkReplyWaiter(QSharedPointer<Response> response)
    : m_response(std::move(response))
{
    QNetworkReply *reply = m_response->reply();
    // Settled on finished only: an HTTP error status also raises errorOccurred, and settling there
    // could hand out a body that has not fully arrived.
    connect(reply, &QNetworkReply::finished, this, &NetworkReplyWaiter::onFinished);
    connect(reply, &QNetworkReply::errorOccurred, this, &NetworkReplyWaiter::onError);
    connect(reply, &QObject::destroyed, this, &NetworkReplyWaiter::onFinished);

    const Request request = m_response->request();
    const auto deadline = request.answerDeadline();
    if (deadline.count() > 0) {
        m_deadline.setSingleShot(true);
        m_deadline.setInterval(deadline);
        connect(&m_deadline, &QTimer::timeout, this, [this, deadline] {
            cut(QStringLiteral("no whole answer within %1 s").arg(deadline.count() / 1000.0));
        });
        // An upload that still moves keeps the deadline away; it counts from its last byte.
        connect(reply, &QNetworkReply::uploadProgress, &m_deadline, qOverload<>(&QTimer::start));
        m_deadline.start();
    }
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (received > kMaxAnswerBytes || total > kMaxAnswerBytes)
            cut(QStringLiteral("an answer of more than %1 MiB").arg(kMaxAnswerBytes / (1024 * 1024)));
    });
}

void NetworkReplyWaiter::cut(const QString &reason)
{
    QNetworkReply *reply = m_response ? m_response->reply() : nullptr;
    if (!reply || reply->isFinished())
        return;
    // The query is left out of the log, since OAuth requests carry the password there.
    qWarning().noquote() << QStringLiteral("Request to %1 failed: %2")
                                .arg(m_response->request().url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo),
                                     reason);
    reply->setProperty(kCutProperty, reason);
    reply->abort();
}

Utils::Promise<QSharedPointer<Response>> NetworkReplyWaiter::promise() const
{
    return m_promise;
}

void NetworkReplyWaiter::onFinished()
{
    m_deadline.stop();
    if (QNetworkReply *reply = m_response->reply())
        disconnect(reply, nullptr, this, nullptr);
    m_promise.resolve(m_response);
    m_response.reset();
    deleteLater();
}

void NetworkReplyWaiter::onError(QNetworkReply::NetworkError code)
{
    const Request request = m_response->request();
    QNetworkReply *reply = m_response->reply();
    if (code == QNetworkReply::OperationCanceledError && reply && reply->property(kAbandonedProperty).toBool()) {
        qCDebug(lcHttpClient) << "request abandoned by its sender"
                              << request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
        return;
    }
    if (code == QNetworkReply::OperationCanceledError && reply && reply->property(kCutProperty).isValid())
        return; // said when it was cut
    if (code == QNetworkReply::OperationCanceledError) {
        // Apart from an abandoned request, nothing else aborts our replies: this is the transfer
        // time-out. The query is left out of the log, since OAuth requests carry the password there.
        qWarning().noquote() << QStringLiteral("No answer from %1 within %2 ms")
                                    .arg(request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo))
                                    .arg(request.transferTimeout().count());
        return;
    }
    // Not errorString(): it quotes the whole URL, query and credentials included.
    qCDebug(lcHttpClient) << "request error" << code << "from"
                          << request.url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
}

} // namespace Orvix::HttpClient
