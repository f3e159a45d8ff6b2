#include "mail/socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

namespace mail {
namespace {

// How often a waiting call hands control to the wait hook: often enough for a smooth repaint.
constexpr std::chrono::milliseconds kHookSlice{30};

int NewSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
}

struct AddrInfoFree {
    void operator()(addrinfo* ai) const { freeaddrinfo(ai); }
};

} // namespace

CBlockingSocket::~CBlockingSocket() {
    Close();
}

bool CBlockingSocket::Create() {
    Close();
    m_aborted = false;
    m_error = Error::None;
    // The family is settled when the host name is resolved; an IPv4 socket stands until then,
    // so that a system out of descriptors is reported here, before any network activity.
    const int fd = NewSocket(AF_INET);
    if (fd < 0)
        return Fail(Error::Create);
    std::lock_guard lock(m_closeMutex);
    m_fd = fd;
    return true;
}

bool CBlockingSocket::Connect(const std::string& host, std::uint16_t port,
                              std::chrono::milliseconds timeout) {
    if (!IsOpen())
        return Fail(Error::Create);
    const auto deadline = Clock::now() + timeout;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || !found)
        return Fail(Error::Resolve);
    std::unique_ptr<addrinfo, AddrInfoFree> list(found);

    for (addrinfo* ai = list.get(); ai; ai = ai->ai_next) {
        if (m_aborted)
            return Fail(Error::Aborted);
        // A fresh socket for every attempt: a failed connect leaves a socket unusable.
        const int fd = NewSocket(ai->ai_family);
        if (fd < 0)
            return Fail(Error::Create);
        {
            std::lock_guard lock(m_closeMutex);
            ::close(m_fd.exchange(fd));
        }
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0)
            return true;
        if (errno != EINPROGRESS)
            continue;
        if (!WaitFor(POLLOUT, deadline)) {
            if (m_error == Error::Aborted || Clock::now() >= deadline)
                return false;
            continue;
        }
        int soError = 0;
        socklen_t soLen = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) == 0 && soError == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            m_error = Error::None;
            return true;
        }
    }
    return Fail(Error::Connect);
}

bool CBlockingSocket::WaitFor(short events, Clock::time_point deadline) {
    while (true) {
        if (m_aborted)
            return Fail(Error::Aborted);
        const auto now = Clock::now();
        if (now >= deadline)
            return Fail(Error::TimedOut);
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        if (m_hook)
            slice = std::min(slice, kHookSlice);
        pollfd pfd{m_fd.load(), events, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(slice.count()) + 1);
        if (m_aborted)
            return Fail(Error::Aborted);
        if (rc > 0)
            return true; // readiness, error or hang-up: the next call tells which
        if (rc < 0 && errno != EINTR)
            return Fail(Error::Io);
        if (m_hook)
            m_hook();
    }
}

bool CBlockingSocket::Send(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    const auto* p = static_cast<const char*>(data);
    auto deadline = Clock::now() + stall;
    while (len > 0) {
        if (m_aborted)
            return Fail(Error::Aborted);
        const ssize_t n = ::send(m_fd.load(), p, len, MSG_NOSIGNAL);
        if (n > 0) {
            p += n;
            len -= static_cast<std::size_t>(n);
            deadline = Clock::now() + stall; // progress: the limit counts from here
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFor(POLLOUT, deadline))
                return false;
            continue;
        }
        return Fail(m_aborted ? Error::Aborted : Error::Io);
    }
    return true;
}

ssize_t CBlockingSocket::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (m_aborted) {
            m_error = Error::Aborted;
            return -1;
        }
        const ssize_t n = ::recv(m_fd.load(), buf, len, 0);
        if (n > 0)
            return n;
        if (n == 0) {
            m_error = m_aborted ? Error::Aborted : Error::Closed;
            return m_aborted ? -1 : 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            m_error = m_aborted ? Error::Aborted : Error::Io;
            return -1;
        }
        if (!WaitFor(POLLIN, deadline))
            return -1;
    }
}

void CBlockingSocket::Close() {
    std::lock_guard lock(m_closeMutex);
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

void CBlockingSocket::Abort() {
    m_aborted = true;
    std::lock_guard lock(m_closeMutex);
    const int fd = m_fd.load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

} // namespace mail
