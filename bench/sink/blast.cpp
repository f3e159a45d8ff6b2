// vellipost-sink-blast: pushes one large base64-shaped message at a sink on 127.0.0.1 as fast as
// send() allows, to show the ceiling the sink (and loopback) leaves for the real clients.
//   vellipost-sink-blast PORT [MIB]   (default 2048 MiB)

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

class CFd {
public:
    explicit CFd(int fd) : m_fd(fd) {}
    ~CFd() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    int Get() const { return m_fd; }

private:
    int m_fd;
};

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "vellipost-sink-blast: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void SendAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            Fail("send");
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
}

// Reads one reply (all lines of a multi-line one) and checks its code.
void Expect(int fd, std::string& pending, std::string_view code) {
    for (;;) {
        const std::size_t nl = pending.find('\n');
        if (nl != std::string::npos) {
            const std::string line = pending.substr(0, nl);
            pending.erase(0, nl + 1);
            if (line.compare(0, 3, code) != 0) {
                std::fprintf(stderr, "vellipost-sink-blast: expected %.*s, got %s\n",
                             static_cast<int>(code.size()), code.data(), line.c_str());
                std::exit(1);
            }
            if (line.size() > 3 && line[3] == '-') {
                continue;
            }
            return;
        }
        char buf[4096];
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0) {
            Fail("recv");
        }
        pending.append(buf, static_cast<std::size_t>(r));
    }
}

void Command(int fd, std::string& pending, std::string_view line, std::string_view code) {
    const std::string text = std::string(line) + "\r\n";
    SendAll(fd, text.data(), text.size());
    Expect(fd, pending, code);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: vellipost-sink-blast PORT [MIB]\n");
        return 2;
    }
    const int port = std::atoi(argv[1]);
    const std::uint64_t mib = argc == 3 ? std::strtoull(argv[2], nullptr, 10) : 2048;
    const std::uint64_t total = mib << 20;

    // Base64 body lines as a MIME encoder writes them: 76 characters and CRLF, no dots.
    constexpr std::size_t kLine = 78;
    constexpr std::size_t kLinesPerBlock = (std::size_t{1} << 20) / kLine;
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::vector<char> block(kLinesPerBlock * kLine);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = kAlphabet[(i * 7 + i / 13) % 64];
    }
    for (std::size_t i = kLine - 2; i < block.size(); i += kLine) {
        block[i] = '\r';
        block[i + 1] = '\n';
    }

    const CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) {
        Fail("socket");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        Fail("connect");
    }

    std::string pending;
    Expect(fd.Get(), pending, "220");
    Command(fd.Get(), pending, "EHLO blast", "250");
    Command(fd.Get(), pending, "MAIL FROM:<a@example.com>", "250");
    Command(fd.Get(), pending, "RCPT TO:<b@example.com>", "250");
    Command(fd.Get(), pending, "DATA", "354");

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t sent = 0;
    while (sent < total) {
        // Whole lines only, so the message stays well-formed at any size.
        std::uint64_t n = std::min<std::uint64_t>(block.size(), total - sent);
        n -= n % kLine;
        if (n == 0) {
            break;
        }
        SendAll(fd.Get(), block.data(), static_cast<std::size_t>(n));
        sent += n;
    }
    SendAll(fd.Get(), ".\r\n", 3);
    Expect(fd.Get(), pending, "250");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Command(fd.Get(), pending, "QUIT", "221");

    std::printf("sent %llu bytes in %.3f s: %.1f MB/s\n", static_cast<unsigned long long>(sent),
                seconds, static_cast<double>(sent) / seconds / 1e6);
    return 0;
}
