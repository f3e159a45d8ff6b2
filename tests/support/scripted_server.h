// A loopback SMTP server for tests: it plays a fixed script of replies, one per unit the client
// sends, and records every byte it receives so tests can check exactly what went on the wire.
#pragma once

#include "listener.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vtest {

struct Action {
    enum class Kind { Reply, Silent, Close, StopReading };
    Kind kind = Kind::Reply;
    std::string text;     // Reply: the bytes to send, CR LF included (may be several lines)
    size_t pieceSize = 0; // Reply: 0 = send in one write; N = send in pieces of N bytes
    std::chrono::milliseconds pieceDelay{0}; // pause between pieces (separate segments)
};

Action Reply(std::string text, size_t pieceSize = 0, std::chrono::milliseconds delay = {});
// Send nothing and read nothing more; the connection stays open until the client closes it or
// the server is destroyed.
Action Silent();
// Close the connection instead of replying (at index 0: right after accept, before a greeting).
Action Close();
// Like Silent, named for data tests: the receive buffer is kept small so that a client sending a
// large message fills the socket buffers quickly and blocks.
Action StopReading();

enum Step : size_t {
    kGreeting,
    kEhlo,
    kAuth,
    kUser,
    kPass,
    kMail,
    kRcpt,
    kData,
    kEndOfData,
    kQuit,
    kStepCount
};

// EHLO mode: the server answers EHLO with 250 and lists these extensions, one a line. The default
// is what the provider's servers list, AUTH in both its forms.
std::vector<std::string> ProviderExtensions();
// A 250 reply to EHLO: the server's name, then one line per extension.
std::string EhloReply(const std::vector<std::string>& extensions);
// A successful text mail, one action per Step.
std::vector<Action> HappyScript(const std::vector<std::string>& extensions = ProviderExtensions());

// HELO mode: a server that knows only HELO. EHLO is refused with 502 and one more action answers
// the HELO that follows, so from kAuth on a step's action is at HeloSlot(step).
std::vector<Action> HeloOnlyScript();
constexpr size_t HeloSlot(Step step) {
    return step < kAuth ? step : step + 1;
}
inline constexpr size_t kHeloReply = kEhlo + 1; // the slot that answers HELO

// Serves connections one at a time on 127.0.0.1 (ephemeral port) in its own thread. Each
// connection replays the script from the start: action 0 right after accept, then one action per
// received unit. A unit is a command line ending in CR LF, or, after a reply starting with "354",
// the whole data block up to and including CR LF "." CR LF (the block's start counts as following
// a CR LF, so ".\r\n" alone ends it). When the script is exhausted the connection is closed at the
// next unit or when the client closes. All accessors are safe to call from the test thread.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Action> script = HappyScript());
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    uint16_t port() const { return listener_.port(); }
    // Applies from the next accepted connection on.
    void SetScript(std::vector<Action> script);
    // Off: each DATA unit keeps only its last kDataTailSize bytes (in Units and in the transcript)
    // so that tests sending hundreds of MiB do not hold them in memory; DataUnitSizes still gives
    // the full sizes. Applies from the next accepted connection on. Default: on.
    void SetRecordData(bool record);
    static constexpr size_t kDataTailSize = 4096;

    // Bytes received per accepted connection, in order. Bytes already read when a connection ends
    // are included even if they did not complete a unit.
    std::vector<std::string> Transcripts() const;
    std::string Transcript(size_t connection = 0) const; // "" if no such connection yet
    // Completed units of a connection: command lines with their CR LF, DATA blocks whole.
    std::vector<std::string> Units(size_t connection = 0) const;
    // Full byte count of each completed DATA unit of a connection, whether recorded or not.
    std::vector<uint64_t> DataUnitSizes(size_t connection = 0) const;
    // Waits until a connection has completed at least n units (the client has no other way to
    // know that the server has taken in a unit it answers with silence).
    bool WaitForUnits(size_t n, std::chrono::milliseconds timeout, size_t connection = 0) const;
    size_t ConnectionCount() const;
    bool WaitForConnections(size_t n, std::chrono::milliseconds timeout) const;
    // Waits until the last accepted connection has been closed by either side.
    bool WaitForClientClose(std::chrono::milliseconds timeout) const;

private:
    struct Record {
        std::string transcript;
        // Units are kept as spans of the transcript so data is stored once.
        std::vector<std::pair<size_t, size_t>> units;
        std::vector<uint64_t> dataSizes;
        bool closed = false;
    };
    class Session;

    void Run();

    Listener listener_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Action> script_;
    bool recordData_ = true;
    std::vector<Record> records_;

    std::thread thread_; // last: starts after everything it uses exists
};

} // namespace vtest
