#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>

class QHttpConnection;

// One complete HTTP request as it came off the wire: the connection hands it over only once the
// headers and the whole body have arrived. Owned by its QHttpResponse; main thread only.
class QHttpRequest : public QObject
{
    Q_OBJECT

public:
    using Header = QPair<QByteArray, QByteArray>;

    QByteArray method() const { return m_method; }
    // The request target exactly as sent: path and query, still percent-encoded.
    QByteArray target() const { return m_target; }
    QByteArray path() const;
    QByteArray query() const;
    // The same of any target, still percent-encoded: "/a?b=1#c" gives "/a" and "b=1".
    static QByteArray pathOf(const QByteArray &target);
    static QByteArray queryOf(const QByteArray &target);
    // Names as sent; use header() for a case-insensitive look-up.
    QList<Header> headers() const { return m_headers; }
    // The value of the first header of that name, compared without regard to case.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    QByteArray body() const { return m_body; }
    int majorVersion() const { return m_major; }
    int minorVersion() const { return m_minor; }
    QHostAddress remoteAddress() const { return m_remoteAddress; }
    quint16 remotePort() const { return m_remotePort; }
    // The address of ours that the client connected to.
    QHostAddress localAddress() const { return m_localAddress; }
    bool isSecure() const { return m_secure; }

private:
    friend class QHttpConnection;
    explicit QHttpRequest(QObject *parent);
    ~QHttpRequest() override;

    QByteArray m_method;
    QByteArray m_target;
    QList<Header> m_headers;
    QByteArray m_body;
    int m_major = 1;
    int m_minor = 1;
    QHostAddress m_remoteAddress;
    quint16 m_remotePort = 0;
    QHostAddress m_localAddress;
    bool m_secure = false;
    qint64 m_budgetedBytes = 0; // of the connections' body budget, given back with the request
    QHostAddress m_budgetClient; // whose share they count in
};
