#pragma once
// Name lookup that the waiting thread can give up on. The answer to one lookup lives in a Lookup
// that the waiter and the resolver share, so either may go first: a waiter that stops waiting (time
// limit, abort) drops its share, and an answer that comes later lands where nobody reads it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace mail {

struct Address {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

class Lookup {
public:
    // The resolver's answer: the addresses to try, in order; none if the name does not resolve,
    // with the resolver's own words for why in reason (gai_strerror's). Only the first answer
    // counts. Safe from any thread.
    void Answer(std::vector<Address> addresses, std::string reason = {});
    // Wakes the waiter without an answer, now and for every later wait (an abort).
    void Wake();
    // Waits until the answer has come, Wake() was called, or until. True once answered.
    bool WaitUntil(std::chrono::steady_clock::time_point until);
    // The answer; read only after WaitUntil returned true.
    const std::vector<Address>& Addresses() const { return m_addresses; }
    const std::string& Reason() const { return m_reason; }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_answered = false;
    bool m_woken = false;
    std::vector<Address> m_addresses;
    std::string m_reason;
};

// Starts looking up host for a TCP connection to port. The answer goes to lookup at once or later,
// from any thread, or never; the caller waits for it no longer than its own limit.
using Resolver = std::function<void(const std::string& host, std::uint16_t port,
                                    std::shared_ptr<Lookup> lookup)>;

// The system's resolver. A numeric address is answered at once. A name is looked up with
// getaddrinfo on a detached thread of its own, which shares only the Lookup and its own copy of
// the name: getaddrinfo cannot be interrupted, and a name server that never answers must neither
// hold up the caller nor keep the process from exiting. The thread ends when getaddrinfo returns
// (bounded by the resolver's own time-outs and attempts), or with the process.
void ResolveWithSystem(const std::string& host, std::uint16_t port, std::shared_ptr<Lookup> lookup);

} // namespace mail
