// The TLS build's transport: implicit TLS, so not a byte of the conversation goes out before the
// server has proven it is the one asked for, and a failure never falls back to plain text.
#include "mail/connection/transport.h"

#include "mail/connection/tls_stream.h"

namespace mail {

std::unique_ptr<ByteStream> NewTransport() {
    return std::make_unique<TlsStream>();
}

} // namespace mail
