#pragma once
// The session's connection: a blocking socket that connects by host name, opens the build's
// transport on the connection (TLS in the TLS build, see transport.h), sends every byte, receives
// once and closes. Every wait, the name lookup's included, is bounded by a time limit, can be woken
// from another thread by Abort(), and, if a wait hook is set, calls it every few tens of
// milliseconds so that a user interface can repaint while its thread waits here.
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
    ~CBlockingSocket();
    CBlockingSocket(const CBlockingSocket&) = delete;
    CBlockingSocket& operator=(const CBlockingSocket&) = delete;

    // Makes a new stream socket. False if the system refuses one (for example, out of descriptors).
    bool Create();
    // Resolves host and connects to the first address that answers, all within timeout: a name
    // server that does not answer in time fails the connect with Error::TimedOut.
    bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // Opens the build's transport on the connected socket, within timeout: nothing to do in the
    // plain build; in the TLS build the handshake, with the certificate checked against the
    // trusted CAs and against host. False if that fails; the socket then sends and receives
    // nothing, so not a byte can go out in clear, until Close().
    bool OpenStream(const std::string& host, std::chrono::milliseconds timeout);
    // Hands over all len bytes. False on error, on abort, or if the peer takes nothing for
    // `stall` (a server that stopped reading must not hang us).
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall);
    // One receive of at most len bytes: the count, 0 if the peer closed, -1 on error, time-out or
    // abort (see LastError()).
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout);
    // Releases the socket; Create() may be called again afterwards.
    void Close();
    // Safe from any thread: shuts the connection down so that a blocked Connect, OpenStream, Send
    // or Receive returns at once with Error::Aborted. Close() must still be called by the owner.
    void Abort() { m_tcp.Abort(); }

    bool IsOpen() const { return m_tcp.IsOpen(); }
    // Why the last failed call failed, and the system's own words for it ("" when it gave none);
    // kept until the next failure or Create().
    Error LastError() const { return m_error; }
    const std::string& FailureReason() const { return m_reason; }
    void SetWaitHook(WaitHook hook) { m_tcp.SetWaitHook(std::move(hook)); }
    // How Connect looks host names up; the system's resolver unless set.
    void SetResolver(Resolver resolver) { m_tcp.SetResolver(std::move(resolver)); }
    // Trusts the CA certificates in this PEM file instead of the system's store, where the
    // transport checks a certificate. For tests only: the program always uses the system's store.
    void SetTrustedCaFileForTesting(std::string path) { m_caFile = std::move(path); }

private:
    // ok, or false with the failure of the layer that failed kept as the socket's.
    bool Took(bool ok, const ByteStream& layer);

    const std::unique_ptr<ByteStream> m_stream; // the build's transport, for the socket's life
    TcpStream& m_tcp;                           // the connection beneath it
    Error m_error = Error::None;
    std::string m_reason;
    std::string m_caFile;
};

} // namespace mail
