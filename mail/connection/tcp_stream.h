#pragma once
// A blocking TCP stream over POSIX sockets: create, connect by host name (IPv4 or IPv6), send every
// byte, receive once, close. Every wait, the name lookup's included, is bounded by a time limit,
// can be woken from another thread by Abort(), and, if a wait hook is set, calls it every few tens
// of milliseconds so that a user interface can repaint while its thread waits here.
#include "mail/connection/byte_stream.h"
#include "mail/connection/resolver.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace mail {

class TcpStream final : public ByteStream {
public:
    using Clock = std::chrono::steady_clock;
    using WaitHook = std::function<void()>;

    TcpStream() = default;
    ~TcpStream() override;
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;

    // Makes a new stream socket. False (Create) if the system refuses one.
    bool Create();
    // Resolves host and connects to the first address that answers, all within timeout: a name
    // server that does not answer in time fails the connect with TimedOut. The other failures:
    // Resolve, Refused (every address tried, the last one refused), Connect, Aborted.
    bool Connect(const std::string& host, std::uint16_t port, std::chrono::milliseconds timeout);
    // Send and Receive on the descriptor itself, as ByteStream says.
    bool Send(const void* data, std::size_t len, std::chrono::milliseconds stall) override;
    ssize_t Receive(void* buf, std::size_t len, std::chrono::milliseconds timeout) override;
    // One attempt to hand over len bytes that never waits; false if not all of them went.
    bool SendWithoutWaiting(const void* data, std::size_t len);
    // Releases the socket; Create() may be called again afterwards.
    void Close() override;
    // Safe from any thread: shuts the connection down so that a blocked Connect, Send or Receive
    // returns at once with Aborted. Close() must still be called by the owner.
    void Abort();
    bool Aborted() const { return m_aborted.load(); }

    bool IsOpen() const { return m_fd.load() >= 0; }
    void SetWaitHook(WaitHook hook) { m_hook = std::move(hook); }
    // The deadline of a wait over several calls, here or in a stream above this one: now +
    // timeout, moved on by the time the wait hook takes from here on. Call it for the time point.
    class Deadline {
    public:
        Clock::time_point operator()() const {
            return m_limit + (m_stream->m_hookTime - m_hookBefore);
        }

    private:
        friend class TcpStream;
        Deadline(const TcpStream& stream, std::chrono::milliseconds timeout)
            : m_stream(&stream), m_limit(Clock::now() + timeout), m_hookBefore(stream.m_hookTime) {}
        const TcpStream* m_stream;
        Clock::time_point m_limit;
        Clock::duration m_hookBefore;
    };
    Deadline NetworkDeadline(std::chrono::milliseconds timeout) const { return {*this, timeout}; }
    // How Connect looks host names up; the system's resolver unless set.
    void SetResolver(Resolver resolver) { m_resolver = std::move(resolver); }

private:
    // The addresses of host, looked up within deadline; false on time-out, abort or no address.
    bool Resolve(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                 std::vector<Address>& addresses);
    // Waits for events on the socket until deadline; false on time-out or abort.
    bool WaitFor(short events, Clock::time_point deadline);
    // Runs the wait hook; how long it took.
    Clock::duration RunHook();
    // The failure of a call that set errno to errorNumber: Aborted if Abort() caused it.
    bool FailWithErrno(StreamError error, int errorNumber);

    std::atomic<int> m_fd{-1};
    // So that Abort() never shuts down a descriptor number reused elsewhere.
    std::mutex m_closeMutex;
    std::shared_ptr<Lookup> m_lookup; // the lookup Connect waits for, so that Abort() can wake it
    std::atomic<bool> m_aborted{false};
    WaitHook m_hook;
    Clock::duration m_hookTime{}; // the owning thread's only, like the hook
    Resolver m_resolver = ResolveWithSystem;
};

} // namespace mail
