#pragma once
// The listening end of the test servers and relays: a TCP socket listening on 127.0.0.1 at a port
// the system picks, with a stop signal that wakes the thread serving it, and the way a relay
// reaches the server behind it.
#include "unique_fd.h"

#include <cstdint>

namespace vtest {

class Listener {
public:
    // receiveBuffer: SO_RCVBUF for the accepted connections (they inherit it); 0 leaves the
    // system's. Throws std::system_error if the system refuses.
    explicit Listener(int backlog = 16, int receiveBuffer = 0);

    std::uint16_t port() const { return port_; }
    // Waits for the next connection and returns it, non-blocking; an empty one once Stop() was
    // called. Throws std::system_error on a failure that waiting again cannot mend.
    UniqueFd Accept();
    // Safe from any thread; wakes Accept() and every wait on stopFd(), now and later.
    void Stop();
    // Readable once Stop() was called: for the serving thread's waits on its connections.
    int stopFd() const { return stopFd_.get(); }

private:
    UniqueFd listenFd_;
    UniqueFd stopFd_; // an eventfd
    std::uint16_t port_ = 0;
};

// A connection to 127.0.0.1:port, made blocking and then set non-blocking; sendBuffer: its
// SO_SNDBUF, 0 leaves the system's. Throws std::system_error if it cannot be made.
UniqueFd ConnectToLoopback(std::uint16_t port, int sendBuffer = 0);

} // namespace vtest
