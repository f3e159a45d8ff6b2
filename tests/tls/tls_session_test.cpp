// The TLS build's own cases; the whole mail-core suite runs over TLS besides (tests/mail, through
// the build's front). A certificate that does not prove the server's name stops everything before
// any SMTP server sees a connection; a plain-text server never gets a word in clear; and a
// handshake that never completes keeps to the time limit, calls the wait hook and leaves no plain
// way.
#include "scripted_server.h"
#include "test_mailer.h"
#include "tls_front.h"

#include "mail/connection/connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using mail::CBlockingSocket;
using mail::Msg;
using vtest::ScriptedServer;
using vtest::TestMailer;
using vtest::TlsFront;
using namespace std::chrono_literals;

// A test mailer that trusts the front's certificate and reaches it by host.
class TlsMailer : public TestMailer {
public:
    TlsMailer(const TlsFront& front, const std::string& host)
        : TestMailer(TestMailer::Direct{}, front.port()) {
        core.SetServerForTesting(host, front.port());
        core.SetTrustedCaFileForTesting(front.CertFile());
    }
};

// Nothing of the conversation, the login least of all, in what a server received.
void ExpectNoConversationIn(const std::string& bytes) {
    for (const char* word : {"EHLO", "HELO", "AUTH", "ZGVtbw==", "c2VjcmV0", "MAIL FROM", "DATA"})
        EXPECT_EQ(bytes.find(word), std::string::npos) << word;
}

// The certificate must name the host as it was asked for: an address, or a name (also sent as
// SNI), and chain to a trusted CA. One that does not stops everything before any SMTP server sees
// a connection.
TEST(TlsCertificate, OnlyOneThatProvesTheServerLetsTheMailThrough) {
    const struct {
        const char* name;
        const char* san;
        const char* host;
        bool trustOtherCertificate;
        const char* why; // nullptr: accepted
    } cases[] = {
        {"an address it names", "IP:127.0.0.1", "127.0.0.1", false, nullptr},
        {"a name it names", "DNS:localhost", "localhost", false, nullptr},
        {"another name", "DNS:other.example", "localhost", false, "hostname mismatch"},
        {"a name for an address", "DNS:localhost", "127.0.0.1", false, "IP address mismatch"},
        {"untrusted", "IP:127.0.0.1", "127.0.0.1", true, "self-signed certificate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        TlsFront front(server.port(), c.san);
        TlsFront stranger(server.port(), c.san);
        TlsMailer mailer(front, c.host);
        if (c.trustOtherCertificate)
            mailer.core.SetTrustedCaFileForTesting(stranger.CertFile());
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(front.WaitForHandshakes(1, 5s));
        const auto outcomes = front.HandshakeOutcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        if (!c.why) {
            EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
            EXPECT_EQ(outcomes[0], "");
            EXPECT_EQ(mailer.core.SocketForTesting().FailureReason(), "");
            EXPECT_EQ(server.ConnectionCount(), 1u);
            continue;
        }
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SecureConnectFailed});
        EXPECT_EQ(mailer.core.SocketForTesting().LastError(), CBlockingSocket::Error::Secure);
        EXPECT_NE(mailer.core.SocketForTesting().FailureReason().find(c.why), std::string::npos)
            << mailer.core.SocketForTesting().FailureReason();
        ASSERT_EQ(mailer.Notices().size(), 1u);
        EXPECT_NE(mail::NoticeDetail(mailer.Notices()[0]).find(c.why), std::string::npos)
            << "the box tells the user why";
        // The client, not the server, ended the handshake, with an alert saying why.
        EXPECT_NE(outcomes[0].find("alert"), std::string::npos) << outcomes[0];
        EXPECT_EQ(server.ConnectionCount(), 0u);
    }
}

TEST(TlsPlainServer, APlainTextServerGetsNothingButTheHello) {
    const struct {
        const char* name;
        vtest::Action greeting;
        // Why the handshake failed; a close races the ClientHello, which the server may answer
        // with a reset.
        std::vector<CBlockingSocket::Error> errors;
    } cases[] = {
        {"greets in plain text",
         vtest::Reply("220 localhost ESMTP ready\r\n"),
         {CBlockingSocket::Error::Secure}},
        {"closes at once",
         vtest::Close(),
         {CBlockingSocket::Error::Closed, CBlockingSocket::Error::Io}},
        {"stays silent", vtest::Silent(), {CBlockingSocket::Error::TimedOut}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto script = vtest::HappyScript();
        script[vtest::kGreeting] = c.greeting;
        ScriptedServer server(script);
        // Straight to the server, trusting the system's store, as the program does.
        TestMailer mailer(TestMailer::Direct{}, server.port());
        mail::Timeouts t;
        t.connect = 300ms;
        t.reply = 300ms;
        t.endOfData = 300ms;
        mailer.core.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SecureConnectFailed});
        EXPECT_NE(
            std::find(c.errors.begin(), c.errors.end(), mailer.core.SocketForTesting().LastError()),
            c.errors.end())
            << static_cast<int>(mailer.core.SocketForTesting().LastError());
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(server.WaitForClientClose(5s));
        const std::string got = server.Transcript();
        // At most a TLS handshake record (the ClientHello) and perhaps an alert.
        if (!got.empty()) {
            EXPECT_EQ(got.substr(0, 2), "\x16\x03");
        }
        ExpectNoConversationIn(got);
    }
}

TEST(TlsSocket, AHandshakeThatNeverCompletesTimesOutCallsTheHookAndLeavesNoPlainWay) {
    ScriptedServer server({vtest::Silent()});
    CBlockingSocket socket;
    int hookCalls = 0;
    socket.SetWaitHook([&] { ++hookCalls; });
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    // Long enough for many hook slices even when setting up OpenSSL is slow on a busy machine.
    EXPECT_FALSE(socket.StartTls("127.0.0.1", 1s));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
    EXPECT_GE(hookCalls, 2);
    // Until Close() the socket stays a TLS socket: what is sent now must not go out in clear.
    const std::string helo = "EHLO smtp.example\r\n";
    EXPECT_FALSE(socket.Send(helo.data(), helo.size(), 1s));
    socket.Close();
    ASSERT_TRUE(server.WaitForClientClose(5s));
    ExpectNoConversationIn(server.Transcript());
}

} // namespace
