#include "mail/connection/tcp_stream.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>

namespace mail {
namespace {

// How often a waiting call hands control to the wait hook: often enough for a smooth repaint.
constexpr std::chrono::milliseconds kHookSlice{30};

// The system's words for an errno value; "" for none.
std::string SystemReason(int errorNumber) {
    return errorNumber != 0 ? std::generic_category().message(errorNumber) : std::string();
}

int NewSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
}

} // namespace

TcpStream::~TcpStream() {
    Close();
}

bool TcpStream::Create() {
    Close();
    m_aborted = false;
    ClearFailure();
    // The family is settled when the host name is resolved; an IPv4 socket stands until then,
    // so that a system out of descriptors is reported here, before any network activity.
    const int fd = NewSocket(AF_INET);
    if (fd < 0)
        return Fail(StreamError::Create, SystemReason(errno));
    std::lock_guard lock(m_closeMutex);
    m_fd = fd;
    return true;
}

bool TcpStream::Connect(const std::string& host, std::uint16_t port,
                        std::chrono::milliseconds timeout) {
    if (!IsOpen())
        return Fail(StreamError::Create);
    const auto deadline = NetworkDeadline(timeout);
    std::vector<Address> addresses;
    if (!Resolve(host, port, deadline(), addresses))
        return false;

    int lastError = 0; // why the last address did not answer
    for (const Address& address : addresses) {
        if (m_aborted)
            return Fail(StreamError::Aborted);
        // A fresh socket for every attempt: a failed connect leaves a socket unusable.
        const int fd = NewSocket(address.addr.ss_family);
        if (fd < 0)
            return Fail(StreamError::Create, SystemReason(errno));
        {
            std::lock_guard lock(m_closeMutex);
            ::close(m_fd.exchange(fd));
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.addr), address.len) == 0)
            return true;
        if (errno != EINPROGRESS) {
            lastError = errno;
            continue;
        }
        if (!WaitFor(POLLOUT, deadline())) {
            if (LastError() == StreamError::Aborted || Clock::now() >= deadline())
                return false;
            continue;
        }
        int soError = 0;
        socklen_t soLen = sizeof soError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLen) == 0 && soError == 0) {
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ClearFailure();
            return true;
        }
        lastError = soError != 0 ? soError : errno;
    }
    return Fail(lastError == ECONNREFUSED ? StreamError::Refused : StreamError::Connect,
                SystemReason(lastError));
}

bool TcpStream::Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                        std::vector<Address>& addresses) {
    const auto lookup = std::make_shared<Lookup>();
    {
        std::lock_guard lock(m_closeMutex);
        m_lookup = lookup; // before the abort check below, so that no Abort() goes unseen
    }
    m_resolver(host, port, lookup);
    bool answered = false;
    while (!answered) {
        if (m_aborted)
            break;
        const auto now = Clock::now();
        if (now >= deadline)
            break;
        answered = lookup->WaitUntil(m_hook ? std::min(deadline, now + kHookSlice) : deadline);
        if (!answered && m_hook && !m_aborted)
            deadline += RunHook();
    }
    {
        std::lock_guard lock(m_closeMutex);
        m_lookup.reset(); // a later answer lands in the resolver's share alone
    }
    if (!answered)
        return Fail(m_aborted ? StreamError::Aborted : StreamError::TimedOut);
    addresses = lookup->Addresses();
    return addresses.empty() ? Fail(StreamError::Resolve, lookup->Reason()) : true;
}

// The wait hook's own time is not the network's: a user who answers a question while we wait must
// not turn a reply into a time-out. So the deadline moves on by it, and what has arrived by the
// deadline is still taken (the poll comes before the deadline's test).
bool TcpStream::WaitFor(short events, Clock::time_point deadline) {
    while (true) {
        if (m_aborted)
            return Fail(StreamError::Aborted);
        auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        slice = std::max(slice, std::chrono::milliseconds(0));
        if (m_hook)
            slice = std::min(slice, kHookSlice);
        pollfd pfd{m_fd.load(), events, 0};
        const int rc = ::poll(&pfd, 1, static_cast<int>(slice.count()) + 1);
        if (m_aborted)
            return Fail(StreamError::Aborted);
        if (rc > 0)
            return true; // readiness, error or hang-up: the next call tells which
        if (rc < 0 && errno != EINTR)
            return FailWithErrno(StreamError::Io, errno);
        if (Clock::now() >= deadline)
            return Fail(StreamError::TimedOut);
        if (m_hook)
            deadline += RunHook();
    }
}

TcpStream::Clock::duration TcpStream::RunHook() {
    const auto start = Clock::now();
    m_hook();
    const auto spent = Clock::now() - start;
    m_hookTime += spent;
    return spent;
}

bool TcpStream::Send(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    const auto* p = static_cast<const char*>(data);
    auto deadline = Clock::now() + stall;
    while (len > 0) {
        if (m_aborted)
            return Fail(StreamError::Aborted);
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
        return FailWithErrno(StreamError::Io, n < 0 ? errno : 0);
    }
    return true;
}

ssize_t TcpStream::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    const auto deadline = NetworkDeadline(timeout);
    while (true) {
        if (m_aborted) {
            Fail(StreamError::Aborted);
            return -1;
        }
        const ssize_t n = ::recv(m_fd.load(), buf, len, 0);
        if (n > 0)
            return n;
        if (n == 0) {
            Fail(m_aborted ? StreamError::Aborted : StreamError::Closed);
            return m_aborted ? -1 : 0;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            FailWithErrno(StreamError::Io, errno);
            return -1;
        }
        if (!WaitFor(POLLIN, deadline()))
            return -1;
    }
}

bool TcpStream::SendWithoutWaiting(const void* data, std::size_t len) {
    const int fd = m_fd.load();
    return fd >= 0 && !m_aborted &&
           ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT) == static_cast<ssize_t>(len);
}

bool TcpStream::FailWithErrno(StreamError error, int errorNumber) {
    return m_aborted ? Fail(StreamError::Aborted) : Fail(error, SystemReason(errorNumber));
}

void TcpStream::Close() {
    std::lock_guard lock(m_closeMutex);
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

void TcpStream::Abort() {
    m_aborted = true;
    std::lock_guard lock(m_closeMutex);
    if (m_lookup)
        m_lookup->Wake();
    const int fd = m_fd.load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

} // namespace mail
