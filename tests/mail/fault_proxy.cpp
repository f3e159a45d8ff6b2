#include "fault_proxy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>
#include <vector>

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
    : serverPort_(serverPort), fault_(fault), cutAt_(cutAt), listener_(1, kReceiveBuffer) {
    kickFd_ = UniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!kickFd_)
        ThrowErrno("eventfd");
    thread_ = std::thread([this] { Run(); });
}

FaultProxy::~FaultProxy() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    listener_.Stop();
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
        UniqueFd client = listener_.Accept();
        if (client) {
            const UniqueFd server = ConnectToLoopback(serverPort_);
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
    // One side's turn: what it sent goes to `received`, what waits for it in `pending` goes
    // out; once it is gone (eof), nothing more waits for it.
    const auto serve = [&](int fd, short events, short revents, bool& eof, std::string& pending,
                           auto received) {
        if (revents == 0)
            return;
        if (events & POLLIN) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n > 0)
                received(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
            else if (n == 0 || (errno != EAGAIN && errno != EINTR))
                eof = true;
        }
        if (!eof && (revents & POLLOUT) && !SendSome(fd, pending))
            eof = true;
        if (eof)
            pending.clear();
    };
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
        serve(clientFd, clientEvents, fds[1].revents, clientEof, toClient_,
              [this](std::string_view bytes) { FromClient(bytes); });
        serve(serverFd, serverEvents, fds[2].revents, serverEof, toServer_,
              [this](std::string_view bytes) { toClient_.append(bytes); });
    }
}

} // namespace vtest
