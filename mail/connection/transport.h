#pragma once
// The one place where the build's transport is chosen: the plain build talks SMTP over the TCP
// stream itself, the TLS build over implicit TLS on it. CMake compiles exactly one of
// transport_plain.cpp and transport_tls.cpp, so the code that uses the stream reads the same in
// both builds and the plain build links no OpenSSL.
#include "mail/connection/byte_stream.h"

#include <memory>

namespace mail {

// A new, unconnected stream of the build's transport; Connection() reaches its TCP stream.
std::unique_ptr<ByteStream> NewTransport();

} // namespace mail
