#pragma once
// TLS over a connected TCP stream that someone else owns: the TLS engine does the crypto on memory,
// and every byte it makes or needs travels over the TCP stream, with that stream's time limits,
// wait hook and abort. Until a handshake has succeeded, and after it failed, the stream sends and
// receives nothing, so not a byte can go out in clear through it.
#include "mail/connection/byte_stream.h"
#include "mail/connection/tcp_stream.h"

#include <memory>

namespace mail {

class TlsEngine;

class TlsStream final : public ByteStream {
public:
    explicit TlsStream(TcpStream& tcp);
    ~TlsStream() override; // out of line: TlsEngine is an incomplete type here
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    // The handshake within timeout, with the server's certificate checked against the CAs in caFile
    // (PEM), or the system's store if it is empty, and against host. A refused handshake or
    // certificate fails with Secure and OpenSSL's reason; a server that closes, is silent or cannot
    // be written to fails as the TCP stream did.
    bool Handshake(const std::string& host, const std::string& caFile,
                   std::chrono::milliseconds timeout);
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall) override;
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) override;
    // Sends a close_notify if it can go at once (closing must never block), then closes the TCP
    // stream.
    void Close() override;

private:
    // Sends everything the engine has produced; the stall limit as for Send.
    bool Flush(std::chrono::milliseconds stall);

    TcpStream& m_tcp;
    std::unique_ptr<TlsEngine> m_engine; // from Open() to Close()
    std::unique_ptr<char[]> m_buffer;    // encrypted bytes on their way in or out
};

} // namespace mail
