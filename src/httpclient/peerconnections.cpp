#include "peerconnections.h"

#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace Orvix::HttpClient::PeerConnections {

QVector<Connection> list(const QList<QHostAddress> &addresses, quint16 port)
{
    QVector<Connection> found;
    DIR *descriptors = ::opendir("/proc/self/fd");
    if (!descriptors)
        return found;
    while (const dirent *entry = ::readdir(descriptors)) {
        const int descriptor = std::atoi(entry->d_name);
        sockaddr_storage peer = {};
        socklen_t length = sizeof(peer);
        if (entry->d_name[0] == '.' || ::getpeername(descriptor, reinterpret_cast<sockaddr *>(&peer), &length) != 0)
            continue;
        const QHostAddress address(reinterpret_cast<const sockaddr *>(&peer));
        const quint16 peerPort = ntohs(peer.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 &>(peer).sin6_port
                                                                  : reinterpret_cast<sockaddr_in &>(peer).sin_port);
        const bool named = std::any_of(addresses.cbegin(), addresses.cend(), [&address](const QHostAddress &wanted) {
            return wanted.isEqual(address, QHostAddress::TolerantConversion);
        });
        tcp_info info = {};
        socklen_t infoLength = sizeof(info);
        int unread = 0;
        if (peerPort != port || !named
            || ::getsockopt(descriptor, IPPROTO_TCP, TCP_INFO, &info, &infoLength) != 0
            || infoLength < offsetof(tcp_info, tcpi_bytes_received) + sizeof(info.tcpi_bytes_received)
            || ::ioctl(descriptor, FIONREAD, &unread) != 0)
            continue;
        found.append({descriptor, info.tcpi_bytes_received - quint64(qMax(0, unread))});
    }
    ::closedir(descriptors);
    return found;
}

void shutDown(int descriptor)
{
    ::shutdown(descriptor, SHUT_RDWR);
}

} // namespace Orvix::HttpClient::PeerConnections
