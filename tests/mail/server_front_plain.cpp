// The plain build: the core talks to the server itself.
#include "server_front.h"

namespace vtest {

struct ServerFront::Impl {
    std::uint16_t port;
};

ServerFront::ServerFront(std::uint16_t serverPort)
    : impl_(std::make_unique<Impl>(Impl{serverPort})) {}
ServerFront::~ServerFront() = default;

std::uint16_t ServerFront::port() const {
    return impl_->port;
}

std::string ServerFront::CaFile() const {
    return {};
}

} // namespace vtest
