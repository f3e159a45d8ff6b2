#pragma once
// The session's connection: a blocking socket that connects by host name, sends every byte,
// receives once and closes, and can start TLS on itself at any point of a session (implicit TLS
// right after the connect, or STARTTLS after a command). It owns the TCP stream and, once TLS has
// started, the TLS stream over it; every call then goes through TLS until Close(). Every wait, the
// name lookup's included, is bounded by a time limit, can be woken from another thread by Abort(),
// and, if a wait hook is set, calls it every few tens of milliseconds so that a user interface can
// repaint while its thread waits here.
#include "mail/connection/byte_stream.h"
#include "mail/connection/resolver.h"
#include "mail/connection/tcp_stream.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>

namespace mail {

class CBlockingSocket {
public:
    using Clock = TcpStream::Clock;
    using WaitHook = TcpStream::WaitHook;
    using Error = StreamError;

    CBlockingSocket();
    ~CBlockingSocket(); // out of line: the TLS stream is an incomplete type here
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    // Makes a new stream socket. False if the system refuses one (for example, out of descriptors).
    bool Create();
    // Resolves host and connects to the first address that answers, all within timeout: a name
    // server that does not answer in time fails the connect with Error::TimedOut.
    bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // The TLS handshake on the connection within timeout, the certificate checked against the
    // trusted CAs and against host. From here on every byte goes through TLS; if the handshake
    // fails (Error::Secure with OpenSSL's reason, or the TCP stream's failure), nothing more is
    // sent or received until Close(), so not a byte can go out in clear.
    bool StartTls(const std::string& host, std::chrono::milliseconds timeout);
    bool IsSecure() const { return m_tls != nullptr; }
    // Hands over all len bytes. False on error, on abort, or if the peer takes nothing for
    // `stall` (a server that stopped reading must not hang us).
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall);
    // One receive of at most len bytes: the count, 0 if the peer closed, -1 on error, time-out or
    // abort (see LastError()).
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout);
    // Releases the socket and ends TLS; Create() may be called again afterwards.
    void Close();
    // Safe from any thread: shuts the connection down so that a blocked call returns at once with
    // Error::Aborted. Close() must still be called by the owner.
    void Abort() { m_tcp.Abort(); }

    bool IsOpen() const { return m_tcp.IsOpen(); }
    // Why the last failed call failed, and the system's own words for it ("" when it gave none);
    // kept until the next failure or Create().
    Error LastError() const { return Stream().LastError(); }
    const std::string& FailureReason() const { return Stream().FailureReason(); }
    void SetWaitHook(WaitHook hook) { m_tcp.SetWaitHook(std::move(hook)); }
    // The deadline of a wait over several calls: now + timeout, moved on by the wait hook's time.
    TcpStream::Deadline NetworkDeadline(std::chrono::milliseconds timeout) const {
        return m_tcp.NetworkDeadline(timeout);
    }
    // How Connect looks host names up; the system's resolver unless set.
    void SetResolver(Resolver resolver) { m_tcp.SetResolver(std::move(resolver)); }
    // Trusts the CA certificates in this PEM file instead of the system's store. For tests only:
    // the program always uses the system's store.
    void SetTrustedCaFileForTesting(std::string path) { m_caFile = std::move(path); }

private:
    const ByteStream& Stream() const;
    ByteStream& Stream();

    TcpStream m_tcp;
    std::unique_ptr<class TlsStream> m_tls; // from StartTls() to Close()
    std::string m_caFile;
};

} // namespace mail
