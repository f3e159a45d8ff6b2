#include "scripted_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using vtest::ScriptedServer;

// Generous bounds: they only turn a hang into a failure.
constexpr auto kWait = 5s;

// A bare blocking client, so the server is checked without any of the code it will test.
class Client {
public:
    explicit Client(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (!fd_) {
            ADD_FAILURE() << "socket: " << errno;
            return;
        }
        timeval timeout{5, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ADD_FAILURE() << "connect: " << errno;
        }
    }

    int fd() const { return fd_.get(); }

    void Send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) {
                ADD_FAILURE() << "send: " << errno;
                return;
            }
            sent += static_cast<size_t>(n);
        }
    }

    // Separate writes with a pause between, so the server sees them as separate reads.
    void SendPieces(std::initializer_list<std::string> pieces) {
        for (const std::string& piece : pieces) {
            Send(piece);
            std::this_thread::sleep_for(5ms);
        }
    }

    // Reads exactly n bytes, or less if the connection ends or the read times out.
    std::string Read(size_t n) {
        std::string out;
        char buffer[4096];
        while (out.size() < n) {
            ssize_t got = ::recv(fd_.get(), buffer, std::min(sizeof buffer, n - out.size()), 0);
            if (got <= 0) {
                break;
            }
            out.append(buffer, static_cast<size_t>(got));
        }
        return out;
    }

    // 0 on orderly EOF, -1 on timeout or error, 1 if data arrived instead.
    int ReadEof() {
        char c = 0;
        ssize_t got = ::recv(fd_.get(), &c, 1, 0);
        return got > 0 ? 1 : static_cast<int>(got);
    }

    // Sends a command and returns the reply of the same length as `expected`.
    std::string Exchange(const std::string& command, const std::string& expected) {
        Send(command);
        return Read(expected.size());
    }

    void Close() { fd_ = vtest::UniqueFd(); }

private:
    vtest::UniqueFd fd_;
};

std::string ReplyText(vtest::Step step) {
    return vtest::HappyScript()[step].text;
}

TEST(ScriptedServerTest, HappyConversationIsRecordedUnitByUnit) {
    ScriptedServer server;
    Client client(server.port());
    EXPECT_EQ(client.Read(ReplyText(vtest::kGreeting).size()), ReplyText(vtest::kGreeting));

    const std::vector<std::pair<std::string, vtest::Step>> commands = {
        {"EHLO smtp.example\r\n", vtest::kEhlo},
        {"AUTH LOGIN\r\n", vtest::kAuth},
        {"dXNlcg==\r\n", vtest::kUser},
        {"cGFzcw==\r\n", vtest::kPass},
        {"MAIL FROM: <a@example>\r\n", vtest::kMail},
        {"RCPT TO: <b@example>\r\n", vtest::kRcpt},
        {"DATA\r\n", vtest::kData},
    };
    std::vector<std::string> expectedUnits;
    for (const auto& [command, step] : commands) {
        EXPECT_EQ(client.Exchange(command, ReplyText(step)), ReplyText(step)) << command;
        expectedUnits.push_back(command);
    }

    // ".\r\n" after text, a bare LF and a terminator split across writes must not end the block.
    client.SendPieces({"Subject: x\r\n\r\nend.", "\r\n", "a\nb.\r\n\r", "\n", ".", "\r\n"});
    expectedUnits.push_back("Subject: x\r\n\r\nend.\r\na\nb.\r\n\r\n.\r\n");
    EXPECT_EQ(client.Read(ReplyText(vtest::kEndOfData).size()), ReplyText(vtest::kEndOfData));

    // Back in command mode: a line split across writes, even between CR and LF, is one unit.
    client.SendPieces({"qu", "it\r", "\n"});
    expectedUnits.push_back("quit\r\n");
    EXPECT_EQ(client.Read(ReplyText(vtest::kQuit).size()), ReplyText(vtest::kQuit));
    client.Close();

    ASSERT_TRUE(server.WaitForClientClose(kWait));
    EXPECT_EQ(server.Units(), expectedUnits);
    std::string all;
    for (const std::string& unit : expectedUnits) {
        all += unit;
    }
    EXPECT_EQ(server.Transcript(), all);
    EXPECT_EQ(server.DataUnitSizes(), std::vector<uint64_t>{expectedUnits[vtest::kData].size()});
    EXPECT_EQ(server.ConnectionCount(), 1u);
}

TEST(ScriptedServerTest, DataBlockEndsExactlyAtTerminator) {
    struct Case {
        const char* name;
        std::initializer_list<std::string> pieces;
        std::string unit;
    };
    const Case cases[] = {
        {"empty block", {".\r\n"}, ".\r\n"},
        {"empty line", {"\r\n.\r\n"}, "\r\n.\r\n"},
        {"dot-stuffed first line", {"..\r\n.\r\n"}, "..\r\n.\r\n"},
        {"CR before terminator", {"x\r\r\n.\r\n"}, "x\r\r\n.\r\n"},
        {"near miss then terminator", {"x\r\n.\r\r\n.\r\n"}, "x\r\n.\r\r\n.\r\n"},
        {"terminator byte by byte", {"x", "\r", "\n", ".", "\r", "\n"}, "x\r\n.\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({vtest::Reply("220 hi\r\n"), vtest::Reply("354 go\r\n"),
                               vtest::Reply("250 ok\r\n"), vtest::Reply("221 bye\r\n")});
        Client client(server.port());
        EXPECT_EQ(client.Read(8), "220 hi\r\n");
        EXPECT_EQ(client.Exchange("DATA\r\n", "354 go\r\n"), "354 go\r\n");
        client.SendPieces(c.pieces);
        EXPECT_EQ(client.Read(8), "250 ok\r\n");
        EXPECT_EQ(client.Exchange("QUIT\r\n", "221 bye\r\n"), "221 bye\r\n");
        client.Close();
        ASSERT_TRUE(server.WaitForClientClose(kWait));
        EXPECT_EQ(server.Units(), (std::vector<std::string>{"DATA\r\n", c.unit, "QUIT\r\n"}));
    }
}

TEST(ScriptedServerTest, UnrecordedDataKeepsTailAndSize) {
    ScriptedServer server({vtest::Reply("354 go\r\n"), vtest::Reply("250 ok\r\n")});
    server.SetRecordData(false);
    Client client(server.port());
    EXPECT_EQ(client.Read(8), "354 go\r\n");
    std::string data;
    for (int i = 0; data.size() < 1024 * 1024; ++i) {
        data += "line " + std::to_string(i) + "\r\n";
    }
    data += ".\r\n";
    // A short last write leaves the server more than the tail to trim at the end.
    client.SendPieces({data.substr(0, data.size() - 100), data.substr(data.size() - 100)});
    EXPECT_EQ(client.Read(8), "250 ok\r\n");
    client.Close();
    ASSERT_TRUE(server.WaitForClientClose(kWait));
    std::string tail = data.substr(data.size() - ScriptedServer::kDataTailSize);
    EXPECT_EQ(server.Units(), std::vector<std::string>{tail});
    EXPECT_EQ(server.Transcript(), tail);
    EXPECT_EQ(server.DataUnitSizes(), std::vector<uint64_t>{data.size()});
}

TEST(ScriptedServerTest, ReplyInOneBytePiecesArrivesWhole) {
    const std::string text = "250-first line\r\n250 second line\r\n";
    ScriptedServer server({vtest::Reply(text, 1, 1ms)});
    Client client(server.port());
    EXPECT_EQ(client.Read(text.size()), text);
}

TEST(ScriptedServerTest, CloseAtGreetingGivesEof) {
    ScriptedServer server({vtest::Close(), vtest::Reply("220 never\r\n")});
    Client client(server.port());
    EXPECT_EQ(client.ReadEof(), 0);
    EXPECT_TRUE(server.WaitForClientClose(kWait));
    EXPECT_EQ(server.Transcript(), "");
}

TEST(ScriptedServerTest, DestructorReturnsPromptlyWhileSilent) {
    auto server = std::make_unique<ScriptedServer>(
        std::vector<vtest::Action>{vtest::Reply("220 hi\r\n"), vtest::Silent()});
    Client client(server->port());
    EXPECT_EQ(client.Read(8), "220 hi\r\n");
    client.Send("HELO x\r\n");
    ASSERT_TRUE(server->WaitForUnits(1, kWait));
    EXPECT_EQ(server->Units(), std::vector<std::string>{"HELO x\r\n"});
    EXPECT_FALSE(server->WaitForClientClose(50ms)); // Silent keeps the connection open

    auto start = std::chrono::steady_clock::now();
    server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s); // a hang, not a speed measurement
    EXPECT_EQ(client.ReadEof(), 0);
}

TEST(ScriptedServerTest, StopReadingBlocksASendingClient) {
    ScriptedServer server({vtest::Reply("220 hi\r\n"), vtest::StopReading()});
    Client client(server.port());
    EXPECT_EQ(client.Read(8), "220 hi\r\n");
    client.Send("DATA\r\n");
    ASSERT_TRUE(server.WaitForUnits(1, kWait));
    ASSERT_EQ(::fcntl(client.fd(), F_SETFL, ::fcntl(client.fd(), F_GETFL) | O_NONBLOCK), 0);
    // Both socket buffers are bounded, so the sends must end in EAGAIN; if the server kept
    // reading this would run to the limit.
    const std::string block(64 * 1024, 'x');
    size_t sent = 0;
    bool blocked = false;
    while (sent < 256u * 1024 * 1024) {
        ssize_t n = ::send(client.fd(), block.data(), block.size(), MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            blocked = true;
            break;
        }
        ASSERT_GT(n, 0) << "send: " << errno;
        sent += static_cast<size_t>(n);
    }
    EXPECT_TRUE(blocked) << sent << " bytes sent without blocking";
}

TEST(ScriptedServerTest, EachConnectionReplaysTheScriptAndSetScriptAppliesToTheNext) {
    ScriptedServer server({vtest::Reply("220 hi\r\n"), vtest::Reply("250 ok\r\n")});
    for (const char* helo : {"HELO a\r\n", "HELO b\r\n"}) {
        Client client(server.port());
        EXPECT_EQ(client.Read(8), "220 hi\r\n");
        EXPECT_EQ(client.Exchange(helo, "250 ok\r\n"), "250 ok\r\n");
        // The script is exhausted: the server ends the conversation at the next unit.
        client.Send("NOOP\r\n");
        EXPECT_EQ(client.ReadEof(), 0);
    }
    server.SetScript({vtest::Reply("421 busy\r\n")});
    Client third(server.port());
    EXPECT_EQ(third.Read(10), "421 busy\r\n");

    ASSERT_TRUE(server.WaitForConnections(3, kWait));
    EXPECT_EQ(server.Units(0), (std::vector<std::string>{"HELO a\r\n", "NOOP\r\n"}));
    EXPECT_EQ(server.Units(1), (std::vector<std::string>{"HELO b\r\n", "NOOP\r\n"}));
    EXPECT_EQ(server.Transcripts().size(), 3u);
    EXPECT_TRUE(server.Units(3).empty());
}

} // namespace
