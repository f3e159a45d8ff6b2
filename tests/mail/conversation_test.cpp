// The send command against the scripted server: the whole conversation byte for byte, the form
// check, and every way the conversation can fail, with what the user sees and the state after.
#include "scripted_server.h"
#include "test_mailer.h"

#include "mail/base64.h"

#include <gtest/gtest.h>

namespace {

using mail::Msg;
using vtest::ScriptedServer;
using vtest::TestMailer;
using namespace std::chrono_literals;

const std::string kSubjectGbk = "\xC4\xE3\xBA\xC3"; // 你好
const std::string kBodyGbk =
    "\xD5\xFD\xCE\xC4\xB5\xDA\xD2\xBB\xD0\xD0\r\n\xB5\xDA\xB6\xFE\xD0\xD0"; // 正文第一行 / 第二行

// What a text mail puts on the wire, written out from the protocol, not from the code.
std::string TextMailTranscript() {
    return "HELO " + std::string(mail::SMTP_HOST) +
           "\r\n"
           "AUTH LOGIN\r\n"
           "ZGVtbw==\r\n" // demo
           "c2VjcmV0\r\n" // secret
           "MAIL FROM:<demo@" +
           std::string(mail::MAIL_DOMAIN) +
           ">\r\n"
           "RCPT TO:<friend@example.com>\r\n"
           "DATA\r\n"
           "From : <demo@" +
           std::string(mail::MAIL_DOMAIN) +
           ">\r\n"
           "To : <friend@example.com>\r\n"
           "Subject:" +
           kSubjectGbk +
           "\r\n"
           "Date:Mon 07 Dec 2026 10:00:00+0800\r\n"
           "X-mailer: tolvaren smtp dll\r\n"
           "Mime-Version: 1.0\r\n"
           "Content-Type: multipart/mixed;Boundary=\"marrowfen-quibblestar\";\r\n"
           "\r\n--marrowfen-quibblestar\r\n\r\n"
           "--marrowfen-quibblestar\r\n"
           "Content-Type: text/plain;charset=gb2312\r\n"
           "Content-transfer-Encoding: 7bit\r\n"
           "\r\n" +
           kBodyGbk +
           "\r\n--marrowfen-quibblestar--\r\n"
           "\r\n.\r\n"
           "quit\r\n";
}

TEST(Conversation, TextMailGoesOutByteForByte) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.m_strAttachName = "old.zip";
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_EQ(server.Transcript(), TextMailTranscript());
    EXPECT_TRUE(mailer.SessionClosed());
    EXPECT_EQ(mailer.m_strReply, "");
    EXPECT_EQ(mailer.m_strCommand, "");
    EXPECT_EQ(mailer.m_strAttachName, "");
    EXPECT_EQ(mailer.m_strUser, "demo") << "the form keeps what was typed";
}

TEST(Conversation, RepliesInOneBytePiecesAndMultiLineRepliesKeepTheLockStep) {
    auto script = vtest::HappyScript();
    for (auto& action : script)
        action.pieceSize = 1;
    script[vtest::kGreeting] = vtest::Reply("220-smtp.example\r\n220-welcome\r\n220 ready\r\n", 3);
    script[vtest::kHelo] = vtest::Reply("250-hello\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n", 1);
    ScriptedServer server(script);
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_EQ(server.Transcript(), TextMailTranscript());
}

struct FormCase {
    const char* name;
    std::string user, password, recipient, subject, body, attachPath;
    Msg expected;
};

TEST(Conversation, FormCheckRefusesBeforeAnyConnectionFirstFailureWins) {
    const std::string longSubject(991, 'x'); // "Subject:" + 991 = 999 bytes
    const FormCase cases[] = {
        {"all empty", "", "", "", "", "", "", Msg::NeedUserAndPassword},
        {"no password", "demo", "", "a@b", "s", "b", "", Msg::NeedUserAndPassword},
        {"no user", "", "pw", "a@b", "s", "b", "", Msg::NeedUserAndPassword},
        {"no recipient", "demo", "pw", "", "s", "b", "", Msg::NeedCompleteContent},
        {"no subject", "demo", "pw", "a@b", "", "", "", Msg::NeedCompleteContent},
        {"no body, no attachment", "demo", "pw", "a@b", "s", "", "", Msg::NeedBodyOrAttachment},
        {"LF in user", "de\nmo", "pw", "a@b", "s", "b", "", Msg::LineBreakInField},
        {"CR in password", "demo", "p\rw", "a@b", "s", "b", "", Msg::LineBreakInField},
        {"LF in recipient", "demo", "pw", "a@b\r\nRCPT TO:<x@y>", "s", "b", "",
         Msg::LineBreakInField},
        {"CR LF in subject", "demo", "pw", "a@b", "s\r\nBcc: x@y", "b", "", Msg::LineBreakInField},
        {"NUL in subject", "demo", "pw", "a@b", std::string("s\0t", 3), "b", "",
         Msg::LineBreakInField},
        {"subject over 998", "demo", "pw", "a@b", longSubject, "b", "", Msg::SubjectTooLong},
        {"missing attachment", "demo", "pw", "a@b", "s", "", "/nonexistent/a.zip",
         Msg::AttachmentOpenFailed},
        {"folder as attachment", "demo", "pw", "a@b", "s", "b", "/tmp", Msg::AttachmentOpenFailed},
    };
    ScriptedServer server;
    for (const auto& c : cases) {
        TestMailer mailer(server.port());
        mailer.m_strUser = c.user;
        mailer.m_strPassword = c.password;
        mailer.m_strRecipient = c.recipient;
        mailer.m_strSubject = c.subject;
        mailer.m_strBody = c.body;
        mailer.m_strAttachPath = c.attachPath;
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{c.expected}) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST(Conversation, FieldsOfSpacesCountAsPresent) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.m_strUser = " ";
    mailer.m_strPassword = " ";
    mailer.m_strRecipient = " ";
    mailer.m_strSubject = " ";
    mailer.m_strBody = " ";
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
}

struct FailureCase {
    const char* name;
    std::size_t step;
    vtest::Action action;
    std::vector<Msg> messages;
    std::string lastSent; // the last unit the server received
};

std::vector<FailureCase> FailureCases() {
    using vtest::Close;
    using vtest::Reply;
    using vtest::Silent;
    return {
        {"closed at greeting", vtest::kGreeting, Close(), {Msg::ReceiveFailed}, ""},
        {"silent at greeting", vtest::kGreeting, Silent(), {Msg::ReceiveFailed}, ""},
        {"no reply at greeting",
         vtest::kGreeting,
         Reply("hello there\r\n"),
         {Msg::ReceiveFailed},
         ""},
        {"closed after HELO", vtest::kHelo, Close(), {Msg::ReceiveFailed}, "HELO"},
        {"silent after AUTH", vtest::kAuth, Silent(), {Msg::ReceiveFailed}, "AUTH LOGIN\r\n"},
        {"closed after user", vtest::kUser, Close(), {Msg::ReceiveFailed}, "ZGVtbw==\r\n"},
        {"password refused",
         vtest::kPass,
         Reply("535 5.7.8 authentication failed\r\n"),
         {Msg::WrongAccount},
         "c2VjcmV0\r\n"},
        {"password answered in two bytes",
         vtest::kPass,
         Reply("23\r\n"),
         {Msg::ReceiveFailed},
         "c2VjcmV0\r\n"},
        {"closed after password", vtest::kPass, Close(), {Msg::ReceiveFailed}, "c2VjcmV0\r\n"},
        {"closed after MAIL", vtest::kMail, Close(), {Msg::ReceiveFailed}, "MAIL FROM"},
        {"recipient refused, DATA refused",
         vtest::kData,
         Reply("554 no valid recipients\r\n"),
         {Msg::SendFailed},
         "DATA\r\n"},
        {"DATA answered 250", vtest::kData, Reply("250 what\r\n"), {Msg::SendFailed}, "DATA\r\n"},
        {"end of data refused",
         vtest::kEndOfData,
         Reply("554 spam\r\n"),
         {Msg::SendFailed},
         "\r\n.\r\n"},
        {"closed after end of data", vtest::kEndOfData, Close(), {Msg::ReceiveFailed}, "\r\n.\r\n"},
        {"silent after end of data",
         vtest::kEndOfData,
         Silent(),
         {Msg::ReceiveFailed},
         "\r\n.\r\n"},
        {"QUIT refused", vtest::kQuit, Reply("500 eh\r\n"), {Msg::QuitFailed}, "quit\r\n"},
        {"closed after QUIT", vtest::kQuit, Close(), {Msg::ReceiveFailed}, "quit\r\n"},
    };
}

TEST(Conversation, EveryFailureIsReportedOnceAndClosesTheSession) {
    for (const auto& c : FailureCases()) {
        auto script = vtest::HappyScript();
        script[c.step] = c.action;
        ScriptedServer server(script);
        TestMailer mailer(server.port());
        mail::Timeouts t;
        t.reply = t.endOfData = 300ms;
        mailer.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.m_strAttachName = "kept.zip";
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), c.messages) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
        EXPECT_EQ(mailer.m_strAttachName, "kept.zip") << c.name << ": reset only after success";
        EXPECT_TRUE(server.WaitForClientClose(5s)) << c.name;
        const auto units = server.Units();
        if (c.lastSent.empty()) {
            EXPECT_TRUE(units.empty()) << c.name;
        } else {
            ASSERT_FALSE(units.empty()) << c.name;
            const std::string& last = units.back();
            EXPECT_TRUE(last.find(c.lastSent) != std::string::npos &&
                        last.size() >= c.lastSent.size())
                << c.name << ": last unit was " << last;
        }
    }
}

TEST(Conversation, RefusedLoginClosesBeforeTheMessageAndShowsTheServersWords) {
    auto script = vtest::HappyScript();
    script[vtest::kPass] = vtest::Reply("535 Error: authentication failed\r\n");
    ScriptedServer server(script);
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.OnOK();
    const auto notices = mailer.Notices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].text, mail::MessageText(Msg::WrongAccount));
    EXPECT_EQ(notices[0].detail, "535 Error: authentication failed\r\n");
    EXPECT_EQ(notices[0].detail.find("secret"), std::string::npos);
    EXPECT_EQ(notices[0].detail.find("c2VjcmV0"), std::string::npos);
}

TEST(Conversation, ASecondSendAfterAFailureStartsFromTheBeginning) {
    auto script = vtest::HappyScript();
    script[vtest::kPass] = vtest::Reply("535 no\r\n");
    ScriptedServer server(script);
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.OnOK();
    ASSERT_TRUE(server.WaitForClientClose(5s));
    server.SetScript(vtest::HappyScript());
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), (std::vector<Msg>{Msg::WrongAccount, Msg::SentOk}));
    ASSERT_TRUE(server.WaitForConnections(2, 5s));
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_EQ(server.Transcript(1), TextMailTranscript());
}

TEST(Conversation, ConnectionRefusedIsAReceiveFailure) {
    uint16_t port;
    {
        ScriptedServer gone;
        port = gone.port();
    }
    TestMailer mailer(port);
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::ReceiveFailed});
    EXPECT_TRUE(mailer.SessionClosed());
}

// A name of 57 bytes encodes to exactly one full line, which the encoder ends with CR LF, so the
// login line ends in an empty line.
TEST(Conversation, LoginLinesCarryTheEncodersLineBreaks) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.m_strUser = std::string(57, 'u');
    mailer.OnOK();
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const std::string expected = mail::Base64Encode(mailer.m_strUser) + "\r\n";
    EXPECT_EQ(expected.substr(expected.size() - 4), "\r\n\r\n");
    EXPECT_NE(server.Transcript().find("AUTH LOGIN\r\n" + expected), std::string::npos);
}

} // namespace
