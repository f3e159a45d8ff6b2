#pragma once
// A blocking TCP stream socket over POSIX sockets: create, connect by host name (IPv4 or IPv6),
// send every byte, receive once, close. Every wait, the name lookup's included, is bounded by a
// time limit, can be woken from another thread by Abort(), and, if a wait hook is set, calls it
// every few tens of milliseconds so that a user interface can repaint while its thread waits here.
//
// Built with VELLIPOST_TLS, StartTls() turns a connected socket into a TLS client: from then on
// Send and Receive carry their bytes through TLS with the same limits, hook and abort, until Close.
#include "mail/resolver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace mail {

#if VELLIPOST_TLS
class TlsStream;
#endif

class CBlockingSocket {
public:
    using Clock = std::chrono::steady_clock;
    using WaitHook = std::function<void()>;

    enum class Error { None, Create, Resolve, Connect, TimedOut, Closed, Aborted, Io };

    CBlockingSocket(); // out of line: the TLS members are incomplete types here
    ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    // Makes a new stream socket. False if the system refuses one (for example, out of descriptors).
    bool Create();
    // Resolves host and connects to the first address that answers, all within timeout: a name
    // server that does not answer in time fails the connect with Error::TimedOut.
    bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // Hands over all len bytes. False on error, on abort, or if the peer takes nothing for
    // `stall` (a server that stopped reading must not hang us).
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall);
    // One receive of at most len bytes: the count, 0 if the peer closed, -1 on error, time-out or
    // abort (see LastError()).
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout);
    // Releases the socket; Create() may be called again afterwards.
    void Close();
    // Safe from any thread: shuts the connection down so that a blocked Connect, Send or Receive
    // returns at once with Error::Aborted. Close() must still be called by the owner.
    void Abort();

    bool IsOpen() const { return m_fd.load() >= 0; }
    Error LastError() const { return m_error; }
    void SetWaitHook(WaitHook hook) { m_hook = std::move(hook); }
    // How Connect looks host names up; the system's resolver unless set.
    void SetResolver(Resolver resolver) { m_resolver = std::move(resolver); }

#if VELLIPOST_TLS
    // Implicit TLS on the connected socket: the handshake within timeout, the certificate checked
    // against the trusted CAs and against host. False if anything fails; the socket then stays in
    // TLS mode, so nothing can be sent in clear on it, until Close().
    bool StartTls(const std::string& host, std::chrono::milliseconds timeout);
    // Why the last StartTls failed ("" if it did not); kept until the next Create().
    const std::string& TlsFailureText() const {
        return m_tlsFailure;
    }
    // Trusts the CA certificates in this PEM file instead of the system's store. For tests only:
    // the program always uses the system's store.
    void SetTrustedCaFileForTesting(std::string path) {
        m_caFile = std::move(path);
    }
#endif

private:
    // Send and Receive on the descriptor itself.
    bool SendRaw(const void* data, std::size_t len, std::chrono::milliseconds stall);
    ssize_t ReceiveRaw(void* buf, std::size_t len, std::chrono::milliseconds timeout);
#if VELLIPOST_TLS
    bool SendTls(const void* data, std::size_t len, std::chrono::milliseconds stall);
    ssize_t ReceiveTls(void* buf, std::size_t len, std::chrono::milliseconds timeout);
    // Sends everything the TLS engine has produced; the stall limit as for Send.
    bool FlushTls(std::chrono::milliseconds stall);
#endif
    // The addresses of host, looked up within deadline; false on time-out, abort or no address.
    bool Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                 std::vector<Address>& addresses);
    // Waits for events on the socket until deadline; false on time-out or abort.
    bool WaitFor(short events, Clock::time_point deadline);
    bool Fail(Error e) {
        m_error = e;
        return false;
    }

    std::atomic<int> m_fd{-1};
    std::mutex
        m_closeMutex; // so that Abort() never shuts down a descriptor number reused elsewhere
    std::shared_ptr<Lookup> m_lookup; // the lookup Connect waits for, so that Abort() can wake it
    std::atomic<bool> m_aborted{false};
    Error m_error = Error::None;
    WaitHook m_hook;
    Resolver m_resolver = ResolveWithSystem;
#if VELLIPOST_TLS
    // Touched only by the thread that owns the session; Abort() reaches it through the descriptor.
    bool m_tlsMode = false; // from StartTls to Close: never plain text, even if TLS failed
    std::unique_ptr<TlsStream> m_tls;
    std::unique_ptr<char[]> m_tlsBuffer; // encrypted bytes on their way in or out
    std::string m_caFile;
    std::string m_tlsFailure;
#endif
};

} // namespace mail
