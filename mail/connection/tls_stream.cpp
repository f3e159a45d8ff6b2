#include "mail/connection/tls_stream.h"

#include "mail/connection/tls_engine.h"

#include <algorithm>

namespace mail {
namespace {

// Plain text handed to TLS at a time: one full record, so that a large send never holds more
// than one record's worth of encrypted bytes.
constexpr std::size_t kPlainPiece = 16384;
// Room for the largest TLS record with its framing.
constexpr std::size_t kBufferSize = 16384 + 2048;

std::chrono::milliseconds TimeLeft(TcpStream::Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TcpStream::Clock::now());
    return std::max(left, std::chrono::milliseconds(0));
}

} // namespace

TlsStream::TlsStream(TcpStream& tcp)
    : m_tcp(tcp), m_buffer(std::make_unique<char[]>(kBufferSize)) {}

// The TCP stream is not ours: whoever owns it closes it.
TlsStream::~TlsStream() = default;

bool TlsStream::Handshake(const std::string& host, const std::string& caFile,
                          std::chrono::milliseconds timeout) {
    if (!m_tcp.IsOpen())
        return Fail(StreamError::Create);
    const auto deadline = m_tcp.NetworkDeadline(timeout);
    ClearFailure();
    std::string failure;
    m_engine = TlsEngine::Open(host, caFile, failure);
    if (!m_engine)
        return Fail(StreamError::Secure, failure);
    while (true) {
        const TlsEngine::Status status = m_engine->Handshake();
        // Also after a failure: the engine's alert tells the server why.
        const bool sent = Flush(TimeLeft(deadline()));
        if (status == TlsEngine::Status::Failed)
            return Fail(StreamError::Secure, m_engine->FailureText());
        if (!sent)
            return false;
        if (status == TlsEngine::Status::Ok)
            return true;
        const ssize_t n = m_tcp.Receive(m_buffer.get(), kBufferSize, TimeLeft(deadline()));
        if (n <= 0)
            return FailAs(m_tcp);
        m_engine->Feed(m_buffer.get(), static_cast<std::size_t>(n));
    }
}

bool TlsStream::Send(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    if (!m_engine)
        return Fail(StreamError::Io);
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        if (m_tcp.Aborted())
            return Fail(StreamError::Aborted);
        const std::size_t piece = std::min(len, kPlainPiece);
        if (!m_engine->Write(p, piece))
            return Fail(StreamError::Io, m_engine->FailureText());
        if (!Flush(stall))
            return false;
        p += piece;
        len -= piece;
    }
    return true;
}

ssize_t TlsStream::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    if (!m_engine) {
        Fail(StreamError::Io);
        return -1;
    }
    const auto deadline = m_tcp.NetworkDeadline(timeout);
    while (true) {
        if (m_tcp.Aborted()) {
            Fail(StreamError::Aborted);
            return -1;
        }
        std::size_t got = 0;
        const TlsEngine::Status status = m_engine->Read(buf, len, got);
        // Reading may have produced an answer for the server (an alert, a key update).
        if (!Flush(TimeLeft(deadline())))
            return -1;
        switch (status) {
        case TlsEngine::Status::Ok:
            return static_cast<ssize_t>(got);
        case TlsEngine::Status::Closed:
            Fail(StreamError::Closed);
            return 0;
        case TlsEngine::Status::Failed:
            Fail(StreamError::Io, m_engine->FailureText());
            return -1;
        case TlsEngine::Status::WantRead:
            break;
        }
        // A server that closes without close_notify is closed all the same: an SMTP reply is
        // complete only with its last line, so nothing cut short can pass for whole.
        const ssize_t n = m_tcp.Receive(m_buffer.get(), kBufferSize, TimeLeft(deadline()));
        if (n <= 0) {
            FailAs(m_tcp);
            return n;
        }
        m_engine->Feed(m_buffer.get(), static_cast<std::size_t>(n));
    }
}

bool TlsStream::Flush(std::chrono::milliseconds stall) {
    while (const std::size_t n = m_engine->TakeOutput(m_buffer.get(), kBufferSize)) {
        if (!m_tcp.Send(m_buffer.get(), n, stall))
            return FailAs(m_tcp);
    }
    return true;
}

void TlsStream::Close() {
    if (m_engine) {
        m_engine->Shutdown();
        while (const std::size_t n = m_engine->TakeOutput(m_buffer.get(), kBufferSize)) {
            if (!m_tcp.SendWithoutWaiting(m_buffer.get(), n))
                break;
        }
    }
    m_engine.reset();
    m_tcp.Close();
}

} // namespace mail
