// Kept free of Qt headers: <linux/tcp.h> and Qt's network headers must not meet.
#include "net/WireProgress.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

#if defined(__linux__)
#include <arpa/inet.h>
#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <memory>
#endif

WireProgress::WireProgress(std::uint16_t peerPort)
    : port(peerPort)
{
}

#if defined(__linux__)

namespace {

// The kernel's TCP_SYN_SENT, which <netinet/tcp.h> names but cannot be included beside <linux/tcp.h>.
const unsigned char tcp_syn_sent = 2;

// The peer port of a connected TCP socket (IPv4, IPv6 and IPv4-mapped alike), or 0.
std::uint16_t peerPortOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

// Nagle off; set again when it is set already, which costs one call. Fails,
// harmlessly, on a socket that is not TCP.
void noDelay(int fd)
{
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Calls visit for each socket among this process's descriptors, with its status.
template <typename Visit>
void forEachSocket(Visit visit)
{
    std::unique_ptr<DIR, int (*)(DIR*)> directory(opendir("/proc/self/fd"), closedir);
    if (!directory)
        return;
    const int own = dirfd(directory.get());
    while (const dirent* entry = readdir(directory.get())) {
        char* end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        struct stat info {};
        if (end != entry->d_name && *end == '\0' && fd != own && fstat(int(fd), &info) == 0 && S_ISSOCK(info.st_mode))
            visit(int(fd), info);
    }
}

}

bool WireProgress::sendWithoutDelay()
{
    bool toPeer = false;
    forEachSocket([this, &toPeer](int fd, const struct stat&) {
        noDelay(fd);
        toPeer = toPeer || peerPortOf(fd) == port;
    });
    return toPeer;
}

void WireProgress::shutDown() const
{
    forEachSocket([this](int fd, const struct stat&) {
        if (peerPortOf(fd) == port)
            shutdown(fd, SHUT_RDWR);
    });
}

bool WireProgress::advanced()
{
    std::map<unsigned long, std::uint64_t> seen;
    std::map<unsigned long, Counts> countsNow;
    bool moved = false;
    opening = false;
    forEachSocket([&](int fd, const struct stat& before) {
        noDelay(fd);
        tcp_info info{};
        socklen_t length = sizeof info;
        if (peerPortOf(fd) != port) {
            if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 && info.tcpi_state == tcp_syn_sent)
                opening = true;
            return;
        }
        if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0
            || length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
            return;
        // The descriptor may have been closed and reused meanwhile.
        struct stat after {};
        if (fstat(fd, &after) != 0 || after.st_ino != before.st_ino)
            return;
        // Either way counts: a body going out, or a reply (even its headers) coming in.
        const std::uint64_t total = info.tcpi_bytes_acked + info.tcpi_bytes_received;
        seen[before.st_ino] = total;
        const Counts counts{info.tcpi_bytes_received, info.tcpi_data_segs_out, info.tcpi_data_segs_in};
        countsNow[before.st_ino] = counts;
        if (!started)
            atStart[before.st_ino] = counts;
        const auto known = movedByInode.find(before.st_ino);
        if (known == movedByInode.end() ? total > 1 : total > known->second)
            moved = true;
    });
    movedByInode.swap(seen);
    for (const auto& connection : countsNow)
        byInode[connection.first] = connection.second;
    const Counts now = since();
    exchangeCount += std::min(now.segmentsSent - atLastCall.segmentsSent, now.segmentsReceived - atLastCall.segmentsReceived);
    atLastCall = now;
    started = true;
    return moved;
}

#else

bool WireProgress::advanced()
{
    return false;
}

bool WireProgress::sendWithoutDelay()
{
    return false;
}

void WireProgress::shutDown() const
{
}

#endif

WireProgress::Counts WireProgress::since() const
{
    Counts total;
    for (const auto& connection : byInode) {
        const auto start = atStart.find(connection.first);
        const Counts before = start == atStart.end() ? Counts() : start->second;
        total.received += connection.second.received - before.received;
        total.segmentsSent += connection.second.segmentsSent - before.segmentsSent;
        total.segmentsReceived += connection.second.segmentsReceived - before.segmentsReceived;
    }
    return total;
}

std::uint64_t WireProgress::received() const
{
    return since().received;
}

bool WireProgress::connected() const
{
    return opening || !movedByInode.empty();
}
