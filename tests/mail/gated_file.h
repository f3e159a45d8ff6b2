#pragma once
// An attachment whose reading stops at a given byte until the test opens its gate (or fails there),
// so that the attachment worker can be caught before its first byte or in the middle of the data.
// Every wait has a limit: a test that fails before it opens the gate ends instead of hanging.
#include "mail/message/attachment_file.h"
#include "scripted_server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

namespace vtest {

class Gate {
public:
    void Open() {
        {
            std::lock_guard lock(m_mutex);
            m_open = true;
        }
        m_cv.notify_all();
    }
    // For the reader: waits until the gate opens, at most limit.
    void Pass(std::chrono::milliseconds limit) {
        std::unique_lock lock(m_mutex);
        m_reached = true;
        m_cv.notify_all();
        m_cv.wait_for(lock, limit, [&] { return m_open; });
    }
    // For the test: waits until the reader has reached the gate; false if not within timeout.
    bool WaitUntilReached(std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, timeout, [&] { return m_reached; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_open = false;
    bool m_reached = false;
};

class GatedFile : public mail::AttachmentFile {
public:
    enum class AtGate { Wait, Fail };
    static constexpr std::chrono::seconds kGateLimit{30};
    static constexpr std::uint64_t kNoGate = UINT64_MAX;

    // A file of length bytes ('g's) whose reads wait for gate, or fail, from byte gateAt on.
    GatedFile(Gate& gate, std::uint64_t length, std::uint64_t gateAt, AtGate atGate = AtGate::Wait)
        : m_gate(gate), m_length(length), m_gateAt(gateAt), m_atGate(atGate) {}
    std::uint64_t Length() const override { return m_length; }
    ssize_t Read(void* buf, std::size_t len) override {
        if (m_read >= m_gateAt && !m_passed) {
            if (m_atGate == AtGate::Fail)
                return -1;
            m_gate.Pass(kGateLimit);
            m_passed = true;
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(len, m_length - m_read));
        std::memset(buf, 'g', n);
        m_read += n;
        return static_cast<ssize_t>(n);
    }

private:
    Gate& m_gate;
    std::uint64_t m_length;
    std::uint64_t m_gateAt;
    AtGate m_atGate;
    std::uint64_t m_read = 0;
    bool m_passed = false;
};

// Opens the gate once the server has seen the connection end, which in the middle of a send only
// an abort does: a file read cannot be woken, so this is how an aborted worker gets past the gate.
// Its thread is joined when it goes.
class OpenGateOnClientClose {
public:
    OpenGateOnClientClose(const ScriptedServer& server, Gate& gate)
        : m_thread([&server, &gate] {
              server.WaitForClientClose(std::chrono::seconds(20));
              gate.Open();
          }) {}
    ~OpenGateOnClientClose() { m_thread.join(); }
    OpenGateOnClientClose(const OpenGateOnClientClose&) = delete;
    OpenGateOnClientClose& operator=(const OpenGateOnClientClose&) = delete;

private:
    std::thread m_thread;
};

} // namespace vtest
