#pragma once

#include "httpclient/response.h"
#include "utils/promise.h"

#include <QNetworkReply>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

namespace Orvix::HttpClient {

// Set on a reply aborted because the object it was sent for went away.
inline constexpr char kAbandonedProperty[] = "orvixAbandoned";
// Set on a reply cut off past its answer deadline or kMaxAnswerBytes, with the reason in words.
inline constexpr char kCutProperty[] = "orvixCut";

// Settles the promise of one sent request when its reply ends, however it ends (answer, error,
// time-out, deadline, an answer past kMaxAnswerBytes, or the reply destroyed with its manager), then
// deletes itself. Parentless; main thread.
class NetworkReplyWaiter : public QObject
{
    Q_OBJECT
public:
    explicit NetworkReplyWaiter(QSharedPointer<Response> response);

    Utils::Promise<QSharedPointer<Response>> promise() const;

private:
    void onFinished();
    void onError(QNetworkReply::NetworkError code);
    void cut(const QString &reason);

    QSharedPointer<Response> m_response;
    Utils::Promise<QSharedPointer<Response>> m_promise;
    QTimer m_deadline;
};

} // namespace Orvix::HttpClient
