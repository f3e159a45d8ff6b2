#include "mail/connection/connection.h"

#include "mail/connection/tls_stream.h"

namespace mail {

CBlockingSocket::CBlockingSocket() = default;

CBlockingSocket::~CBlockingSocket() {
    Close();
}

bool CBlockingSocket::Create() {
    Close();
    m_tls.reset(); // a new connection starts in plain TCP
    return m_tcp.Create();
}

bool CBlockingSocket::Connect(const std::string& host, std::uint16_t port,
                              std::chrono::milliseconds timeout) {
    return m_tcp.Connect(host, port, timeout);
}

bool CBlockingSocket::StartTls(const std::string& host, std::chrono::milliseconds timeout) {
    m_tls = std::make_unique<TlsStream>(m_tcp);
    return m_tls->Handshake(host, m_caFile, timeout);
}

bool CBlockingSocket::Send(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    return Stream().Send(data, len, stall);
}

ssize_t CBlockingSocket::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    return Stream().Receive(buf, len, timeout);
}

void CBlockingSocket::Close() {
    if (m_tls)
        m_tls->Close(); // its close_notify first, then the TCP stream
    m_tcp.Close();
}

const ByteStream& CBlockingSocket::Stream() const {
    return m_tls ? static_cast<const ByteStream&>(*m_tls) : m_tcp;
}

ByteStream& CBlockingSocket::Stream() {
    return m_tls ? static_cast<ByteStream&>(*m_tls) : m_tcp;
}

} // namespace mail
