#pragma once

#include "httpclient/request.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QPointer>
#include <QSharedPointer>
#include <QString>
#include <QUrl>

namespace Orvix::HttpClient {

// The outcome of one sent request: the network reply and a copy of the request. Always held by
// QSharedPointer; the reply goes (through deleteLater) with the last copy. A response whose reply
// the client already destroyed answers like a request that got no HTTP answer.
class Response
{
public:
    Response(const QSharedPointer<QNetworkReply> &reply, const Request &request);
    virtual ~Response();

    // Everything the reply still holds; reading consumes it.
    virtual QByteArray body();
    // The body as UTF-8 JSON; a null document when it is not JSON (or was already read).
    virtual QJsonDocument json();
    // The HTTP status; 0 when no whole HTTP answer came (refused, DNS, TLS, time-out, the answer
    // deadline, an answer past kMaxAnswerBytes).
    virtual int statusCode() const;

    QNetworkReply *reply() const;
    Request request() const;
    void setRequest(const Request &request);

    // ProtocolFailure for a head past kMaxHeadBytes, InsecureRedirectError for a redirect to another origin (not
    // followed).
    QNetworkReply::NetworkError error() const;
    QString errorString() const;
    QUrl url() const; // of the last hop, after redirects
    QByteArray rawHeader(const QByteArray &name) const;
    bool isFinished() const;

private:
    QSharedPointer<QNetworkReply> m_reply;
    QPointer<QNetworkReply> m_guard; // the manager deletes its replies when it dies
    Request m_request;
};

} // namespace Orvix::HttpClient
