#pragma once
// What stands between the mail core and a test's server in this build, so that every test of the
// core runs over the transport the build ships: nothing in the plain build; in the TLS build a TLS
// front (tls_front.h) whose certificate names 127.0.0.1 and localhost, for the core to trust.
// CMake compiles one of server_front_plain.cpp and server_front_tls.cpp.
#include <cstdint>
#include <memory>
#include <string>

namespace vtest {

class ServerFront {
public:
    // In front of the server at 127.0.0.1:serverPort.
    explicit ServerFront(std::uint16_t serverPort);
    ~ServerFront();
    ServerFront(const ServerFront&) = delete;
    ServerFront& operator=(const ServerFront&) = delete;

    // Where the core connects to reach the server.
    std::uint16_t port() const;
    // The CA file that proves the front to the core; "" where nothing needs proving.
    std::string CaFile() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace vtest
