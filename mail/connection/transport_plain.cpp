// The plain build's transport: SMTP straight over TCP.
#include "mail/connection/transport.h"

#include "mail/connection/tcp_stream.h"

namespace mail {

std::unique_ptr<ByteStream> NewTransport() {
    return std::make_unique<TcpStream>();
}

} // namespace mail
