#pragma once

#include <QHostAddress>
#include <QList>
#include <QVector>

namespace Orvix::HttpClient::PeerConnections {

// This process's TCP connections to one peer, as the kernel counts them. Qt's network thread takes an answer's head
// in whole before it tells anything, and on a plain connection reads it a byte at a time for as long as bytes come,
// its manager's other requests waiting meanwhile: only the connection shows how much of it came, and only shutting
// the connection down stops that thread. Any thread; Linux.

struct Connection
{
    int descriptor = -1;
    quint64 consumed = 0;    // bytes received and taken by their reader
    bool connecting = false; // not connected yet: its peer is not known
};

// Looks through every descriptor of the process: the connections to the peer, and those still connecting anywhere.
QVector<Connection> list(const QList<QHostAddress> &addresses, quint16 port);
// The same of the given descriptors alone: a few system calls each, whatever else the process holds open.
QVector<Connection> look(const QVector<int> &descriptors, const QList<QHostAddress> &addresses, quint16 port);
// The connection ends for its reader at once, whatever thread reads it; the descriptor stays its owner's.
void shutDown(int descriptor);
// How many descriptors list() and look() have looked at in this process: what watching costs.
quint64 descriptorsLookedAt();

} // namespace Orvix::HttpClient::PeerConnections
