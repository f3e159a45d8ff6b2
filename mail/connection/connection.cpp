#include "mail/connection/connection.h"

#include "mail/connection/transport.h"

namespace mail {

CBlockingSocket::CBlockingSocket() : m_stream(NewTransport()), m_tcp(m_stream->Connection()) {}

CBlockingSocket::~CBlockingSocket() {
    Close();
}

bool CBlockingSocket::Create() {
    Close();
    m_error = Error::None;
    m_reason.clear();
    return Took(m_tcp.Create(), m_tcp);
}

bool CBlockingSocket::Connect(const std::string& host, std::uint16_t port,
                              std::chrono::milliseconds timeout) {
    return Took(m_tcp.Connect(host, port, timeout), m_tcp);
}

bool CBlockingSocket::OpenStream(const std::string& host, std::chrono::milliseconds timeout) {
    return Took(m_stream->Open(host, m_caFile, timeout), *m_stream);
}

bool CBlockingSocket::Send(const void* data, std::size_t len, std::chrono::milliseconds stall) {
    return Took(m_stream->Send(data, len, stall), *m_stream);
}

ssize_t CBlockingSocket::Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) {
    const ssize_t n = m_stream->Receive(buf, len, timeout);
    Took(n > 0, *m_stream);
    return n;
}

void CBlockingSocket::Close() {
    m_stream->Close();
}

bool CBlockingSocket::Took(bool ok, const ByteStream& layer) {
    if (!ok) {
        m_error = layer.LastError();
        m_reason = layer.FailureReason();
    }
    return ok;
}

} // namespace mail
