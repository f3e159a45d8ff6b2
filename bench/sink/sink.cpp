// vellipost-sink: an SMTP server on 127.0.0.1 that accepts everything and discards (or stores)
// the messages, for measuring how fast mail clients push large attachments. It must never be
// the bottleneck, so the DATA path does no per-byte work beyond looking for line-start dots.
// With a certificate and key it offers STARTTLS (RFC 3207), for measuring clients over TLS.

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// One recv per MiB keeps the syscall count negligible next to the copy out of the kernel.
constexpr std::size_t kBlock = std::size_t{1} << 20;
// Room in front of each block for the bytes carried over from the previous one (at most 4).
constexpr std::size_t kHead = 8;
// Longer command lines are a client bug or garbage; answer 500 instead of buffering forever.
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kCommandRead = 64 * 1024;

volatile std::sig_atomic_t g_stop = 0;
// The signal mask used while blocked in ppoll: SIGINT and SIGTERM are blocked everywhere else,
// so they can only be handled inside ppoll and a stop request is never lost between a check
// and the wait.
sigset_t g_waitMask;

extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

bool StopRequested() {
    if (g_stop) {
        return true;
    }
    // A sender faster than the sink never lets recv run dry, so ppoll may not run for a whole
    // message; look at the pending set directly as well.
    sigset_t pending;
    if (::sigpending(&pending) == 0 &&
        (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1)) {
        g_stop = 1;
    }
    return g_stop != 0;
}

[[noreturn]] void Die(const std::string& what, int err) {
    std::fprintf(stderr, "vellipost-sink: %s: %s\n", what.c_str(), std::strerror(err));
    std::exit(1);
}

[[noreturn]] void Usage(const char* complaint) {
    if (complaint != nullptr) {
        std::fprintf(stderr, "vellipost-sink: %s\n", complaint);
    }
    std::fprintf(stderr,
                 "usage: vellipost-sink [--port N] [--store DIR] [--ready-file PATH] [--once]\n"
                 "                      [--tls-cert CERT --tls-key KEY]\n");
    std::exit(2);
}

class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() { Reset(); }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    CFd(CFd&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    int Release() { return std::exchange(m_fd, -1); }
    void Reset() {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    int m_fd = -1;
};

struct Options {
    unsigned port = 0;
    std::optional<fs::path> store;
    std::optional<fs::path> readyFile;
    bool once = false;
    std::optional<fs::path> tlsCert; // PEM, the server's certificate first, then any chain
    std::optional<fs::path> tlsKey;
};

Options ParseOptions(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string_view {
            if (i + 1 >= argc) {
                Usage("missing value after option");
            }
            return argv[++i];
        };
        if (arg == "--port") {
            const std::string_view v = value();
            unsigned port = 0;
            const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), port);
            if (ec != std::errc{} || end != v.data() + v.size() || port > 65535) {
                Usage("--port wants a number from 0 to 65535");
            }
            opt.port = port;
        } else if (arg == "--store") {
            opt.store = fs::path(value());
        } else if (arg == "--ready-file") {
            opt.readyFile = fs::path(value());
        } else if (arg == "--once") {
            opt.once = true;
        } else if (arg == "--tls-cert") {
            opt.tlsCert = fs::path(value());
        } else if (arg == "--tls-key") {
            opt.tlsKey = fs::path(value());
        } else if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
        } else {
            Usage("unknown option");
        }
    }
    if (opt.tlsCert.has_value() != opt.tlsKey.has_value()) {
        Usage("--tls-cert and --tls-key go together");
    }
    return opt;
}

// Waits until fd is ready for events (or has an error/hang-up to report); false when asked to
// stop.
bool WaitFor(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        if (g_stop) {
            return false;
        }
        const int r = ::ppoll(&p, 1, nullptr, &g_waitMask);
        if (r > 0) {
            return true;
        }
        if (r < 0 && errno != EINTR) {
            Die("ppoll", errno);
        }
    }
}

bool WaitReadable(int fd) {
    return WaitFor(fd, POLLIN);
}

// > 0: bytes read; 0: peer closed; < 0: error or stop requested.
ssize_t Receive(int fd, char* p, std::size_t n) {
    for (;;) {
        if (StopRequested()) {
            return -1;
        }
        const ssize_t r = ::recv(fd, p, n, MSG_DONTWAIT);
        if (r >= 0) {
            return r;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            return -1;
        }
        if (!WaitReadable(fd)) {
            return -1;
        }
    }
}

bool SendAll(int fd, std::string_view s) {
    while (!s.empty()) {
        const ssize_t r = ::send(fd, s.data(), s.size(), MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        s.remove_prefix(static_cast<std::size_t>(r));
    }
    return true;
}

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using SslPtr = std::unique_ptr<SSL, SslFree>;

// OpenSSL's reasons for the last failure, oldest first; empties the thread's error queue, so
// that the next connection's calls are judged by their own errors.
std::string TlsErrors() {
    std::string text;
    while (const unsigned long code = ERR_get_error()) {
        char line[256];
        ERR_error_string_n(code, line, sizeof line);
        text += text.empty() ? "" : "; ";
        text += line;
    }
    return text.empty() ? std::string("no reason given") : text;
}

// The server's TLS settings; null without --tls-cert.
SslCtxPtr MakeTlsContext(const Options& opt) {
    if (!opt.tlsCert) {
        return nullptr;
    }
    SslCtxPtr ctx(SSL_CTX_new(TLS_server_method()));
    if (!ctx || SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_use_certificate_chain_file(ctx.get(), opt.tlsCert->c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx.get(), opt.tlsKey->c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(ctx.get()) != 1) {
        std::fprintf(stderr, "vellipost-sink: cannot use %s and %s: %s\n", opt.tlsCert->c_str(),
                     opt.tlsKey->c_str(), TlsErrors().c_str());
        std::exit(1);
    }
    // Read-ahead lets one recv bring in several records, where OpenSSL would otherwise read each
    // record's header and body apart.
    SSL_CTX_set_read_ahead(ctx.get(), 1);
    return ctx;
}

// One connection's bytes: the socket itself, or TLS over it once StartTls() has succeeded. The
// plain path costs one test per read; the TLS path reads until the buffer is full or the socket
// has nothing more, so the DATA loop sees blocks as large as it does without TLS.
class CLink {
public:
    explicit CLink(int fd) : m_fd(fd) {}
    ~CLink() {
        if (m_ssl && !m_failed) {
            SSL_shutdown(m_ssl.get()); // close_notify, best effort: the peer may be gone
        }
        ERR_clear_error();
    }
    CLink(const CLink&) = delete;
    CLink& operator=(const CLink&) = delete;

    bool Secure() const { return m_ssl != nullptr; }

    // > 0: bytes read; 0: peer closed; < 0: error or stop requested.
    ssize_t Read(char* p, std::size_t n) {
        if (!m_ssl) {
            return Receive(m_fd, p, n);
        }
        std::size_t got = 0;
        while (got < n) {
            if (StopRequested()) {
                return -1;
            }
            std::size_t r = 0;
            const int rc = SSL_read_ex(m_ssl.get(), p + got, n - got, &r);
            if (rc == 1) {
                got += r;
                continue;
            }
            const int err = SSL_get_error(m_ssl.get(), rc);
            if (err == SSL_ERROR_WANT_READ && got > 0) {
                break;
            }
            if (!Retry(err)) {
                if (got > 0) {
                    break; // the failure shows again on the next call
                }
                return err == SSL_ERROR_ZERO_RETURN ? 0 : -1;
            }
        }
        return static_cast<ssize_t>(got);
    }

    bool Write(std::string_view s) {
        if (!m_ssl) {
            return SendAll(m_fd, s);
        }
        while (!s.empty()) {
            std::size_t written = 0;
            const int rc = SSL_write_ex(m_ssl.get(), s.data(), s.size(), &written);
            if (rc == 1) {
                s.remove_prefix(written);
            } else if (!Retry(SSL_get_error(m_ssl.get(), rc))) {
                return false;
            }
        }
        return true;
    }

    // The server's side of the handshake on this connection; false (with the reason on stderr)
    // if it fails. The socket stays non-blocking from here on, so that a stop request is seen
    // while OpenSSL waits for the peer.
    bool StartTls(SSL_CTX* ctx) {
        const int flags = ::fcntl(m_fd, F_GETFL);
        if (flags < 0 || ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) != 0) {
            return false;
        }
        m_ssl.reset(SSL_new(ctx));
        if (!m_ssl || SSL_set_fd(m_ssl.get(), m_fd) != 1) {
            m_failed = true;
            return false;
        }
        for (;;) {
            const int rc = SSL_accept(m_ssl.get());
            if (rc == 1) {
                return true;
            }
            const int err = SSL_get_error(m_ssl.get(), rc);
            if (!Retry(err)) {
                if (!g_stop) {
                    std::fprintf(stderr, "vellipost-sink: TLS handshake failed: %s\n",
                                 TlsErrors().c_str());
                }
                return false;
            }
        }
    }

private:
    // Waits for what OpenSSL asked for; false when the connection is over (error, close or stop).
    bool Retry(int err) {
        if (err == SSL_ERROR_WANT_READ) {
            return WaitFor(m_fd, POLLIN);
        }
        if (err == SSL_ERROR_WANT_WRITE) {
            return WaitFor(m_fd, POLLOUT);
        }
        if (err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL) {
            m_failed = true; // OpenSSL forbids a shutdown after these
        }
        return false;
    }

    int m_fd;
    SslPtr m_ssl;
    bool m_failed = false;
};

// Stored messages are written straight from the receive buffer: slices between removed dots
// are gathered and written with one writev per block.
class CSlicedFile {
public:
    bool Open(const fs::path& path) {
        m_fd = CFd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        m_failed = !m_fd.Valid();
        return !m_failed;
    }
    void Add(const char* p, std::size_t n) {
        if (n == 0 || m_failed) {
            return;
        }
        m_slices.push_back(iovec{const_cast<char*>(p), n});
        if (m_slices.size() == IOV_MAX) {
            Flush();
        }
    }
    // Must run before the receive buffer is reused: the slices point into it.
    void Flush() {
        std::size_t first = 0;
        while (first < m_slices.size() && !m_failed) {
            const int count =
                static_cast<int>(std::min<std::size_t>(m_slices.size() - first, IOV_MAX));
            const ssize_t r = ::writev(m_fd.Get(), &m_slices[first], count);
            if (r < 0) {
                if (errno != EINTR) {
                    m_failed = true;
                }
                continue;
            }
            auto left = static_cast<std::size_t>(r);
            while (first < m_slices.size() && left >= m_slices[first].iov_len) {
                left -= m_slices[first].iov_len;
                ++first;
            }
            if (left > 0) {
                m_slices[first].iov_base = static_cast<char*>(m_slices[first].iov_base) + left;
                m_slices[first].iov_len -= left;
            }
        }
        m_slices.clear();
    }
    // Reports write errors, including late ones that only close() sees.
    bool Close() {
        Flush();
        const int fd = m_fd.Release();
        if (fd >= 0 && ::close(fd) != 0) {
            m_failed = true;
        }
        return !m_failed;
    }

private:
    CFd m_fd;
    std::vector<iovec> m_slices;
    bool m_failed = false;
};

std::string Upper(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

enum class SessionEnd { Closed, Stop };

class CSession {
public:
    CSession(int fd, const Options& opt, SSL_CTX* tls, std::vector<char>& buf, unsigned& stored)
        : m_link(fd), m_opt(opt), m_tls(tls), m_buf(buf), m_stored(stored) {}

    SessionEnd Run();
    unsigned Delivered() const { return m_delivered; }

private:
    enum class Auth { None, LoginUser, LoginPassword, PlainResponse };
    enum class DataEnd { Done, Closed, Stop };

    void Reply(std::string_view line) {
        m_out.append(line);
        m_out.append("\r\n");
    }
    bool Flush() {
        const bool ok = m_link.Write(m_out);
        m_out.clear();
        return ok;
    }
    // false: the connection is over (QUIT).
    bool HandleLine(std::string_view line);
    void HandleAuth(std::string_view args);
    DataEnd ReceiveData();

    CLink m_link;
    const Options& m_opt;
    SSL_CTX* m_tls; // null: no STARTTLS offered
    std::vector<char>& m_buf;
    unsigned& m_stored;
    std::string m_in;  // received command bytes not yet consumed
    std::string m_out; // replies not yet sent; sent in one go before the next wait
    Auth m_auth = Auth::None;
    bool m_haveMail = false;
    bool m_haveRcpt = false;
    bool m_wantData = false;
    bool m_wantTls = false;
    bool m_discardingLongLine = false;
    unsigned m_delivered = 0;
};

SessionEnd CSession::Run() {
    Reply("220 sink ESMTP");
    std::vector<char> chunk(kCommandRead);
    for (;;) {
        // Commands may be pipelined: answer every complete line already received.
        std::size_t pos = 0;
        for (;;) {
            const std::size_t nl = m_in.find('\n', pos);
            if (nl == std::string::npos) {
                break;
            }
            std::string_view line(m_in.data() + pos, nl - pos);
            pos = nl + 1;
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (m_discardingLongLine) {
                m_discardingLongLine = false;
                continue;
            }
            if (!HandleLine(line)) {
                Flush();
                return SessionEnd::Closed;
            }
            if (m_wantTls) {
                // The client may not pipeline past STARTTLS (RFC 3207): anything it did is
                // dropped, and so is all the session knew before the handshake.
                m_wantTls = false;
                m_in.clear();
                pos = 0;
                if (!Flush() || !m_link.StartTls(m_tls)) {
                    return g_stop ? SessionEnd::Stop : SessionEnd::Closed;
                }
                m_haveMail = false;
                m_haveRcpt = false;
                break;
            }
            if (m_wantData) {
                m_wantData = false;
                m_in.erase(0, pos);
                pos = 0;
                if (!Flush()) {
                    return SessionEnd::Closed;
                }
                const DataEnd end = ReceiveData();
                if (end == DataEnd::Stop) {
                    return SessionEnd::Stop;
                }
                if (end == DataEnd::Closed) {
                    return SessionEnd::Closed;
                }
            }
        }
        m_in.erase(0, pos);
        if (m_in.size() > kMaxLine) {
            m_in.clear();
            if (!m_discardingLongLine) {
                m_discardingLongLine = true;
                Reply("500 line too long");
            }
        }
        if (!Flush()) {
            return SessionEnd::Closed;
        }
        const ssize_t n = m_link.Read(chunk.data(), chunk.size());
        if (n <= 0) {
            return g_stop ? SessionEnd::Stop : SessionEnd::Closed;
        }
        m_in.append(chunk.data(), static_cast<std::size_t>(n));
    }
}

bool CSession::HandleLine(std::string_view line) {
    if (m_auth != Auth::None) {
        const Auth step = m_auth;
        m_auth = Auth::None;
        if (line == "*") {
            Reply("501 authentication cancelled");
        } else if (step == Auth::LoginUser) {
            m_auth = Auth::LoginPassword;
            Reply("334 UGFzc3dvcmQ6");
        } else {
            Reply("235 authenticated");
        }
        return true;
    }
    const std::size_t space = line.find(' ');
    const std::string verb = Upper(line.substr(0, space));
    const std::string_view args =
        space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);

    // The envelope in order: a recipient only after the sender, the data only after a recipient.
    if (verb == "RCPT" && !m_haveMail) {
        Reply("503 MAIL first");
    } else if (verb == "DATA" && !m_haveRcpt) {
        Reply("503 RCPT first");
    } else if (verb == "HELO") {
        Reply("250 sink");
    } else if (verb == "EHLO") {
        Reply("250-sink");
        Reply("250-AUTH LOGIN PLAIN");
        if (m_tls != nullptr && !m_link.Secure()) {
            Reply("250-STARTTLS");
        }
        Reply("250 8BITMIME");
    } else if (verb == "STARTTLS" && m_tls != nullptr) {
        if (m_link.Secure()) {
            Reply("503 TLS already active");
        } else if (!args.empty()) {
            Reply("501 STARTTLS takes no arguments");
        } else {
            Reply("220 ready to start TLS");
            m_wantTls = true;
        }
    } else if (verb == "AUTH") {
        HandleAuth(args);
    } else if (verb == "MAIL") {
        m_haveMail = true;
        m_haveRcpt = false;
        Reply("250 OK");
    } else if (verb == "RCPT") {
        m_haveRcpt = true;
        Reply("250 OK");
    } else if (verb == "DATA") {
        Reply("354 go ahead, end with <CRLF>.<CRLF>");
        m_wantData = true;
    } else if (verb == "RSET") {
        m_haveMail = false;
        m_haveRcpt = false;
        Reply("250 OK");
    } else if (verb == "NOOP") {
        Reply("250 OK");
    } else if (verb == "QUIT") {
        Reply("221 bye");
        return false;
    } else {
        Reply("500 unrecognized command");
    }
    return true;
}

void CSession::HandleAuth(std::string_view args) {
    const std::size_t space = args.find(' ');
    const std::string mech = Upper(args.substr(0, space));
    const bool initial = space != std::string_view::npos && space + 1 < args.size();
    // Any account is accepted: the sink only has to get clients past their login step.
    if (mech == "LOGIN") {
        if (initial) {
            m_auth = Auth::LoginPassword;
            Reply("334 UGFzc3dvcmQ6");
        } else {
            m_auth = Auth::LoginUser;
            Reply("334 VXNlcm5hbWU6");
        }
    } else if (mech == "PLAIN") {
        if (initial) {
            Reply("235 authenticated");
        } else {
            m_auth = Auth::PlainResponse;
            Reply("334 ");
        }
    } else if (mech.empty()) {
        Reply("501 AUTH needs a mechanism");
    } else {
        Reply("504 unrecognized authentication type");
    }
}

// Reads the message that follows a 354 until the line holding a single dot. The stream is looked
// at through a window that starts with the last two bytes already handled (at first a virtual
// CRLF, since DATA itself ended a line), so a dot at the start of a line is one preceded by
// CRLF, however the bytes were split over reads. Every line-start dot is dropped: it is either
// the stuffing of a line that began with a dot or the final ".\r\n".
CSession::DataEnd CSession::ReceiveData() {
    const auto start = std::chrono::steady_clock::now();
    const bool storing = m_opt.store.has_value();
    CSlicedFile file;
    fs::path path;
    if (storing) {
        path = *m_opt.store / ("msg-" + std::to_string(m_stored + 1) + ".eml");
        if (!file.Open(path)) {
            std::fprintf(stderr, "vellipost-sink: cannot create %s: %s\n", path.c_str(),
                         std::strerror(errno));
        }
    }
    auto abandon = [&] {
        if (storing) {
            file.Close();
            std::error_code ec;
            fs::remove(path, ec);
        }
    };

    char* const block = m_buf.data() + kHead;
    char context[2] = {'\r', '\n'};
    char pending[2] = {};
    std::size_t pendingLen = 0; // a line-start dot (and maybe one byte) still to be classified
    std::uint64_t base = 0;     // stream offset of the first byte after the context
    bool fromCommands = !m_in.empty();

    for (;;) {
        std::size_t n = 0;
        if (fromCommands) {
            // Bytes that arrived together with the DATA line are the start of the message.
            fromCommands = false;
            n = m_in.size();
            std::memcpy(block, m_in.data(), n);
            m_in.clear();
        } else {
            const ssize_t r = m_link.Read(block, kBlock);
            if (r <= 0) {
                abandon();
                return g_stop ? DataEnd::Stop : DataEnd::Closed;
            }
            n = static_cast<std::size_t>(r);
        }

        char* const w = block - pendingLen - 2;
        std::memcpy(w, context, 2);
        std::memcpy(w + 2, pending, pendingLen);
        const std::size_t len = 2 + pendingLen + n;
        std::size_t from = 2; // first byte not yet passed to the file
        std::size_t pos = 2;  // where the dot search resumes
        std::size_t newPending = 0;
        bool done = false;
        std::size_t dot = 0;

        while (pos < len) {
            const void* hit = std::memchr(w + pos, '.', len - pos);
            if (hit == nullptr) {
                break;
            }
            dot = static_cast<std::size_t>(static_cast<const char*>(hit) - w);
            pos = dot + 1;
            if (w[dot - 2] != '\r' || w[dot - 1] != '\n') {
                continue;
            }
            if (dot + 2 >= len) {
                // Whether this dot ends the message depends on bytes not received yet.
                newPending = len - dot;
                break;
            }
            if (storing) {
                file.Add(w + from, dot - from);
            }
            from = dot + 1;
            if (w[dot + 1] == '\r' && w[dot + 2] == '\n') {
                done = true;
                break;
            }
        }

        if (done) {
            const std::uint64_t bytes = base + (dot - 2);
            bool kept = true;
            if (storing) {
                kept = file.Close();
            }
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const double rate = seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0;
            // Whatever followed the terminator in this read is the next command(s).
            m_in.assign(w + dot + 3, len - (dot + 3));
            m_haveMail = false;
            m_haveRcpt = false;
            if (!kept) {
                std::fprintf(stderr, "vellipost-sink: writing %s failed\n", path.c_str());
                abandon();
                Reply("451 could not store the message");
                return DataEnd::Done;
            }
            ++m_delivered;
            const char* const over = m_link.Secure() ? " over TLS" : "";
            if (storing) {
                ++m_stored;
                std::fprintf(stderr, "message %u: %llu bytes in %.3f s, %.1f MB/s, stored %s%s\n",
                             m_stored, static_cast<unsigned long long>(bytes), seconds, rate,
                             path.c_str(), over);
            } else {
                std::fprintf(stderr, "message: %llu bytes in %.3f s, %.1f MB/s%s\n",
                             static_cast<unsigned long long>(bytes), seconds, rate, over);
            }
            Reply("250 OK");
            return DataEnd::Done;
        }

        const std::size_t end = len - newPending;
        if (storing) {
            file.Add(w + from, end > from ? end - from : 0);
            file.Flush();
        }
        base += end - 2;
        std::memcpy(context, w + end - 2, 2);
        std::memcpy(pending, w + end, newPending);
        pendingLen = newPending;
    }
}

CFd Listen(unsigned port) {
    CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.Valid()) {
        Die("socket", errno);
    }
    const int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Die("bind 127.0.0.1:" + std::to_string(port), errno);
    }
    if (::listen(fd.Get(), 16) != 0) {
        Die("listen", errno);
    }
    return fd;
}

unsigned BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        Die("getsockname", errno);
    }
    return ntohs(addr.sin_port);
}

// Written under a temporary name and renamed, so a script polling for the file never reads a
// half-written port.
void WriteReadyFile(const fs::path& path, unsigned port) {
    fs::path tmp = path;
    tmp += ".tmp";
    {
        CFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd.Valid()) {
            Die("cannot create " + tmp.string(), errno);
        }
        const std::string text = std::to_string(port) + "\n";
        if (::write(fd.Get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            Die("cannot write " + tmp.string(), errno);
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        Die("cannot rename to " + path.string(), errno);
    }
}

void InstallSignals() {
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    if (::sigprocmask(SIG_BLOCK, &stopSet, &g_waitMask) != 0) {
        Die("sigprocmask", errno);
    }
    sigdelset(&g_waitMask, SIGINT);
    sigdelset(&g_waitMask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    const Options opt = ParseOptions(argc, argv);
    InstallSignals();
    const SslCtxPtr tls = MakeTlsContext(opt);
    if (opt.store) {
        std::error_code ec;
        fs::create_directories(*opt.store, ec);
        if (ec) {
            Die("cannot create " + opt.store->string(), ec.value());
        }
    }

    const CFd listener = Listen(opt.port);
    const unsigned port = BoundPort(listener.Get());
    std::printf("listening on 127.0.0.1:%u\n", port);
    std::fflush(stdout);
    if (opt.readyFile) {
        WriteReadyFile(*opt.readyFile, port);
    }

    std::vector<char> buf(kHead + kBlock);
    unsigned stored = 0;
    while (WaitReadable(listener.Get())) {
        const CFd conn(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn.Valid()) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED ||
                errno == EINTR) {
                continue;
            }
            Die("accept", errno);
        }
        const int one = 1;
        ::setsockopt(conn.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        CSession session(conn.Get(), opt, tls.get(), buf, stored);
        if (session.Run() == SessionEnd::Stop) {
            break;
        }
        if (opt.once && session.Delivered() > 0) {
            break;
        }
    }
    return 0;
}
