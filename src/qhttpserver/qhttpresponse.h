#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>

class QHttpConnection;
class QHttpRequest;

// The writer of one answer. Answers leave in the order their requests came, whatever order they are
// written in: an answer written before the ones ahead of it waits in its own buffer. Without a
// Content-Length header set before writeHead, end() with nothing written before adds one; otherwise an
// HTTP/1.1 body goes chunked and an HTTP/1.0 one ends with the connection. Owned by its connection and
// deleted with it when the client goes: hold it through a QPointer. Main thread only.
class QHttpResponse : public QObject
{
    Q_OBJECT

public:
    ~QHttpResponse() override;

    QHttpRequest *request() const { return m_request; }

    // Replaces any header of that name (compared without regard to case). Ignored after writeHead.
    void setHeader(const QByteArray &name, const QByteArray &value);
    QByteArray header(const QByteArray &name) const;
    void writeHead(int status);
    void write(const QByteArray &data);
    // Ends the answer, writing the head first (status 200) when it has not gone yet.
    void end(const QByteArray &data = QByteArray());

    bool isHeadWritten() const { return m_headWritten; }
    bool isFinished() const { return m_finished; }
    bool isClientGone() const { return m_clientGone; }
    // The request only waits out a delay (a throttled login's turn) before it is worked on: holding no work,
    // its connection may be closed to make room for another client's.
    void setParked(bool parked) { m_parked = parked; }
    bool isParked() const { return m_parked; }
    // Bytes written but not yet handed to the network: for writers that stream a large body.
    qint64 bytesToWrite() const;

    static QByteArray reasonPhrase(int status);

Q_SIGNALS:
    // The socket has taken some of this answer's bytes: a streaming writer may write more.
    void bytesWritten();
    void finished();
    // The connection closed before the answer was written; the object is deleted soon after.
    void clientGone();

private:
    friend class QHttpConnection;
    QHttpResponse(QHttpConnection *connection, QHttpRequest *request, bool keepAlive, bool headOnly);
    void send(const QByteArray &bytes);

    QHttpConnection *m_connection;
    QHttpRequest *m_request;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    QByteArray m_head; // written, waiting for the first bytes of the body
    QByteArray m_buffer; // written while an earlier answer is still in progress
    bool m_keepAlive;
    bool m_headOnly;
    bool m_http10 = false;
    bool m_chunked = false;
    bool m_headWritten = false;
    bool m_finished = false;
    bool m_clientGone = false;
    bool m_parked = false;
};
