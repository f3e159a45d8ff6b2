#include "fault_proxy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vtest {
namespace {

// Small, so that a held client has little in flight beyond its own send buffer; setting it also
// stops the kernel from growing it.
constexpr int kReceiveBuffer = 64 * 1024;
constexpr std::size_t kReadBlock = 256 * 1024;

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

// Sends what it can without blocking; false if the peer is gone.
bool SendSome(int fd, std::string& pending) {
    const ssize_t n = ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
        pending.erase(0, static_cast<std::size_t>(n));
        return true;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
}

} // namespace

FaultProxy::FaultProxy(std::uint16_t serverPort, Fault fault, std::uint64_t cutAt)
    : serverPort_(serverPort), fault_(fault), cutAt_(cutAt) {
    kickFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!kickFd_)
        ThrowErrno("eventfd");
    listenFd_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!listenFd_)
        ThrowErrno("socket");
    ::setsockopt(listenFd_.get(), SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ThrowErrno("bind");
    if (::listen(listenFd_.get(), 1) != 0)
        ThrowErrno("listen");
    socklen_t length = sizeof address;
    if (::getsockname(listenFd_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        ThrowErrno("getsockname");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

FaultProxy::~FaultProxy() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    Kick();
    thread_.join();
}

void FaultProxy::Kick() {
    const std::uint64_t one = 1;
    // An eventfd write of 1 cannot fail short of overflow.
    [[maybe_unused]] const ssize_t written = ::write(kickFd_.get(), &one, sizeof one);
}

bool FaultProxy::WaitForCut(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return cut_; });
}

void FaultProxy::Resume() {
    {
        std::lock_guard lock(mutex_);
        resume_ = true;
    }
    Kick();
}

bool FaultProxy::WaitForEnd(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return ended_; });
}

void FaultProxy::Run() {
    try {
        UniqueFd client;
        while (!client) {
            pollfd fds[2] = {{kickFd_.get(), POLLIN, 0}, {listenFd_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                ThrowErrno("poll");
            if (fds[0].revents != 0) {
                std::uint64_t count;
                [[maybe_unused]] const ssize_t got = ::read(kickFd_.get(), &count, sizeof count);
                std::lock_guard lock(mutex_);
                if (stop_)
                    break;
            }
            if (fds[1].revents != 0)
                client = UniqueFd(
                    ::accept4(listenFd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        }
        if (client) {
            UniqueFd server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(serverPort_);
            if (!server ||
                ::connect(server.get(), reinterpret_cast<sockaddr*>(&address), sizeof address))
                ThrowErrno("connect to the scripted server");
            ::fcntl(server.get(), F_SETFL, ::fcntl(server.get(), F_GETFL) | O_NONBLOCK);
            Relay(client, server.get());
        }
    } catch (const std::exception& e) {
        // A relay that dies silently would only show up as a confusing time-out.
        std::cerr << "FaultProxy: " << e.what() << '\n';
    }
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
}

void FaultProxy::FromClient(std::string_view bytes) {
    while (!bytes.empty() && !closing_) {
        if (holding_) {
            held_.append(bytes);
            return;
        }
        if (!inData_) {
            const auto lf = bytes.find('\n');
            const std::size_t take = lf == std::string_view::npos ? bytes.size() : lf + 1;
            line_.append(bytes.substr(0, take));
            toServer_.append(bytes.substr(0, take));
            bytes.remove_prefix(take);
            if (lf != std::string_view::npos) {
                inData_ = line_ == "DATA\r\n";
                line_.clear();
            }
            continue;
        }
        const std::size_t take = cutDone_ ? bytes.size()
                                          : static_cast<std::size_t>(std::min<std::uint64_t>(
                                                bytes.size(), cutAt_ - dataBytes_));
        toServer_.append(bytes.substr(0, take));
        dataBytes_ += take;
        bytes.remove_prefix(take);
        if (!cutDone_ && dataBytes_ == cutAt_)
            Cut();
    }
    // Past the cut of a closed connection the bytes are lost, as on a real network.
}

void FaultProxy::Cut() {
    cutDone_ = true;
    if (fault_ == Fault::Close)
        closing_ = true;
    else
        holding_ = true;
    {
        std::lock_guard lock(mutex_);
        cut_ = true;
    }
    changed_.notify_all();
}

// Relays both ways until either side closes (the SMTP client never half-closes), or until the
// cut of a Close fault has been flushed to the server.
void FaultProxy::Relay(UniqueFd& client, int serverFd) {
    std::vector<char> buffer(kReadBlock);
    bool clientEof = false;
    bool serverEof = false;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stop_)
                return;
            if (resume_ && holding_) {
                holding_ = false;
                toServer_ += held_;
                held_.clear();
            }
        }
        if (closing_ && client) {
            // As a server that closes: with unread bytes the kernel answers with a reset, and
            // the client's next send or receive fails.
            client = UniqueFd();
            clientEof = true;
            toClient_.clear();
        }
        if (clientEof && toServer_.empty())
            return;
        if (serverEof && toClient_.empty())
            return;

        short clientEvents = 0;
        if (!clientEof) {
            if (!holding_ && toServer_.empty())
                clientEvents |= POLLIN;
            if (!toClient_.empty())
                clientEvents |= POLLOUT;
        }
        short serverEvents = 0;
        if (!serverEof && toClient_.empty())
            serverEvents |= POLLIN;
        if (!toServer_.empty())
            serverEvents |= POLLOUT;
        // A descriptor with nothing to wait for is left out: its hang-up would wake poll at once.
        const int clientFd = client.get();
        pollfd fds[3] = {{kickFd_.get(), POLLIN, 0},
                         {clientEvents ? clientFd : -1, clientEvents, 0},
                         {serverEvents ? serverFd : -1, serverEvents, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            ThrowErrno("poll");
        }
        if (fds[0].revents != 0) {
            std::uint64_t count;
            [[maybe_unused]] const ssize_t got = ::read(kickFd_.get(), &count, sizeof count);
        }
        if (fds[1].revents != 0) {
            if (clientEvents & POLLIN) {
                const ssize_t n = ::recv(clientFd, buffer.data(), buffer.size(), 0);
                if (n > 0)
                    FromClient(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    clientEof = true;
            }
            if (!clientEof && (fds[1].revents & POLLOUT) && !SendSome(clientFd, toClient_))
                clientEof = true;
            if (clientEof)
                toClient_.clear();
        }
        if (fds[2].revents != 0) {
            if (serverEvents & POLLIN) {
                const ssize_t n = ::recv(serverFd, buffer.data(), buffer.size(), 0);
                if (n > 0)
                    toClient_.append(buffer.data(), static_cast<std::size_t>(n));
                else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                    serverEof = true;
            }
            if (!serverEof && (fds[2].revents & POLLOUT) && !SendSome(serverFd, toServer_))
                serverEof = true;
            if (serverEof)
                toServer_.clear();
        }
    }
}

} // namespace vtest
