// The blocking socket on its own: bounded waits, the name lookup among them, the wait hook, abort
// from another thread, and no SIGPIPE when the peer is gone.
#include "asleep.h"
#include "mail/socket.h"
#include "scripted_server.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using mail::CBlockingSocket;

TEST(Socket, ConnectsByNameOverIpv4AndReceivesTheGreeting) {
    vtest::ScriptedServer server;
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("localhost", server.port(), 5s));
    char buf[64];
    const ssize_t n = socket.Receive(buf, sizeof buf, 5s);
    ASSERT_GT(n, 3);
    EXPECT_EQ(std::string(buf, 3), "220");
}

TEST(Socket, ASilentPeerTimesOutAndCallsTheWaitHook) {
    vtest::ScriptedServer server({vtest::Silent()});
    CBlockingSocket socket;
    int hookCalls = 0;
    socket.SetWaitHook([&] { ++hookCalls; });
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    char buf[16];
    EXPECT_EQ(socket.Receive(buf, sizeof buf, 200ms), -1);
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
    EXPECT_GE(hookCalls, 1);
}

// The name server through the resolver seam (no test asks the system's resolver for a name but
// "localhost"): the lookup shares the connect limit, and the wait hook runs while it waits.
TEST(Socket, TheNameLookupRunsInsideTheConnectLimitWithTheWaitHook) {
    enum class NameServer { AnswersAtOnce, AnswersOnTheThirdHookCall, NeverAnswers, NoSuchName };
    const struct {
        const char* name;
        NameServer nameServer;
        CBlockingSocket::Error error;
    } cases[] = {
        {"answers at once", NameServer::AnswersAtOnce, CBlockingSocket::Error::None},
        {"answers late", NameServer::AnswersOnTheThirdHookCall, CBlockingSocket::Error::None},
        {"never answers", NameServer::NeverAnswers, CBlockingSocket::Error::TimedOut},
        {"knows no such name", NameServer::NoSuchName, CBlockingSocket::Error::Resolve},
    };
    vtest::ScriptedServer server;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool connects = c.error == CBlockingSocket::Error::None;
        CBlockingSocket socket;
        std::shared_ptr<mail::Lookup> asked;
        socket.SetResolver(
            [&](const std::string& host, std::uint16_t port, std::shared_ptr<mail::Lookup> lookup) {
                EXPECT_EQ(host, "smtp.example.invalid");
                EXPECT_EQ(port, server.port());
                asked = lookup;
                if (c.nameServer == NameServer::AnswersAtOnce)
                    mail::ResolveWithSystem("127.0.0.1", port, lookup);
                if (c.nameServer == NameServer::NoSuchName)
                    lookup->Answer({});
            });
        int hookCalls = 0;
        socket.SetWaitHook([&] {
            if (++hookCalls == 3 && c.nameServer == NameServer::AnswersOnTheThirdHookCall)
                mail::ResolveWithSystem("127.0.0.1", server.port(), asked);
        });
        ASSERT_TRUE(socket.Create());
        EXPECT_EQ(socket.Connect("smtp.example.invalid", server.port(), connects ? 10s : 200ms),
                  connects);
        EXPECT_EQ(socket.LastError(), c.error);
        if (c.nameServer == NameServer::NeverAnswers) {
            EXPECT_GE(hookCalls, 1) << "the wait hook did not run while the lookup waited";
        }
        if (connects) {
            char buf[64];
            ASSERT_GT(socket.Receive(buf, sizeof buf, 5s), 3);
            EXPECT_EQ(std::string(buf, 3), "220");
        }
    }
}

TEST(Socket, AbortFromAnotherThreadWakesABlockedCall) {
    vtest::ScriptedServer server({vtest::Silent()});
    for (const bool lookup : {true, false}) {
        SCOPED_TRACE(lookup ? "a connect waiting for the name server" : "a receive");
        CBlockingSocket socket;
        ASSERT_TRUE(socket.Create());
        if (lookup)
            socket.SetResolver([](const std::string&, std::uint16_t,
                                  std::shared_ptr<mail::Lookup>) {}); // never answers
        else
            ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
        const pid_t caller = gettid();
        std::thread aborter([&] {
            vtest::WaitUntilAsleep(caller, 10s);
            socket.Abort();
        });
        char buf[16];
        if (lookup)
            EXPECT_FALSE(socket.Connect("smtp.example.invalid", server.port(), 60s));
        else
            EXPECT_EQ(socket.Receive(buf, sizeof buf, 60s), -1);
        EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Aborted);
        aborter.join();
    }
}

TEST(Socket, SendingToAClosedPeerFailsWithoutSigpipe) {
    vtest::ScriptedServer server({vtest::Close()});
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const std::string block(1 << 20, 'x');
    bool sent = true;
    for (int i = 0; i < 20 && sent; ++i)
        sent = socket.Send(block.data(), block.size(), 1s);
    EXPECT_FALSE(sent); // and the process is still alive to say so
}

TEST(Socket, APeerThatStopsReadingFailsTheSendAfterTheStallLimit) {
    vtest::ScriptedServer server({vtest::StopReading()});
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    const std::string block(64 << 20, 'x');
    EXPECT_FALSE(socket.Send(block.data(), block.size(), 300ms));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
}

} // namespace
