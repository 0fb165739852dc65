#include "endpoint_sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace unitsim {

std::string errnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

std::string endpointText(const sockaddr_in &addr)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}

std::variant<net::UniqueFd, std::string> bindSocket(
        int type, const std::string &address, std::uint16_t port, bool reuseAddress)
{
    const char *kind = type == SOCK_STREAM ? "tcp" : "udp";
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1)
        return std::string("not an IPv4 address: ") + address;
    net::UniqueFd fd(::socket(AF_INET, type | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return errnoText(std::string("socket ") + kind);
    if (reuseAddress) {
        int one = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    }
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        return errnoText(std::string("bind ") + kind + " " + address + ":" + std::to_string(port));
    if (type == SOCK_STREAM && ::listen(fd.get(), 16) != 0)
        return errnoText("listen " + address + ":" + std::to_string(port));
    if (type == SOCK_STREAM)
        stampArrivals(fd.get());
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL, 0) | O_NONBLOCK);
    return fd;
}

Accepted acceptClient(int listenFd)
{
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    Accepted accepted;
    accepted.fd.reset(::accept4(
            listenFd, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (accepted.fd.valid()) {
        accepted.peer = endpointText(peer);
        stampArrivals(accepted.fd.get());
    }
    return accepted;
}

void stampArrivals(int fd)
{
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);
}

Received receiveStamped(int fd, void *buffer, std::size_t size)
{
    iovec iov{ buffer, size };
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec)) * 2];
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    Received received;
    received.bytes = ::recvmsg(fd, &msg, 0);
    if (received.bytes <= 0)
        return received;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec at{};
        std::memcpy(&at, CMSG_DATA(c), sizeof at);
        received.arrivedUs = std::int64_t(at.tv_sec) * 1000000 + at.tv_nsec / 1000;
    }
    return received;
}

} // namespace unitsim
