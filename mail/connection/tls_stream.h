#pragma once
// Implicit TLS over a TCP stream: the TLS engine does the crypto on memory, and every byte it makes
// or needs travels over the TCP stream, with that stream's time limits, wait hook and abort.
//
// Only in the TLS build. From Open() until Close() the stream is a TLS stream: if the handshake
// fails, nothing more is sent or received, so not a byte can go out in clear.
#include "mail/connection/byte_stream.h"
#include "mail/connection/tcp_stream.h"

#include <memory>

namespace mail {

class TlsEngine;

class TlsStream final : public ByteStream {
public:
    TlsStream();
    ~TlsStream() override; // out of line: TlsEngine is an incomplete type here
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    TcpStream& Connection() override { return m_tcp; }
    // The handshake within timeout. A refused handshake or certificate fails with Secure and
    // OpenSSL's reason; a server that closes, is silent or cannot be written to fails as the TCP
    // stream did.
    bool Open(const std::string& host, const std::string& caFile,
              std::chrono::milliseconds timeout) override;
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall) override;
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) override;
    // Sends a close_notify if it can go at once (closing must never block), then closes the
    // connection.
    void Close() override;

private:
    // Sends everything the engine has produced; the stall limit as for Send.
    bool Flush(std::chrono::milliseconds stall);

    // Touched only by the thread that owns the session; Abort() reaches it through m_tcp.
    TcpStream m_tcp;
    std::unique_ptr<TlsEngine> m_engine; // from Open() to Close()
    std::unique_ptr<char[]> m_buffer;    // encrypted bytes on their way in or out
};

} // namespace mail
