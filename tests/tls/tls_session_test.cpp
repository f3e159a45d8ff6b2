// The TLS build of the mail core against the scripted server behind a TLS front: the conversation
// inside TLS is byte for byte the plain one; a certificate that does not prove the server's name
// stops everything before any SMTP server sees a connection; a plain-text server never gets a word
// in clear; and the socket's limits, wait hook and abort hold inside TLS.
#include "asleep.h"
#include "scripted_server.h"
#include "test_mailer.h"
#include "tls_front.h"

#include "mail/socket.h"

#include <gtest/gtest.h>

#include <thread>
#include <unistd.h>

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
    TlsMailer(const TlsFront& front, const std::string& host = "127.0.0.1")
        : TestMailer(front.port()) {
        SetServerForTesting(host, front.port());
        m_socket.SetTrustedCaFileForTesting(front.CertFile());
    }
};

// What a text mail puts on the wire, written out from the protocol, not from the code.
std::string TextMailTranscript() {
    const std::string from = "demo@" + std::string(mail::MAIL_DOMAIN);
    return "EHLO " + std::string(mail::SMTP_HOST) +
           "\r\n"
           "AUTH LOGIN\r\n"
           "ZGVtbw==\r\n" // demo
           "c2VjcmV0\r\n" // secret
           "MAIL FROM:<" +
           from +
           ">\r\n"
           "RCPT TO:<friend@example.com>\r\n"
           "DATA\r\n" +
           vtest::ExpectedFilledMailHead() + vtest::kClosing + "quit\r\n";
}

// Nothing of the conversation, the login least of all, in what a server received.
void ExpectNoConversationIn(const std::string& bytes) {
    for (const char* word : {"EHLO", "HELO", "AUTH", "ZGVtbw==", "c2VjcmV0", "MAIL FROM", "DATA"})
        EXPECT_EQ(bytes.find(word), std::string::npos) << word;
}

TEST(TlsConversation, TextMailGoesOutByteForByteInsideTls) {
    // The certificate names the host as it was asked for: an address, or a name (also sent as SNI).
    const struct {
        const char* san;
        const char* host;
    } cases[] = {{"IP:127.0.0.1", "127.0.0.1"}, {"DNS:localhost", "localhost"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host);
        ScriptedServer server;
        TlsFront front(server.port(), c.san);
        TlsMailer mailer(front, c.host);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(server.WaitForClientClose(5s));
        EXPECT_EQ(server.Transcript(), TextMailTranscript());
        EXPECT_EQ(front.HandshakeOutcomes(), std::vector<std::string>{""});
        EXPECT_EQ(mailer.m_socket.TlsFailureText(), "");
    }
}

TEST(TlsConversation, RepliesInTinyRecordsAndMultiLineRepliesKeepTheLockStep) {
    auto script = vtest::HappyScript();
    // Pieces a little apart reach the front separately and so travel as records of their own.
    script[vtest::kGreeting] = vtest::Reply("220-smtp.example\r\n220 ready\r\n", 1, 1ms);
    script[vtest::kEhlo] = vtest::Reply("250-hello\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n", 3, 1ms);
    script[vtest::kPass] = vtest::Reply("235 Authentication successful\r\n", 1, 1ms);
    ScriptedServer server(script);
    TlsFront front(server.port(), "IP:127.0.0.1");
    TlsMailer mailer(front);
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_EQ(server.Transcript(), TextMailTranscript());
}

TEST(TlsConversation, FailuresInsideTlsEndTheSessionAsInPlainText) {
    const struct {
        const char* name;
        vtest::Step step;
        vtest::Action action;
        std::vector<Msg> seen;
        size_t units; // what the server received before the session ended
    } cases[] = {
        {"wrong password",
         vtest::kPass,
         vtest::Reply("535 auth failed\r\n"),
         {Msg::WrongAccount},
         4},
        {"closed at DATA", vtest::kData, vtest::Close(), {Msg::ReceiveFailed}, 7},
        {"silent greeting", vtest::kGreeting, vtest::Silent(), {Msg::ReceiveFailed}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto script = vtest::HappyScript();
        script[c.step] = c.action;
        ScriptedServer server(script);
        TlsFront front(server.port(), "IP:127.0.0.1");
        TlsMailer mailer(front);
        mail::Timeouts t;
        t.connect = 5s;
        t.reply = 300ms;
        t.endOfData = 300ms;
        mailer.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), c.seen);
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(server.WaitForClientClose(5s));
        EXPECT_EQ(server.Units().size(), c.units);
    }
}

TEST(TlsCertificate, OneThatDoesNotProveTheServerReachesNoSmtpServer) {
    const struct {
        const char* name;
        const char* san;
        const char* host;
        bool trustOtherCertificate;
        const char* why;
    } cases[] = {
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
            mailer.m_socket.SetTrustedCaFileForTesting(stranger.CertFile());
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SecureConnectFailed});
        EXPECT_TRUE(mailer.SessionClosed());
        EXPECT_NE(mailer.m_socket.TlsFailureText().find(c.why), std::string::npos)
            << mailer.m_socket.TlsFailureText();
        ASSERT_EQ(mailer.Notices().size(), 1u);
        EXPECT_NE(mailer.Notices()[0].detail.find(c.why), std::string::npos)
            << "the box tells the user why";
        // The client, not the server, ended the handshake, with an alert saying why.
        ASSERT_TRUE(front.WaitForHandshakes(1, 5s));
        const auto outcomes = front.HandshakeOutcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_NE(outcomes[0].find("alert"), std::string::npos) << outcomes[0];
        EXPECT_EQ(server.ConnectionCount(), 0u);
    }
}

TEST(TlsPlainServer, APlainTextServerGetsNothingButTheHello) {
    const struct {
        const char* name;
        vtest::Action greeting;
    } cases[] = {
        {"greets in plain text", vtest::Reply("220 localhost ESMTP ready\r\n")},
        {"closes at once", vtest::Close()},
        {"stays silent", vtest::Silent()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto script = vtest::HappyScript();
        script[vtest::kGreeting] = c.greeting;
        ScriptedServer server(script);
        TestMailer mailer(server.port()); // trusts the system's store, as the program does
        mail::Timeouts t;
        t.connect = 300ms;
        t.reply = 300ms;
        t.endOfData = 300ms;
        mailer.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SecureConnectFailed});
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

// A connected socket with TLS started towards a front, or a failed test.
void StartTls(CBlockingSocket& socket, const TlsFront& front) {
    ASSERT_TRUE(socket.Create());
    socket.SetTrustedCaFileForTesting(front.CertFile());
    ASSERT_TRUE(socket.Connect("127.0.0.1", front.port(), 5s));
    ASSERT_TRUE(socket.OpenStream("127.0.0.1", 5s)) << socket.TlsFailureText();
}

TEST(TlsSocket, AHandshakeThatNeverCompletesTimesOutCallsTheHookAndLeavesNoPlainWay) {
    ScriptedServer server({vtest::Silent()});
    CBlockingSocket socket;
    int hookCalls = 0;
    socket.SetWaitHook([&] { ++hookCalls; });
    ASSERT_TRUE(socket.Create());
    ASSERT_TRUE(socket.Connect("127.0.0.1", server.port(), 5s));
    // Long enough for many hook slices even when setting up OpenSSL is slow on a busy machine.
    EXPECT_FALSE(socket.OpenStream("127.0.0.1", 1s));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
    EXPECT_GE(hookCalls, 2);
    // Until Close() the socket stays a TLS socket: what is sent now must not go out in clear.
    const std::string helo = "EHLO smtp.example\r\n";
    EXPECT_FALSE(socket.Send(helo.data(), helo.size(), 1s));
    socket.Close();
    ASSERT_TRUE(server.WaitForClientClose(5s));
    ExpectNoConversationIn(server.Transcript());
}

TEST(TlsSocket, AnOrderlyCloseFromTheServerReadsAsClosed) {
    ScriptedServer server({vtest::Reply("220 bye\r\n"), vtest::Close()});
    TlsFront front(server.port(), "IP:127.0.0.1");
    CBlockingSocket socket;
    StartTls(socket, front);
    char buf[64];
    ASSERT_EQ(socket.Receive(buf, sizeof buf, 5s), 9);
    EXPECT_EQ(std::string(buf, 9), "220 bye\r\n");
    ASSERT_TRUE(socket.Send("x\r\n", 3, 5s));
    EXPECT_EQ(socket.Receive(buf, sizeof buf, 5s), 0);
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Closed);
}

TEST(TlsSocket, APeerThatStopsReadingFailsTheSendAfterTheStallLimit) {
    ScriptedServer server({vtest::StopReading()});
    TlsFront front(server.port(), "IP:127.0.0.1");
    CBlockingSocket socket;
    StartTls(socket, front);
    const std::string block(64 << 20, 'x');
    EXPECT_FALSE(socket.Send(block.data(), block.size(), 300ms));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::TimedOut);
}

TEST(TlsSocket, AbortWakesASendBlockedInsideTls) {
    ScriptedServer server({vtest::StopReading()});
    TlsFront front(server.port(), "IP:127.0.0.1");
    CBlockingSocket socket;
    StartTls(socket, front);
    const pid_t sender = gettid();
    std::thread aborter([&] {
        vtest::WaitUntilAsleep(sender, 10s); // the buffers are full and the send waits for room
        socket.Abort();
    });
    const std::string block(64 << 20, 'x');
    EXPECT_FALSE(socket.Send(block.data(), block.size(), 60s));
    EXPECT_EQ(socket.LastError(), CBlockingSocket::Error::Aborted);
    aborter.join();
}

TEST(TlsSocket, SendingToAClosedPeerFailsWithoutSigpipe) {
    ScriptedServer server({vtest::Close()});
    TlsFront front(server.port(), "IP:127.0.0.1");
    CBlockingSocket socket;
    StartTls(socket, front);
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const std::string block(1 << 20, 'x');
    bool sent = true;
    for (int i = 0; i < 20 && sent; ++i)
        sent = socket.Send(block.data(), block.size(), 1s);
    EXPECT_FALSE(sent); // and the process is still alive to say so
}

} // namespace
