#pragma once

#include "httpclient/request.h"
#include "httpclient/response.h"
#include "utils/promise.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QObject>
#include <QSharedPointer>
#include <QSslError>

class QNetworkReply;

namespace Orvix::HttpClient {

// The one HTTP client of the service, shared (QSharedPointer) by everything that calls out: the
// CRM queue, OAuth, the relay long-poll, the company lookup. Main thread only.
//
// send() never rejects: refused connections, DNS and TLS failures and time-outs resolve with a
// response whose statusCode() is 0; HTTP error statuses resolve with that status.
class HttpClient : public QObject
{
    Q_OBJECT
public:
    HttpClient();
    ~HttpClient() override;

    virtual Utils::Promise<QSharedPointer<Response>> send(const Request &request);

public Q_SLOTS:
    void onSslErrors(QNetworkReply *reply, const QList<QSslError> &errors);

private:
    QNetworkAccessManager m_manager;
};

} // namespace Orvix::HttpClient
