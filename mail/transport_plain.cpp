// The plain build's transport: SMTP straight over TCP.
#include "mail/transport.h"

#include "mail/tcp_stream.h"

namespace mail {

std::unique_ptr<ByteStream> NewTransport() {
    return std::make_unique<TcpStream>();
}

} // namespace mail
