#pragma once
// A blocking TCP stream socket over POSIX sockets: create, connect by host name (IPv4 or IPv6),
// send every byte, receive once, close. Every wait is bounded by a time limit, can be woken from
// another thread by Abort(), and, if a wait hook is set, calls it every few tens of milliseconds so
// that a user interface can repaint while its thread waits here.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>

namespace mail {

class CBlockingSocket {
public:
    using Clock = std::chrono::steady_clock;
    using WaitHook = std::function<void()>;

    enum class Error { None, Create, Resolve, Connect, TimedOut, Closed, Aborted, Io };

    CBlockingSocket() = default;
    ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    // Makes a new stream socket. False if the system refuses one (for example, out of descriptors).
    bool Create();
    // Resolves host and connects to the first address that answers within timeout.
    bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // Hands over all len bytes. False on error, on abort, or if the peer takes nothing for
    // `stall` (a server that stopped reading must not hang us).
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall);
    // One receive of at most len bytes: the count, 0 if the peer closed, -1 on error, time-out or
    // abort (see LastError()).
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout);
    // Releases the socket; Create() may be called again afterwards.
    void Close();
    // Safe from any thread: shuts the connection down so that a blocked Send or Receive returns
    // at once with Error::Aborted. Close() must still be called by the owner.
    void Abort();

    bool IsOpen() const { return m_fd.load() >= 0; }
    Error LastError() const { return m_error; }
    void SetWaitHook(WaitHook hook) { m_hook = std::move(hook); }

private:
    // Waits for events on the socket until deadline; false on time-out or abort.
    bool WaitFor(short events, Clock::time_point deadline);
    bool Fail(Error e) {
        m_error = e;
        return false;
    }

    std::atomic<int> m_fd{-1};
    std::mutex
        m_closeMutex; // so that Abort() never shuts down a descriptor number reused elsewhere
    std::atomic<bool> m_aborted{false};
    Error m_error = Error::None;
    WaitHook m_hook;
};

} // namespace mail
