#include "peerconnections.h"

#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>

namespace Orvix::HttpClient::PeerConnections {

namespace {

std::atomic<quint64> g_lookedAt{0};
// The kernel's TCP_SYN_SENT (netinet/tcp.h, which clashes with linux/tcp.h).
constexpr int kSynSent = 2;

// The descriptor's connection when it goes to the peer or is still connecting; false for anything else.
bool examine(int descriptor, const QList<QHostAddress> &addresses, quint16 port, Connection *connection)
{
    ++g_lookedAt;
    tcp_info info = {};
    socklen_t infoLength = sizeof(info);
    sockaddr_storage peer = {};
    socklen_t length = sizeof(peer);
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0) {
        // Its peer shows once it is connected, a look later.
        *connection = {descriptor, 0, true};
        return errno == ENOTCONN && ::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &infoLength) == 0
            && info.tcpi_state == kSynSent;
    }
    const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
    const quint16 peerPort = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(peer).sin6_port
                                                              : reinterpret_cast<sockaddr_in &>(peer).sin_port);
    const bool named = std::any_of(addresses.cbegin(), addresses.cend(), [&address](const QHostAddress &wanted) {
        return wanted.isEqual(address, QHostAddress::TolerantConversion);
    });
    int unread = 0;
    if (peerPort != port || !named || ::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &infoLength) != 0
        || infoLength < offsetof(tcp_info, tcpi_bytes_received) + sizeof(info.tcpi_bytes_received)
        || ::ioctl(descriptor, FIONREAD, &unread) != 0)
        return false;
    *connection = {descriptor, info.tcpi_bytes_received - quint64(qMax(0, unread)), false};
    return true;
}

} // namespace

QVector<Connection> list(const QList<QHostAddress> &addresses, quint16 port)
{
    QVector<Connection> found;
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return found;
    Connection connection;
    while (const dirent *entry = ::readdir(descriptors)) {
        if (entry->d_name[0] != '.' && examine(std::atoi(entry->d_name), addresses, port, &connection))
            found.append(connection);
    }
    ::closedir(descriptors);
    return found;
}

QVector<Connection> look(const QVector<int> &descriptors, const QList<QHostAddress> &addresses, quint16 port)
{
    QVector<Connection> found;
    Connection connection;
    for (const int descriptor : descriptors) {
        if (examine(descriptor, addresses, port, &connection))
            found.append(connection);
    }
    return found;
}

void shutDown(int descriptor)
{
    ::shutdown(descriptor, SHUT_RDWR);
}

quint64 descriptorsLookedAt()
{
    return g_lookedAt;
}

} // namespace Orvix::HttpClient::PeerConnections
