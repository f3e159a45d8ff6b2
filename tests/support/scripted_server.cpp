#include "scripted_server.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string_view>
#include <system_error>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vtest {

namespace {

constexpr size_t kReadBlock = 256 * 1024;
// Small enough that a client blocked by StopReading has little in flight; the kernel doubles it.
constexpr int kSmallReceiveBuffer = 4096;
// Bytes of "\r\n.\r\n" matched; a DATA block starts as if after a CR LF.
constexpr int kDataStartMatch = 2;
constexpr int kTerminatorMatched = 5;

// One step of matching "\r\n.\r\n" (a KMP automaton, so overlaps like "\r\n.\r\r\n.\r\n" work).
int AdvanceMatch(int matched, char c) {
    if (c == '\r') {
        return matched == 3 ? 4 : 1;
    }
    if (c == '\n') {
        return matched == 1 ? 2 : matched == 4 ? 5 : 0;
    }
    if (c == '.') {
        return matched == 2 ? 3 : 0;
    }
    return 0;
}

[[noreturn]] void ThrowErrno(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

enum class PollResult { Ready, Woken, TimedOut };

// Waits for `events` on fd (skipped when fd < 0) or for the stop signal, whichever comes first;
// the stop signal wins so that shutdown is never delayed by a busy connection.
PollResult PollOrWake(int fd, short events, int wakeFd, int timeoutMs, short* revents = nullptr) {
    pollfd fds[2] = {{wakeFd, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        int n = ::poll(fds, fd >= 0 ? 2 : 1, timeoutMs);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            ThrowErrno("poll");
        }
        if (fds[0].revents != 0) {
            return PollResult::Woken;
        }
        if (n == 0) {
            return PollResult::TimedOut;
        }
        if (revents != nullptr) {
            *revents = fds[1].revents;
        }
        return PollResult::Ready;
    }
}

} // namespace

Action Reply(std::string text, size_t pieceSize, std::chrono::milliseconds delay) {
    return Action{Action::Kind::Reply, std::move(text), pieceSize, delay};
}
Action Silent() {
    return Action{Action::Kind::Silent, {}, 0, {}};
}
Action Close() {
    return Action{Action::Kind::Close, {}, 0, {}};
}
Action StopReading() {
    return Action{Action::Kind::StopReading, {}, 0, {}};
}

std::vector<std::string> ProviderExtensions() {
    return {"PIPELINING", "AUTH LOGIN PLAIN", "AUTH=LOGIN PLAIN", "8BITMIME"};
}

std::string EhloReply(const std::vector<std::string>& extensions) {
    std::string reply = "250";
    reply += extensions.empty() ? " " : "-";
    reply += "localhost\r\n";
    for (size_t i = 0; i < extensions.size(); ++i) {
        reply += i + 1 < extensions.size() ? "250-" : "250 ";
        reply += extensions[i] + "\r\n";
    }
    return reply;
}

std::vector<Action> HappyScript(const std::vector<std::string>& extensions) {
    std::vector<Action> script(kStepCount);
    script[kGreeting] = Reply("220 localhost ESMTP ready\r\n");
    script[kEhlo] = Reply(EhloReply(extensions));
    script[kAuth] = Reply("334 VXNlcm5hbWU6\r\n");
    script[kUser] = Reply("334 UGFzc3dvcmQ6\r\n");
    script[kPass] = Reply("235 Authentication successful\r\n");
    script[kMail] = Reply("250 Mail OK\r\n");
    script[kRcpt] = Reply("250 Mail OK\r\n");
    script[kData] = Reply("354 End data with <CR><LF>.<CR><LF>\r\n");
    script[kEndOfData] = Reply("250 Mail OK queued as 1\r\n");
    script[kQuit] = Reply("221 Bye\r\n");
    return script;
}

std::vector<Action> HeloOnlyScript() {
    std::vector<Action> script = HappyScript();
    script[kEhlo] = Reply("502 5.5.2 Error: command not recognized\r\n");
    script.insert(script.begin() + kHeloReply, Reply("250 localhost\r\n"));
    return script;
}

// One accepted connection, driven entirely by the server thread.
class ScriptedServer::Session {
public:
    Session(ScriptedServer& server, size_t index, UniqueFd fd, std::vector<Action> script,
            bool recordData)
        : server_(server), index_(index), fd_(std::move(fd)), script_(std::move(script)),
          recordData_(recordData) {}

    // Returns when the connection is to be closed: by the script, by the client or on stop.
    void Serve() {
        if (!Play()) {
            return;
        }
        std::vector<char> buffer(kReadBlock);
        for (;;) {
            if (PollOrWake(fd_.get(), POLLIN, server_.listener_.stopFd(), -1) ==
                PollResult::Woken) {
                return;
            }
            ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
            if (n > 0) {
                if (!Feed(buffer.data(), buffer.data() + n)) {
                    return;
                }
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                return; // the client closed or reset the connection
            }
        }
    }

private:
    // Plays the next action; false when the connection must end.
    bool Play() {
        if (next_ >= script_.size()) {
            return false;
        }
        const Action& action = script_[next_++];
        switch (action.kind) {
        case Action::Kind::Reply:
            if (!SendReply(action)) {
                return false;
            }
            if (action.text.starts_with("354")) {
                dataMode_ = true;
                matched_ = kDataStartMatch;
                dataSize_ = 0;
                tail_.clear();
            }
            return true;
        case Action::Kind::Close:
            return false;
        case Action::Kind::Silent:
        case Action::Kind::StopReading:
            HoldUntilClientCloses();
            return false;
        }
        return false;
    }

    // False only when stopped; a client that went away is not an error here, the next read
    // notices it.
    bool SendReply(const Action& action) {
        std::string_view text = action.text;
        size_t piece = action.pieceSize == 0 ? text.size() : action.pieceSize;
        for (size_t offset = 0; offset < text.size(); offset += piece) {
            if (offset > 0 && action.pieceDelay.count() > 0 && !Pause(action.pieceDelay)) {
                return false;
            }
            switch (SendAll(text.substr(offset, piece))) {
            case SendResult::Sent:
                break;
            case SendResult::ClientGone:
                return true;
            case SendResult::Stopped:
                return false;
            }
        }
        return true;
    }

    enum class SendResult { Sent, ClientGone, Stopped };

    SendResult SendAll(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n >= 0) {
                bytes.remove_prefix(static_cast<size_t>(n));
            } else if (errno == EAGAIN) {
                // The socket is non-blocking so a client that never reads cannot wedge shutdown.
                if (PollOrWake(fd_.get(), POLLOUT, server_.listener_.stopFd(), -1) ==
                    PollResult::Woken) {
                    return SendResult::Stopped;
                }
            } else if (errno != EINTR) {
                return SendResult::ClientGone;
            }
        }
        return SendResult::Sent;
    }

    // False if the server was stopped during the pause.
    bool Pause(std::chrono::milliseconds delay) {
        auto deadline = std::chrono::steady_clock::now() + delay;
        for (;;) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                return true;
            }
            if (PollOrWake(-1, 0, server_.listener_.stopFd(), static_cast<int>(left.count())) ==
                PollResult::Woken) {
                return false;
            }
        }
    }

    // POLLRDHUP reports the client's FIN without reading anything it sent.
    void HoldUntilClientCloses() {
        short revents = 0;
        PollOrWake(fd_.get(), POLLRDHUP, server_.listener_.stopFd(), -1, &revents);
    }

    // Consumes received bytes unit by unit, playing an action after each; false when the
    // connection must end. Bytes left over then are still recorded (unless they are unrecorded
    // data).
    bool Feed(const char* p, const char* end) {
        while (p < end) {
            bool keepGoing = dataMode_ ? FeedData(p, end) : FeedCommand(p, end);
            if (!keepGoing) {
                if (recordData_ || !dataMode_) {
                    Append(p, end);
                }
                return false;
            }
        }
        return true;
    }

    bool FeedCommand(const char*& p, const char* end) {
        const char* scan = p;
        for (;;) {
            auto* lf = static_cast<const char*>(std::memchr(scan, '\n', end - scan));
            if (lf == nullptr) {
                Append(p, end);
                pendingCr_ = end[-1] == '\r';
                p = end;
                return true;
            }
            bool afterCr = lf > p ? lf[-1] == '\r' : pendingCr_;
            if (!afterCr) {
                scan = lf + 1;
                continue;
            }
            Append(p, lf + 1);
            p = lf + 1;
            pendingCr_ = false;
            EndUnit(false);
            return Play();
        }
    }

    bool FeedData(const char*& p, const char* end) {
        const char* q = p;
        while (q < end && matched_ != kTerminatorMatched) {
            if (matched_ == 0) {
                // Nothing matches until the next CR; skip there in one go.
                q = static_cast<const char*>(std::memchr(q, '\r', end - q));
                if (q == nullptr) {
                    q = end;
                    break;
                }
            }
            matched_ = AdvanceMatch(matched_, *q++);
        }
        dataSize_ += static_cast<uint64_t>(q - p);
        if (recordData_) {
            Append(p, q);
        } else {
            KeepTail(p, q);
        }
        p = q;
        if (matched_ != kTerminatorMatched) {
            return true;
        }
        if (!recordData_) {
            size_t keep = std::min(tail_.size(), kDataTailSize);
            Append(tail_.data() + tail_.size() - keep, tail_.data() + tail_.size());
        }
        dataMode_ = false;
        EndUnit(true);
        return Play();
    }

    void KeepTail(const char* p, const char* end) {
        tail_.append(p, end);
        // Trim only now and then so the cost stays linear in the data size.
        if (tail_.size() > 2 * kDataTailSize) {
            tail_.erase(0, tail_.size() - kDataTailSize);
        }
    }

    void Append(const char* p, const char* end) {
        if (p == end) {
            return;
        }
        std::lock_guard lock(server_.mutex_);
        server_.records_[index_].transcript.append(p, end);
        recorded_ += static_cast<size_t>(end - p);
    }

    void EndUnit(bool data) {
        {
            std::lock_guard lock(server_.mutex_);
            Record& record = server_.records_[index_];
            record.units.emplace_back(unitStart_, recorded_ - unitStart_);
            if (data) {
                record.dataSizes.push_back(dataSize_);
            }
        }
        server_.changed_.notify_all();
        unitStart_ = recorded_;
    }

    ScriptedServer& server_;
    size_t index_;
    UniqueFd fd_;
    std::vector<Action> script_;
    bool recordData_;
    size_t next_ = 0;

    size_t recorded_ = 0;  // size of this connection's transcript
    size_t unitStart_ = 0; // where the unit being received starts in the transcript
    bool pendingCr_ = false;

    bool dataMode_ = false;
    int matched_ = 0;
    uint64_t dataSize_ = 0;
    std::string tail_;
};

ScriptedServer::ScriptedServer(std::vector<Action> script) : script_(std::move(script)) {
    thread_ = std::thread([this] { Run(); });
}

ScriptedServer::~ScriptedServer() {
    listener_.Stop();
    thread_.join();
}

void ScriptedServer::Run() {
    try {
        for (;;) {
            UniqueFd fd = listener_.Accept();
            if (!fd) {
                return;
            }
            std::vector<Action> script;
            bool record = true;
            size_t index = 0;
            {
                std::lock_guard lock(mutex_);
                script = script_;
                record = recordData_;
                index = records_.size();
                records_.emplace_back();
            }
            changed_.notify_all();
            bool stopsReading = std::any_of(script.begin(), script.end(), [](const Action& a) {
                return a.kind == Action::Kind::StopReading;
            });
            if (stopsReading) {
                ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &kSmallReceiveBuffer,
                             sizeof kSmallReceiveBuffer);
            }
            Session(*this, index, std::move(fd), std::move(script), record).Serve();
            {
                std::lock_guard lock(mutex_);
                records_[index].closed = true;
            }
            changed_.notify_all();
        }
    } catch (const std::exception& e) {
        // A test server that dies silently would only show up as a confusing timeout.
        std::cerr << "ScriptedServer: " << e.what() << '\n';
        std::lock_guard lock(mutex_);
        for (Record& record : records_) {
            record.closed = true;
        }
        changed_.notify_all();
    }
}

void ScriptedServer::SetScript(std::vector<Action> script) {
    std::lock_guard lock(mutex_);
    script_ = std::move(script);
}

void ScriptedServer::SetRecordData(bool record) {
    std::lock_guard lock(mutex_);
    recordData_ = record;
}

std::vector<std::string> ScriptedServer::Transcripts() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    result.reserve(records_.size());
    for (const Record& record : records_) {
        result.push_back(record.transcript);
    }
    return result;
}

std::string ScriptedServer::Transcript(size_t connection) const {
    std::lock_guard lock(mutex_);
    return connection < records_.size() ? records_[connection].transcript : std::string();
}

std::vector<std::string> ScriptedServer::Units(size_t connection) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    if (connection < records_.size()) {
        const Record& record = records_[connection];
        for (auto [start, length] : record.units) {
            result.push_back(record.transcript.substr(start, length));
        }
    }
    return result;
}

std::vector<uint64_t> ScriptedServer::DataUnitSizes(size_t connection) const {
    std::lock_guard lock(mutex_);
    return connection < records_.size() ? records_[connection].dataSizes : std::vector<uint64_t>();
}

bool ScriptedServer::WaitForUnits(size_t n, std::chrono::milliseconds timeout,
                                  size_t connection) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return connection < records_.size() && records_[connection].units.size() >= n;
    });
}

size_t ScriptedServer::ConnectionCount() const {
    std::lock_guard lock(mutex_);
    return records_.size();
}

bool ScriptedServer::WaitForConnections(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return records_.size() >= n; });
}

bool ScriptedServer::WaitForClientClose(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout,
                             [&] { return !records_.empty() && records_.back().closed; });
}

} // namespace vtest
