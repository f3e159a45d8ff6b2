// The blocking socket on its own: bounded waits, the wait hook, abort from another thread, and no
// SIGPIPE when the peer is gone.
#include "mail/socket.h"
#include "scripted_server.h"

#include <gtest/gtest.h>

#include <thread>

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
    EXPECT_GE(hookCalls, 2);
}

TEST(Socket, AbortWakesABlockedReceiveFromAnotherThread) {
    vtest::ScriptedServer server({vtest::Silent()});
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    std::thread aborter([&] {
        std::this_thread::sleep_for(50ms);
        socket.Abort();
    });
    char buf[16];
    EXPECT_EQ(socket.Receive(buf, sizeof buf, 60s), -1);
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Aborted);
    aborter.join();
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

TEST(Socket, UnknownHostFailsToResolve) {
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("no-such-host.invalid", 25, 5s));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Resolve);
}

} // namespace
