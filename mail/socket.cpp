#include "mail/socket.h"

#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#if VELLIPOST_TLS
#include "mail/tls_stream.h"
#endif

namespace mail {
namespace {

// How often a waiting call hands control to the wait hook: often enough for a smooth repaint.
constexpr std::chrono::milliseconds kHookSlice{30};

#if VELLIPOST_TLS
// Plain text handed to TLS at a time: one full record, so that a large send never holds more
// than one record's worth of encrypted bytes.
constexpr std::size_t kTlsPlainPiece = 16384;
// Room for the largest TLS record with its framing.
constexpr std::size_t kTlsBufferSize = 16384 + 2048;

std::chrono::milliseconds TimeLeft(CBlockingSocket::Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - CBlockingSocket::Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}
#endif

int NewSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
}

} // namespace

CBlockingSocket::CBlockingSocket() = default;

CBlockingSocket::~CBlockingSocket() {
    Close();
}

bool CBlockingSocket::Create() {
    Close();
    m_aborted = false;
    m_error = Error::None;
#if VELLIPOST_TLS
    m_tlsFailure.clear();
#endif
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
    std::vector<Address> addresses;
    if (!Resolve(host, port, deadline, addresses))
        return false;

    for (const Address& address : addresses) {
        if (m_aborted)
            return Fail(Error::Aborted);
        // A fresh socket for every attempt: a failed connect leaves a socket unusable.
        const int fd = NewSocket(address.addr.ss_family);
        if (fd < 0)
            return Fail(Error::Create);
        {
            std::lock_guard lock(m_closeMutex);
            ::close(m_fd.exchange(fd));
        }
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.addr), address.len) == 0)
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

bool CBlockingSocket::Resolve(const std::string& host, std::uint16_t port,
                              Clock::time_point deadline, std::vector<Address>& addresses) {
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
            m_hook();
    }
    {
        std::lock_guard lock(m_closeMutex);
        m_lookup.reset(); // a later answer lands in the resolver's share alone
    }
    if (!answered)
        return Fail(m_aborted ? Error::Aborted : Error::TimedOut);
    addresses = lookup->Addresses();
    return addresses.empty() ? Fail(Error::Resolve) : true;
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
#if VELLIPOST_TLS
    if (m_tlsMode)
        return SendTls(data, len, stall);
#endif
    return SendRaw(data, len, stall);
}

ssize_t CBlockingSocket::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
#if VELLIPOST_TLS
    if (m_tlsMode)
        return ReceiveTls(buf, len, timeout);
#endif
    return ReceiveRaw(buf, len, timeout);
}

bool CBlockingSocket::SendRaw(const void* data, std::size_t len, std::chrono::milliseconds stall) {
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

ssize_t CBlockingSocket::ReceiveRaw(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
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

#if VELLIPOST_TLS
bool CBlockingSocket::StartTls(const std::string& host, std::chrono::milliseconds timeout) {
    if (!IsOpen())
        return Fail(Error::Create);
    const auto deadline = Clock::now() + timeout;
    m_tlsFailure.clear();
    m_tlsMode = true;
    m_tlsBuffer = std::make_unique<char[]>(kTlsBufferSize);
    m_tls = TlsStream::Open(host, m_caFile, m_tlsFailure);
    if (!m_tls)
        return Fail(Error::Io);
    while (true) {
        const TlsStream::Status status = m_tls->Handshake();
        // Also after a failure: the engine's alert tells the server why.
        const bool sent = FlushTls(TimeLeft(deadline));
        if (status == TlsStream::Status::Failed) {
            m_tlsFailure = m_tls->FailureText();
            return Fail(Error::Io);
        }
        if (!sent) {
            m_tlsFailure = "the handshake could not be sent";
            return false;
        }
        if (status == TlsStream::Status::Ok)
            return true;
        const ssize_t n = ReceiveRaw(m_tlsBuffer.get(), kTlsBufferSize, TimeLeft(deadline));
        if (n <= 0) {
            m_tlsFailure = n == 0 ? "the server closed the connection during the handshake"
                                  : "no complete handshake from the server";
            return false;
        }
        m_tls->Feed(m_tlsBuffer.get(), static_cast<std::size_t>(n));
    }
}

bool CBlockingSocket::SendTls(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    if (!m_tls)
        return Fail(Error::Io);
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        if (m_aborted)
            return Fail(Error::Aborted);
        const std::size_t piece = std::min(len, kTlsPlainPiece);
        if (!m_tls->Write(p, piece))
            return Fail(Error::Io);
        if (!FlushTls(stall))
            return false;
        p += piece;
        len -= piece;
    }
    return true;
}

ssize_t CBlockingSocket::ReceiveTls(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    if (!m_tls) {
        m_error = Error::Io;
        return -1;
    }
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (m_aborted) {
            m_error = Error::Aborted;
            return -1;
        }
        std::size_t got = 0;
        const TlsStream::Status status = m_tls->Read(buf, len, got);
        // Reading may have produced an answer for the server (an alert, a key update).
        if (!FlushTls(TimeLeft(deadline)))
            return -1;
        switch (status) {
        case TlsStream::Status::Ok:
            return static_cast<ssize_t>(got);
        case TlsStream::Status::Closed:
            m_error = Error::Closed;
            return 0;
        case TlsStream::Status::Failed:
            m_error = Error::Io;
            return -1;
        case TlsStream::Status::WantRead:
            break;
        }
        // A server that closes without close_notify is closed all the same: an SMTP reply is
        // complete only with its last line, so nothing cut short can pass for whole.
        const ssize_t n = ReceiveRaw(m_tlsBuffer.get(), kTlsBufferSize, TimeLeft(deadline));
        if (n <= 0)
            return n;
        m_tls->Feed(m_tlsBuffer.get(), static_cast<std::size_t>(n));
    }
}

bool CBlockingSocket::FlushTls(std::chrono::milliseconds stall) {
    while (const std::size_t n = m_tls->TakeOutput(m_tlsBuffer.get(), kTlsBufferSize)) {
        if (!SendRaw(m_tlsBuffer.get(), n, stall))
            return false;
    }
    return true;
}
#endif

void CBlockingSocket::Close() {
#if VELLIPOST_TLS
    if (m_tls) {
        // close_notify, at most one attempt and no waiting: closing must never block.
        m_tls->Shutdown();
        const int fd = m_fd.load();
        while (const std::size_t n = m_tls->TakeOutput(m_tlsBuffer.get(), kTlsBufferSize)) {
            if (fd < 0 || m_aborted ||
                ::send(fd, m_tlsBuffer.get(), n, MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                break;
        }
    }
    m_tls.reset();
    m_tlsBuffer.reset();
    m_tlsMode = false;
#endif
    std::lock_guard lock(m_closeMutex);
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

void CBlockingSocket::Abort() {
    m_aborted = true;
    std::lock_guard lock(m_closeMutex);
    if (m_lookup)
        m_lookup->Wake();
    const int fd = m_fd.load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
}

} // namespace mail
