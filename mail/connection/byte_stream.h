#pragma once
// What a session talks over: a stream of bytes on one TCP connection, blocking, with a time limit
// on every wait: the TCP stream itself, or a TLS stream on top of it (see connection.h).
//
// Every failed call leaves its cause in LastError() and the system's own words for it, if it gave
// any, in FailureReason().
#include <chrono>
#include <cstddef>
#include <string>
#include <sys/types.h>
#include <utility>

namespace mail {

// Why a call on a stream failed.
enum class StreamError {
    None,
    Create,   // the system gave no socket (for example, out of descriptors)
    Resolve,  // the server's name has no address
    Refused,  // nothing listens at the server's address and port (ECONNREFUSED)
    Connect,  // any other failure to connect
    TimedOut, // a wait ran past its limit (the name server's included)
    Closed,   // the server closed the connection
    Aborted,  // Abort() from another thread
    Io,       // the connection broke while sending or receiving
    Secure,   // the TLS handshake failed, or the server's certificate does not prove its name
};

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Hands over all len bytes. False on error, on abort, or if the peer takes nothing for `stall`
    // (a server that stopped reading must not hang us).
    virtual bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall) = 0;
    // One receive of at most len bytes: the count, 0 if the peer closed, -1 on error, time-out or
    // abort.
    virtual ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) = 0;
    // Ends the stream and releases the connection without waiting for the peer.
    virtual void Close() = 0;

    StreamError LastError() const { return m_error; }
    // strerror of the errno, gai_strerror of a lookup, OpenSSL's reason; "" when there is none
    // (a time-out, an abort, a close, or no failure at all).
    const std::string& FailureReason() const { return m_reason; }

protected:
    bool Fail(StreamError error, std::string reason = {}) {
        m_error = error;
        m_reason = std::move(reason);
        return false;
    }
    // Takes over the failure of the stream beneath.
    bool FailAs(const ByteStream& below) { return Fail(below.m_error, below.m_reason); }
    void ClearFailure() { Fail(StreamError::None); }

private:
    StreamError m_error = StreamError::None;
    std::string m_reason;
};

} // namespace mail
