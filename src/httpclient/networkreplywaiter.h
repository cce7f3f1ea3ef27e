#pragma once

#include "httpclient/peerconnections.h"
#include "httpclient/response.h"
#include "utils/promise.h"

#include <QHash>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QSharedPointer>
#include <QTimer>

namespace Orvix::HttpClient {

// Set on a reply aborted because the object it was sent for went away.
inline constexpr char kAbandonedProperty[] = "orvixAbandoned";
// Set on a reply cut off past its answer deadline, kMaxHeadBytes or kMaxAnswerBytes, or at a redirect to
// another origin, with the reason in words.
inline constexpr char kCutProperty[] = "orvixCut";
// Set on a reply cut off for what the peer sent, with the error it stands for: ProtocolFailure for a head past
// kMaxHeadBytes, InsecureRedirectError for a redirect to another origin.
inline constexpr char kCutErrorProperty[] = "orvixCutError";

// Settles the promise of one sent request when its reply ends, however it ends (answer, error, time-out,
// deadline, a head past kMaxHeadBytes, an answer past kMaxAnswerBytes, a redirect to another origin, or the
// reply destroyed with its manager), then deletes itself. While the head has not come, it watches the
// connections to the peer (PeerConnections): Qt says nothing of a head until it has ended. Parentless; main
// thread.
class NetworkReplyWaiter : public QObject
{
    Q_OBJECT
public:
    explicit NetworkReplyWaiter(QSharedPointer<Response> response);
    ~NetworkReplyWaiter() override;

    Utils::Promise<QSharedPointer<Response>> promise() const;

private:
    void onFinished();
    void onError(QNetworkReply::NetworkError code);
    void onRedirected(const QUrl &target);
    void onHeadCame();
    void watchHead();
    void setPeer(const QList<QHostAddress> &addresses);
    // The connections to the peer (and those still connecting) now, this request's among them.
    QVector<PeerConnections::Connection> connections() const;
    // The other requests to this one's peer have had an answer: what their connections took is not this head.
    void rebaseOthers();
    void cut(const QString &reason, QNetworkReply::NetworkError error = QNetworkReply::OperationCanceledError);

    QSharedPointer<Response> m_response;
    Utils::Promise<QSharedPointer<Response>> m_promise;
    QTimer m_deadline;
    QTimer m_headWatch;
    QString m_host;
    quint16 m_port = 0;
    QList<QHostAddress> m_peer;
    bool m_lookingUp = false;
    // What the peer's connections took is noted (setPeer), the base of the counts that follow.
    bool m_noted = false;
    bool m_headCame = false;
    // What each connection to the peer had taken when none of it could be this head yet.
    QHash<int, quint64> m_consumed;
    QElapsedTimer m_went;
    bool m_rebase = false;
    bool m_pastHeadLimit = false;
};

} // namespace Orvix::HttpClient
