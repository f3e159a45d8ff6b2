#pragma once
// A loopback relay between the mail core and the scripted server that breaks the connection in
// the middle of the message data. The scripted server acts only when a whole unit has arrived, and
// the data is one unit up to its final "."; this relay acts at a byte offset inside it, while the
// data is still flowing.
#include "listener.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace vtest {

class FaultProxy {
public:
    enum class Fault {
        // At the cut: close the client's connection, then the server's. What the client sent
        // beyond the cut never reaches the server.
        Close,
        // At the cut: stop reading the client, so that its sends stall once the socket buffers
        // are full, until Resume(); then relay everything it queued meanwhile.
        Hold,
    };

    // cutAt counts bytes of message data: those the client sends after its "DATA" line. Serves
    // one connection, relayed to 127.0.0.1:serverPort.
    FaultProxy(std::uint16_t serverPort, Fault fault, std::uint64_t cutAt);
    ~FaultProxy(); // stops relaying and joins the thread
    FaultProxy(const FaultProxy&) = delete;
    FaultProxy& operator=(const FaultProxy&) = delete;

    std::uint16_t port() const { return listener_.port(); }
    // True once the data has reached the cut.
    bool WaitForCut(std::chrono::milliseconds timeout) const;
    // Hold only: read and relay again. Everything the client queued reaches the server, so the
    // server sees whether the client ended the data after a partial message.
    void Resume();
    // True once both connections are closed.
    bool WaitForEnd(std::chrono::milliseconds timeout) const;

private:
    void Run();
    void Relay(UniqueFd& client, int server);
    // Takes bytes read from the client: what goes to the server now is appended to toServer_.
    void FromClient(std::string_view bytes);
    void Cut();
    void Kick();

    const std::uint16_t serverPort_;
    const Fault fault_;
    const std::uint64_t cutAt_;
    Listener listener_;
    UniqueFd kickFd_; // an eventfd: Resume() and the destructor wake the relay through it

    // Relay state, used by the relay thread only.
    std::string line_; // the client's command line being read, before the data
    bool inData_ = false;
    std::uint64_t dataBytes_ = 0; // data bytes relayed
    bool cutDone_ = false;
    bool holding_ = false;
    std::string held_;     // bytes read past the cut while holding
    bool closing_ = false; // Close: the client is gone, flush to the server and end
    std::string toServer_, toClient_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool cut_ = false;
    bool resume_ = false;
    bool stop_ = false;
    bool ended_ = false;

    std::thread thread_; // last: starts after everything it uses exists
};

} // namespace vtest
