// The TLS build: the core talks TLS to a front that relays the plain conversation to the server.
#include "server_front.h"

#include "tls_front.h"

namespace vtest {

struct ServerFront::Impl {
    explicit Impl(std::uint16_t serverPort) : front(serverPort, "IP:127.0.0.1,DNS:localhost") {}
    TlsFront front;
};

ServerFront::ServerFront(std::uint16_t serverPort) : impl_(std::make_unique<Impl>(serverPort)) {}
ServerFront::~ServerFront() = default;

std::uint16_t ServerFront::port() const {
    return impl_->front.port();
}

std::string ServerFront::CaFile() const {
    return impl_->front.CertFile();
}

} // namespace vtest
