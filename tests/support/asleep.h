#pragma once
// For tests that must act only once a call on another thread has blocked: a receive waiting for
// bytes, a send waiting for room, a connect waiting for its name server. Such a call sleeps in the
// kernel, and its thread's state turns to S.
#include <chrono>
#include <fstream>
#include <string>
#include <sys/types.h>
#include <thread>

namespace vtest {

// Waits until thread tid of this process sleeps in the kernel; false if it does not within timeout.
inline bool WaitUntilAsleep(pid_t tid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        // "tid (name) S ...": the name may hold spaces and parentheses, the state follows the last.
        const auto name = line.rfind(')');
        if (name != std::string::npos && name + 2 < line.size() && line[name + 2] == 'S')
            return true;
        std::this_thread::yield();
    }
    return false;
}

} // namespace vtest
