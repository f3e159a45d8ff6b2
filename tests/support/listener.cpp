#include "listener.h"

#include <cerrno>
#include <cstdint>
#include <system_error>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace vtest {
namespace {

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

} // namespace

Listener::Listener(int backlog, int receiveBuffer) {
    stopFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stopFd_)
        ThrowErrno("eventfd");
    listenFd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenFd_)
        ThrowErrno("socket");
    if (receiveBuffer > 0)
        ::setsockopt(listenFd_.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in address = Loopback(0);
    if (::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ThrowErrno("bind");
    if (::listen(listenFd_.get(), backlog) != 0)
        ThrowErrno("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        ThrowErrno("getsockname");
    port_ = ntohs(address.sin_port);
}

UniqueFd Listener::Accept() {
    pollfd fds[2] = {{stopFd_.get(), POLLIN, 0}, {listenFd_.get(), POLLIN, 0}};
    while (true) {
        const int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowErrno("poll");
        if (fds[0].revents != 0)
            return UniqueFd();
        UniqueFd fd(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (fd)
            return fd;
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
            ThrowErrno("accept4");
    }
}

void Listener::Stop() {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of overflow.
    [[maybe_unused]] const ssize_t written = ::write(stopFd_.get(), &one, sizeof one);
}

UniqueFd ConnectToLoopback(std::uint16_t port, int sendBuffer) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd && sendBuffer > 0)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    const sockaddr_in address = Loopback(port);
    if (!fd ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        ThrowErrno("connect to 127.0.0.1");
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    return fd;
}

} // namespace vtest
