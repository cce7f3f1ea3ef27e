#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QTcpSocket;

namespace Orvix::Tests {

// HTTP/1.1 plumbing the fake servers share: finding and reading a request head, the status line of an answer.

using FakeHttpHeaders = QList<QPair<QByteArray, QByteArray>>;

// The request line and header fields of one request head.
struct FakeHttpHead
{
    bool wellFormed = false; // the request line had its three parts
    QByteArray verb;
    QString path;            // the target without its query, percent-decoded
    QByteArray rawQuery;     // after "?", as sent
    FakeHttpHeaders headers; // in wire order, names as sent; lines without a name are skipped

    // Reads the head at the start of buffer, headEnd being where its blank line starts.
    static FakeHttpHead parse(const QByteArray &buffer, int headEnd);
};

// Where the head at the start of buffer ends (its blank line), or -1 while it is incomplete. A head larger
// than any client sends aborts the socket.
int fakeHttpHeadEnd(const QByteArray &buffer, QTcpSocket *socket);

// The value of a header, names compared without case; empty when absent.
QByteArray fakeHttpHeader(const FakeHttpHeaders &headers, const QByteArray &name);

// "HTTP/1.1 <status> <reason>\r\n".
QByteArray fakeHttpStatusLine(int status);

} // namespace Orvix::Tests
