#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QUrlQuery>

class QTcpSocket;

namespace Orvix::Tests {

// One request as the fake company-lookup service received it.
struct FakeCompanyLookupRequest
{
    QByteArray verb;      // "GET"
    QString path;         // "/findCompanyByPhones"
    QByteArray rawQuery;  // the URL query as sent, without "?"
    QUrlQuery query() const { return QUrlQuery(QString::fromLatin1(rawQuery)); }
};

// In-process stand-in for the company-lookup web service: HTTP/1.1 on 127.0.0.1, a free port, one
// request per connection. Every request gets the reply set last (200 with {} until one is set).
// Owned by the test; closes its connections when destroyed. Main thread only.
class FakeCompanyLookupServer : public QObject
{
    Q_OBJECT

public:
    explicit FakeCompanyLookupServer(QObject *parent = nullptr);
    ~FakeCompanyLookupServer() override;

    bool listen();
    // "http://127.0.0.1:<port>", the base the client appends its paths to.
    QString baseUrl() const;

    void setReply(int status, const QByteArray &body,
                  const QByteArray &contentType = QByteArrayLiteral("application/json; charset=utf-8"));
    QList<FakeCompanyLookupRequest> requests() const { return m_requests; }

Q_SIGNALS:
    void requestReceived(const Orvix::Tests::FakeCompanyLookupRequest &request);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);

    QTcpServer m_server;
    QList<FakeCompanyLookupRequest> m_requests;
    int m_status = 200;
    QByteArray m_body = QByteArrayLiteral("{}");
    QByteArray m_contentType = QByteArrayLiteral("application/json; charset=utf-8");
};

} // namespace Orvix::Tests
