// The blocking socket on its own, over the build's transport: bounded waits, the name lookup among
// them, the wait hook, abort from another thread, an orderly close, and no SIGPIPE when the peer
// is gone.
#include "asleep.h"
#include "scripted_server.h"
#include "server_front.h"

#include "mail/connection/connection.h"
#include "mail/constants.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using mail::CBlockingSocket;

// socket connected to the server behind front by host, with the build's stream open.
void Open(CBlockingSocket& socket, const vtest::ServerFront& front,
          const std::string& host = "127.0.0.1") {
    socket.SetTrustedCaFileForTesting(front.CaFile());
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect(host, front.port(), 5s));
    if (mail::IMPLICIT_TLS) {
        ASSERT_TRUE(socket.StartTls(host, 5s)) << socket.FailureReason();
    }
}

TEST(Socket, ConnectsByNameOverIpv4AndReceivesTheGreeting) {
    vtest::ScriptedServer server;
    vtest::ServerFront front(server.port());
    CBlockingSocket socket;
    ASSERT_NO_FATAL_FAILURE(Open(socket, front, "localhost"));
    char buf[64];
    const ssize_t n = socket.Receive(buf, sizeof buf, 5s);
    ASSERT_GT(n, 3);
    EXPECT_EQ(std::string(buf, 3), "220");
}

TEST(Socket, ASilentPeerTimesOutAndCallsTheWaitHook) {
    vtest::ScriptedServer server({vtest::Silent()});
    vtest::ServerFront front(server.port());
    CBlockingSocket socket;
    ASSERT_NO_FATAL_FAILURE(Open(socket, front));
    int hookCalls = 0;
    socket.SetWaitHook([&] { ++hookCalls; });
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
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        vtest::ScriptedServer server;
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
                    lookup->Answer({}, "Name or service not known");
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
        // The resolver's own words come with its failure, and only with it.
        EXPECT_EQ(socket.FailureReason(),
                  c.nameServer == NameServer::NoSuchName ? "Name or service not known" : "");
        // Connected to the address the name server gave, or to nothing at all.
        if (connects)
            EXPECT_TRUE(server.WaitForConnections(1, 5s));
        else
            EXPECT_EQ(server.ConnectionCount(), 0u);
    }
}

TEST(Socket, AConnectToAPortWithoutListenerIsRefusedWithTheSystemsReason) {
    std::uint16_t port;
    {
        vtest::ScriptedServer gone;
        port = gone.port();
    }
    CBlockingSocket socket;
    ASSERT_TRUE(socket.Create());
    EXPECT_FALSE(socket.Connect("127.0.0.1", port, 5s));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Refused);
    EXPECT_EQ(socket.FailureReason(), "Connection refused");
}

TEST(Socket, AbortFromAnotherThreadWakesABlockedCall) {
    enum class Call { Lookup, Receive, Send };
    for (const Call call : {Call::Lookup, Call::Receive, Call::Send}) {
        SCOPED_TRACE(call == Call::Lookup    ? "a connect waiting for the name server"
                     : call == Call::Receive ? "a receive"
                                             : "a send waiting for room");
        vtest::ScriptedServer server({call == Call::Send ? vtest::StopReading() : vtest::Silent()});
        vtest::ServerFront front(server.port());
        CBlockingSocket socket;
        if (call == Call::Lookup) {
            ASSERT_TRUE(socket.Create());
            socket.SetResolver([](const std::string&, std::uint16_t,
                                  std::shared_ptr<mail::Lookup>) {}); // never answers
        } else {
            ASSERT_NO_FATAL_FAILURE(Open(socket, front));
        }
        const std::string block(call == Call::Send ? 64 << 20 : 0, 'x');
        const pid_t caller = gettid();
        std::thread aborter([&] {
            vtest::WaitUntilAsleep(caller, 10s); // the call waits: for the name, bytes, or room
            socket.Abort();
        });
        char buf[16];
        if (call == Call::Lookup)
            EXPECT_FALSE(socket.Connect("smtp.example.invalid", front.port(), 60s));
        else if (call == Call::Receive)
            EXPECT_EQ(socket.Receive(buf, sizeof buf, 60s), -1);
        else
            EXPECT_FALSE(socket.Send(block.data(), block.size(), 60s));
        EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Aborted);
        aborter.join();
    }
}

TEST(Socket, AnOrderlyCloseFromTheServerReadsAsClosed) {
    vtest::ScriptedServer server({vtest::Reply("220 bye\r\n"), vtest::Close()});
    vtest::ServerFront front(server.port());
    CBlockingSocket socket;
    ASSERT_NO_FATAL_FAILURE(Open(socket, front));
    char buf[64];
    ASSERT_EQ(socket.Receive(buf, sizeof buf, 5s), 9);
    EXPECT_EQ(std::string(buf, 9), "220 bye\r\n");
    ASSERT_TRUE(socket.Send("x\r\n", 3, 5s));
    EXPECT_EQ(socket.Receive(buf, sizeof buf, 5s), 0);
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Closed);
}

TEST(Socket, SendingToAClosedPeerFailsWithoutSigpipe) {
    vtest::ScriptedServer server({vtest::Close()});
    vtest::ServerFront front(server.port());
    CBlockingSocket socket;
    ASSERT_NO_FATAL_FAILURE(Open(socket, front));
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const std::string block(1 << 20, 'x');
    bool sent = true;
    for (int i = 0; i < 20 && sent; ++i)
        sent = socket.Send(block.data(), block.size(), 1s);
    EXPECT_FALSE(sent); // and the process is still alive to say so
}

TEST(Socket, APeerThatStopsReadingFailsTheSendAfterTheStallLimit) {
    vtest::ScriptedServer server({vtest::StopReading()});
    vtest::ServerFront front(server.port());
    CBlockingSocket socket;
    ASSERT_NO_FATAL_FAILURE(Open(socket, front));
    const std::string block(64 << 20, 'x');
    EXPECT_FALSE(socket.Send(block.data(), block.size(), 300ms));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
}

} // namespace
