// The send command against the scripted server: the whole conversation byte for byte, the form
// check, the login and the size by what the server lists after EHLO, and every way the
// conversation can fail, with what the user sees and the state after.
#include "reference_base64.h"
#include "scripted_server.h"
#include "temp_dir.h"
#include "test_mailer.h"
#include "tls_front.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace {

using mail::Msg;
using vtest::ScriptedServer;
using vtest::TestMailer;
using namespace std::chrono_literals;

// What a text mail puts on the wire, written out from the protocol, not from the code.
std::string TextMailTranscript() {
    return "EHLO " + std::string(mail::SMTP_HOST) +
           "\r\n"
           "AUTH LOGIN\r\n"
           "ZGVtbw==\r\n" // demo
           "c2VjcmV0\r\n" // secret
           "MAIL FROM:<demo@" +
           std::string(mail::MAIL_DOMAIN) +
           ">\r\n"
           "RCPT TO:<friend@example.com>\r\n"
           "DATA\r\n" +
           vtest::ExpectedFilledMailHead() + vtest::kClosing + "quit\r\n";
}

TEST(Conversation, TextMailGoesOutByteForByte) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_EQ(server.Transcript(), TextMailTranscript());
    EXPECT_TRUE(mailer.SessionClosed());
    EXPECT_EQ(mailer.form.m_strUser, "demo") << "the form keeps what was typed";
}

TEST(Conversation, RepliesInOneBytePiecesAndMultiLineRepliesKeepTheLockStep) {
    auto script = vtest::HappyScript();
    for (auto& action : script)
        action.pieceSize = 1;
    script[vtest::kGreeting] = vtest::Reply("220-smtp.example\r\n220-welcome\r\n220 ready\r\n", 3);
    script[vtest::kEhlo] = vtest::Reply("250-hello\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME\r\n", 1);
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
        {"commands in the file name", "demo", "pw", "a@b", "s", "b",
         "/tmp/a.zip\r\n\r\n.\r\nMAIL FROM:<demo@163.com>\r\nRCPT TO:<thief@example.com>\r\n"
         "DATA\r\nx.zip",
         Msg::ControlCharacterInPath},
        {"LF alone in the path", "demo", "pw", "a@b", "s", "b", "/tmp/a\nb.zip",
         Msg::ControlCharacterInPath},
        {"tab in the path", "demo", "pw", "a@b", "s", "b", "/tmp/a\tb.zip",
         Msg::ControlCharacterInPath},
        {"NUL in the path", "demo", "pw", "a@b", "s", "b", std::string("/tmp/a\0.zip", 10),
         Msg::ControlCharacterInPath},
        {"DEL in the path", "demo", "pw", "a@b", "s", "b", "/tmp/a\x7F.zip",
         Msg::ControlCharacterInPath},
        {"C1 NEL (U+0085) in the path", "demo", "pw", "a@b", "s", "b", "/tmp/a\xC2\x85.zip",
         Msg::ControlCharacterInPath},
        {"no-break space (U+00A0) is no control", "demo", "pw", "a@b", "s", "b",
         "/nonexistent/a\xC2\xA0.zip", Msg::AttachmentOpenFailed},
        {"the form's own checks come first", "demo", "pw", "a@b", "", "b", "/tmp/a\nb.zip",
         Msg::NeedCompleteContent},
        {"the whole address twice", "alice@163.com@163.com", "pw", "a@b", "s", "b", "",
         Msg::AccountNotLocalPart},
        {"another domain", "alice@qq.com", "pw", "a@b", "s", "b", "", Msg::AccountNotLocalPart},
        {"a user of spaces", "   ", "pw", "a@b", "s", "b", "", Msg::AccountNotLocalPart},
        {"a user over 64 bytes", std::string(65, 'u'), "pw", "a@b", "s", "b", "",
         Msg::AccountNotLocalPart},
        {"ESMTP parameters after the recipient", "demo", "pw",
         "victim@example.com> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;x", "s", "b", "",
         Msg::RecipientNotOneAddress},
        {"two recipients", "demo", "pw", "a@example.com, b@example.com", "s", "b", "",
         Msg::RecipientNotOneAddress},
        {"TAB in the recipient", "demo", "pw", "a\t@example.com", "s", "b", "",
         Msg::RecipientNotOneAddress},
        {"ESC in the recipient", "demo", "pw", "a\x1B@example.com", "s", "b", "",
         Msg::RecipientNotOneAddress},
        {"a Chinese address", "demo", "pw", vtest::Gbk("张三@例子.中国"), "s", "b", "",
         Msg::RecipientNotOneAddress},
        {"a recipient of spaces", "demo", "pw", " ", "s", "b", "", Msg::RecipientNotOneAddress},
    };
    ScriptedServer server;
    for (const auto& c : cases) {
        TestMailer mailer(server.port());
        mailer.form.m_strUser = c.user;
        mailer.form.m_strPassword = c.password;
        mailer.form.m_strRecipient = c.recipient;
        mailer.form.m_strSubject = c.subject;
        mailer.form.m_strBody = c.body;
        mailer.form.m_strAttachPath = c.attachPath;
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{c.expected}) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST(Conversation, FieldsOfSpacesCountAsPresent) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    mailer.form.m_strPassword = " ";
    mailer.form.m_strSubject = " ";
    mailer.form.m_strBody = " ";
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
}

// The account typed as a whole address logs in and sends as its local part; a pasted address-book
// entry sends to its address, and "To:" carries its display name.
TEST(Conversation, TheAddressFieldsGoOutAsOneLocalPartAndOneMailbox) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    std::string domain = mail::MAIL_DOMAIN;
    for (char& ch : domain)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    mailer.form.m_strUser = "demo@" + domain;
    mailer.form.m_strRecipient = vtest::Gbk("张三 <zs@example.com>");
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    ASSERT_TRUE(server.WaitForClientClose(5s));
    const auto units = server.Units();
    ASSERT_EQ(units.size(), vtest::kStepCount - 1);
    EXPECT_EQ(units[vtest::kUser - 1], "ZGVtbw==\r\n");
    EXPECT_EQ(units[vtest::kMail - 1],
              std::string("MAIL FROM:<demo@") + mail::MAIL_DOMAIN + ">\r\n");
    EXPECT_EQ(units[vtest::kRcpt - 1], "RCPT TO:<zs@example.com>\r\n");
    EXPECT_NE(units[vtest::kData].find("\r\nTo: =?UTF-8?B?5byg5LiJ?= <zs@example.com>\r\n"),
              std::string::npos)
        << units[vtest::kData];
}

struct FailureCase {
    const char* name;
    std::size_t step;
    vtest::Action action;
    std::vector<Msg> messages;
    std::string lastSent; // the last unit the server received before quit: nothing else follows
    mail::Hint hint = mail::Hint::None;
    bool heloOnly = false; // the server knows only HELO
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
        {"closed after EHLO", vtest::kEhlo, Close(), {Msg::ReceiveFailed}, "EHLO"},
        {"silent after AUTH", vtest::kAuth, Silent(), {Msg::ReceiveFailed}, "AUTH LOGIN\r\n"},
        // A refused AUTH LOGIN or user name ends the session before the next secret goes out.
        {"AUTH refused, not advertised",
         vtest::kAuth,
         Reply("503 5.5.1 AUTH command used when not advertised\r\n"),
         {Msg::AuthNotAccepted},
         "AUTH LOGIN\r\n"},
        {"AUTH refused, mechanism unknown",
         vtest::kAuth,
         Reply("504 5.5.4 Unrecognized authentication type\r\n"),
         {Msg::AuthNotAccepted},
         "AUTH LOGIN\r\n"},
        {"AUTH refused, encryption required",
         vtest::kAuth,
         Reply("530 5.7.0 Must issue a STARTTLS command first\r\n"),
         {Msg::AuthNotAccepted},
         "AUTH LOGIN\r\n"},
        {"user name refused",
         vtest::kUser,
         Reply("535 5.7.8 Error: authentication failed\r\n"),
         {Msg::WrongAccount},
         "ZGVtbw==\r\n"},
        {"closed after user", vtest::kUser, Close(), {Msg::ReceiveFailed}, "ZGVtbw==\r\n"},
        {"password refused",
         vtest::kPass,
         Reply("535 5.7.8 authentication failed\r\n"),
         {Msg::WrongAccount},
         "c2VjcmV0\r\n",
         mail::Hint::AuthorizationCode},
        {"password answered in two bytes",
         vtest::kPass,
         Reply("23\r\n"),
         {Msg::ReceiveFailed},
         "c2VjcmV0\r\n"},
        {"closed after password", vtest::kPass, Close(), {Msg::ReceiveFailed}, "c2VjcmV0\r\n"},
        {"closed after MAIL", vtest::kMail, Close(), {Msg::ReceiveFailed}, "MAIL FROM"},
        {"sender refused, no SMTP",
         vtest::kMail,
         Reply("550 User has no permission\r\n"),
         {Msg::SendFailed},
         "MAIL FROM",
         mail::Hint::EnableSmtp},
        {"sender refused, not the account",
         vtest::kMail,
         Reply("553 Mail from must equal authorized user\r\n"),
         {Msg::SendFailed},
         "MAIL FROM",
         mail::Hint::SenderIsAccount},
        {"sender refused for size",
         vtest::kMail,
         Reply("550 5.3.4 Message size exceeds fixed limit\r\n"),
         {Msg::SendFailed},
         "MAIL FROM",
         mail::Hint::TooLarge},
        {"sender refused for now",
         vtest::kMail,
         Reply("451 try later\r\n"),
         {Msg::SendFailed},
         "MAIL FROM"},
        {"recipient unknown",
         vtest::kRcpt,
         Reply("550 5.1.1 <friend@example.com>: User unknown\r\n"),
         {Msg::SendFailed},
         "RCPT TO",
         mail::Hint::RecipientRefused},
        {"recipient moved",
         vtest::kRcpt,
         Reply("551 User not local\r\n"),
         {Msg::SendFailed},
         "RCPT TO",
         mail::Hint::RecipientRefused},
        {"recipient name not allowed",
         vtest::kRcpt,
         Reply("553 mailbox name not allowed\r\n"),
         {Msg::SendFailed},
         "RCPT TO",
         mail::Hint::RecipientRefused},
        {"recipient's mailbox full",
         vtest::kRcpt,
         Reply("552 Requested mail action aborted: exceeded storage allocation\r\n"),
         {Msg::SendFailed},
         "RCPT TO",
         mail::Hint::TooLarge},
        {"recipient answered 251",
         vtest::kRcpt,
         Reply("251 User not local; will forward\r\n"),
         {Msg::SentOk},
         "quit\r\n"},
        {"DATA refused",
         vtest::kData,
         Reply("554 no valid recipients\r\n"),
         {Msg::SendFailed},
         "DATA\r\n",
         mail::Hint::Spam},
        {"DATA answered 250", vtest::kData, Reply("250 what\r\n"), {Msg::SendFailed}, "DATA\r\n"},
        {"end of data refused",
         vtest::kEndOfData,
         Reply("554 DT:SPM\r\n"),
         {Msg::SendFailed},
         "\r\n.\r\n",
         mail::Hint::Spam},
        {"end of data refused for size",
         vtest::kEndOfData,
         Reply("552 5.3.4 Message size exceeds fixed limit\r\n"),
         {Msg::SendFailed},
         "\r\n.\r\n",
         mail::Hint::TooLarge},
        {"closed after end of data", vtest::kEndOfData, Close(), {Msg::ReceiveFailed}, "\r\n.\r\n"},
        {"silent after end of data",
         vtest::kEndOfData,
         Silent(),
         {Msg::ReceiveFailed},
         "\r\n.\r\n"},
        // Delivered at the end of the data: whatever quit brings, the user hears of success.
        {"QUIT refused",
         vtest::kQuit,
         Reply("500 eh\r\n"),
         {Msg::QuitFailed, Msg::SentOk},
         "quit\r\n"},
        {"QUIT answered 250",
         vtest::kQuit,
         Reply("250 ok\r\n"),
         {Msg::QuitFailed, Msg::SentOk},
         "quit\r\n"},
        {"closed after QUIT", vtest::kQuit, Close(), {Msg::SentOk}, "quit\r\n"},
        {"silent after QUIT", vtest::kQuit, Silent(), {Msg::SentOk}, "quit\r\n"},
        {"greeting refused",
         vtest::kGreeting,
         Reply("554 no service for you\r\n"),
         {Msg::SendFailed},
         ""},
        {"HELO refused",
         vtest::kHeloReply,
         Reply("550 go away\r\n"),
         {Msg::SendFailed},
         "HELO",
         mail::Hint::None,
         /*heloOnly=*/true},
    };
}

TEST(Conversation, EveryFailureIsReportedOnceAndClosesTheSession) {
    for (const auto& c : FailureCases()) {
        auto script = c.heloOnly ? vtest::HeloOnlyScript() : vtest::HappyScript();
        script[c.step] = c.action;
        ScriptedServer server(script);
        TestMailer mailer(server.port());
        mail::Timeouts t;
        t.reply = t.endOfData = t.quit = 300ms;
        mailer.core.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), c.messages) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
        const auto notices = mailer.Notices();
        if (!notices.empty()) {
            EXPECT_EQ(notices.back().hint, c.hint) << c.name;
        }
        EXPECT_TRUE(server.WaitForClientClose(5s)) << c.name;
        auto units = server.Units();
        // A refusal is answered with quit (RFC 5321 section 4.1.1.10); a failed connection is not.
        const bool refused =
            c.messages.front() != Msg::ReceiveFailed && c.messages.back() != Msg::SentOk;
        if (refused) {
            ASSERT_FALSE(units.empty()) << c.name;
            EXPECT_EQ(units.back(), "quit\r\n") << c.name;
            units.pop_back();
        }
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
    EXPECT_EQ(notices[0].id, Msg::WrongAccount);
    EXPECT_EQ(notices[0].reply, "535 Error: authentication failed\r\n");
    const std::string detail = mail::NoticeDetail(notices[0]);
    EXPECT_TRUE(detail.starts_with("535 Error: authentication failed\n\n")) << detail;
    EXPECT_EQ(detail.find("secret"), std::string::npos);
    EXPECT_EQ(detail.find("c2VjcmV0"), std::string::npos);
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
    TestMailer mailer(TestMailer::Direct{}, port);
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::ReceiveFailed});
    EXPECT_TRUE(mailer.SessionClosed());
}

std::string OneLineBase64(const std::string& bytes) {
    std::string encoded =
        vtest::ReferenceBase64(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    std::erase(encoded, '\r');
    std::erase(encoded, '\n');
    return encoded;
}

// The login goes the way the server's EHLO reply offers; a secret goes out only when asked for.
TEST(Conversation, LoginFollowsWhatTheServerOffersAndSendsSecretsOnlyWhenAskedFor) {
    using vtest::Reply;
    const std::string ehlo = "EHLO " + std::string(mail::SMTP_HOST) + "\r\n";
    const std::string helo = "HELO " + std::string(mail::SMTP_HOST) + "\r\n";
    const std::vector<std::string> login = {"AUTH LOGIN\r\n", "ZGVtbw==\r\n", "c2VjcmV0\r\n"};
    // A server that lists AUTH PLAIN only takes the login in one line: the slots of the user and
    // password prompts go.
    auto plainOnly = [](std::vector<std::string> extensions) {
        auto script = vtest::HappyScript(std::move(extensions));
        script[vtest::kAuth] = Reply("235 2.7.0 Authentication successful\r\n");
        script.erase(script.begin() + vtest::kUser, script.begin() + vtest::kPass + 1);
        return script;
    };
    auto heloOnly = [](std::optional<vtest::Action> authReply) {
        auto script = vtest::HeloOnlyScript();
        if (authReply)
            script[vtest::HeloSlot(vtest::kAuth)] = *authReply;
        return script;
    };
    const struct {
        const char* name;
        std::vector<vtest::Action> script;
        std::vector<std::string> units; // up to the end of the login (or of the session)
        Msg outcome;
        std::size_t refusedAt = 0; // the slot whose reply the refusal shows as its detail
    } cases[] = {
        {"AUTH offered after EHLO, in both forms", vtest::HappyScript(), login, Msg::SentOk},
        {"AUTH in the older form only", vtest::HappyScript({"AUTH=LOGIN PLAIN"}), login,
         Msg::SentOk},
        {"lower-case keyword and mechanisms", vtest::HappyScript({"auth plain login"}), login,
         Msg::SentOk},
        {"no AUTH line: LOGIN is tried", vtest::HappyScript({"SIZE 0", "8BITMIME"}), login,
         Msg::SentOk},
        {"PLAIN only",
         plainOnly({"AUTH PLAIN CRAM-MD5"}),
         {"AUTH PLAIN AGRlbW8Ac2VjcmV0\r\n"}, // NUL demo NUL secret
         Msg::SentOk},
        {"neither LOGIN nor PLAIN",
         vtest::HappyScript({"AUTH CRAM-MD5 GSSAPI"}),
         {},
         Msg::AuthNotAccepted,
         vtest::kEhlo},
        {"AUTH without mechanisms",
         vtest::HappyScript({"AUTH"}),
         {},
         Msg::AuthNotAccepted,
         vtest::kEhlo},
        {"a server that knows only HELO", heloOnly(std::nullopt), login, Msg::SentOk},
        {"after HELO, AUTH refused as not advertised",
         heloOnly(Reply("503 5.5.1 Error: AUTH command used when not advertised\r\n")),
         {"AUTH LOGIN\r\n"},
         Msg::AuthNotAccepted,
         vtest::HeloSlot(vtest::kAuth)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        TestMailer mailer(server.port());
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{c.outcome});
        EXPECT_TRUE(mailer.SessionClosed());
        ASSERT_TRUE(server.WaitForClientClose(5s));
        std::vector<std::string> units = server.Units();
        const bool fellBack = units.size() > 1 && units[1] == helo;
        std::vector<std::string> want{ehlo};
        if (fellBack)
            want.push_back(helo);
        want.insert(want.end(), c.units.begin(), c.units.end());
        if (c.outcome == Msg::SentOk) {
            ASSERT_GT(units.size(), want.size());
            EXPECT_EQ(units[want.size()].substr(0, 10), "MAIL FROM:");
            units.resize(want.size());
        } else {
            EXPECT_EQ(mailer.Notices().at(0).reply, c.script[c.refusedAt].text);
            for (const char* secret : {"ZGVtbw", "c2VjcmV0", "secret"})
                EXPECT_EQ(server.Transcript().find(secret), std::string::npos) << secret;
            want.push_back("quit\r\n");
        }
        EXPECT_EQ(units, want);
    }
}

// Login lines are the base64 on one line, whatever its length: around the encoder's 76-character
// lines (55 to 58 bytes) and far beyond them. Each is answered once, so the lock step holds.
TEST(Conversation, CredentialsOfAnyLengthGoOutOnOneLineAndAreAccepted) {
    ScriptedServer server;
    std::size_t connection = 0;
    for (const std::size_t length : {1, 54, 55, 56, 57, 58, 100, 300}) {
        SCOPED_TRACE(length);
        TestMailer mailer(server.port());
        mailer.FillForm();
        // A local part is at most 64 bytes; the password may be as long as the user likes.
        mailer.form.m_strUser = std::string(std::min<std::size_t>(length, 64), 'u');
        mailer.form.m_strPassword = std::string(length, '\xB5'); // a GBK lead byte, like 第
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
        ASSERT_TRUE(server.WaitForConnections(connection + 1, 5s));
        ASSERT_TRUE(server.WaitForClientClose(5s));
        const auto units = server.Units(connection++);
        ASSERT_EQ(units.size(), vtest::kStepCount - 1);
        EXPECT_EQ(units[vtest::kUser - 1], OneLineBase64(mailer.form.m_strUser) + "\r\n");
        EXPECT_EQ(units[vtest::kPass - 1], OneLineBase64(mailer.form.m_strPassword) + "\r\n");
        EXPECT_EQ(units[vtest::kQuit - 1], "quit\r\n");
    }
}

// A server that states its SIZE is told the size of what goes out after the 354, to the byte; a
// mail above the limit is refused right after EHLO, before any secret and with nothing uploaded.
TEST(Conversation, SizeIsDeclaredExactlyAndAMailAboveTheLimitIsRefusedAfterEhlo) {
    vtest::TempDir dir;
    const auto zip = dir / "big.zip";
    {
        std::ofstream file(zip, std::ios::binary);
        file.seekp(8 * 1000 * 1000 - 1);
        file.put('z'); // 8 MB (mostly a hole): 10.8 MB of base64
    }
    const struct {
        const char* name;
        bool attachment;
        std::vector<std::string> extensions;
        std::optional<std::string> refusal; // the message shown, or none: the mail goes out
        bool declared;                      // SIZE= on MAIL FROM
    } cases[] = {
        {"text mail under the limit", false, {"AUTH LOGIN", "SIZE 10240000"}, std::nullopt, true},
        {"attachment under the limit", true, {"SIZE 20971520", "AUTH LOGIN"}, std::nullopt, true},
        {"attachment over the limit",
         true,
         {"AUTH LOGIN", "SIZE 10240000"},
         "邮件太大，服务器最多接受9.8 MB，邮件没有发送!",
         false},
        {"text mail over a tiny limit",
         false,
         {"SIZE 400"},
         "邮件太大，服务器最多接受0 KB，邮件没有发送!",
         false},
        {"attachment over a limit under a mebibyte",
         true,
         {"SIZE 400000"},
         "邮件太大，服务器最多接受390 KB，邮件没有发送!",
         false},
        {"no limit", true, {"SIZE 0", "AUTH LOGIN"}, std::nullopt, false},
        {"no SIZE", false, {"AUTH LOGIN"}, std::nullopt, false},
        {"SIZE without a number", false, {"SIZE", "AUTH LOGIN"}, std::nullopt, false},
        {"SIZE not all digits", false, {"SIZE 12abc"}, std::nullopt, false},
        {"SIZE beyond 64 bits", false, {"SIZE 18446744073709551616"}, std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(vtest::HappyScript(c.extensions));
        server.SetRecordData(false);
        TestMailer mailer(server.port());
        mailer.FillForm();
        if (c.attachment)
            mailer.form.m_strAttachPath = zip.string();
        mailer.OnOK();
        if (c.attachment && !c.refusal) {
            ASSERT_TRUE(mailer.WaitForWorker());
        }
        ASSERT_TRUE(server.WaitForClientClose(30s));
        const auto units = server.Units();
        const auto notices = mailer.Notices();
        ASSERT_EQ(notices.size(), 1u);
        if (c.refusal) {
            EXPECT_EQ(mail::NoticeText(notices[0]), *c.refusal);
            EXPECT_TRUE(mailer.SessionClosed());
            EXPECT_EQ(units, (std::vector<std::string>{"EHLO smtp.163.com\r\n", "quit\r\n"}))
                << "only EHLO went out, and quit";
            EXPECT_EQ(server.Transcript().find("AUTH"), std::string::npos);
            continue;
        }
        EXPECT_EQ(notices[0].id, Msg::SentOk);
        ASSERT_EQ(units.size(), vtest::kStepCount - 1);
        const auto sizes = server.DataUnitSizes();
        ASSERT_EQ(sizes.size(), 1u);
        // RFC 1870: without the end of the data, ".\r\n" (no line of this mail starts with ".").
        const std::string from = "MAIL FROM:<demo@" + std::string(mail::MAIL_DOMAIN) + ">";
        EXPECT_EQ(units[vtest::kMail - 1],
                  from + (c.declared ? " SIZE=" + std::to_string(sizes[0] - 3) : "") + "\r\n");
    }
}

// The size RFC 1870 counts leaves out the dots that transparency adds: a mail of exactly the
// server's limit goes out, one byte less of limit refuses it.
TEST(Conversation, AMailOfExactlyTheLimitGoesOutDotsNotCounted) {
    const auto send = [](std::uint64_t limit) {
        ScriptedServer server(vtest::HappyScript({"AUTH LOGIN", "SIZE " + std::to_string(limit)}));
        TestMailer mailer(server.port());
        mailer.FillForm();
        mailer.form.m_strBody = ".\r\n..\r\nplain text\r\n.end\r\n";
        mailer.OnOK();
        EXPECT_TRUE(server.WaitForClientClose(5s));
        return std::pair{mailer.Ids(), server.Units()};
    };
    const auto [ids, units] = send(1'000'000);
    ASSERT_EQ(ids, std::vector<Msg>{Msg::SentOk});
    const std::string& data = units.at(vtest::kData);
    ASSERT_NE(data.find("\r\n..\r\n...\r\nplain text\r\n..end\r\n"), std::string::npos)
        << "the body goes out dot-stuffed";
    const std::uint64_t exact = data.size() - 3 /* dots */ - 3 /* ".\r\n" */;
    EXPECT_NE(units.at(vtest::kMail - 1).find(" SIZE=" + std::to_string(exact) + "\r\n"),
              std::string::npos)
        << units.at(vtest::kMail - 1);
    EXPECT_EQ(send(exact).first, std::vector<Msg>{Msg::SentOk});
    EXPECT_EQ(send(exact - 1).first, std::vector<Msg>{Msg::MailTooLargeKb});
}

// The reply limit counts the network's time only: a user who keeps a question open longer than the
// limit while the server's words wait in the socket does not see them taken for silence.
TEST(Conversation, AQuestionHeldOpenLongerThanTheReplyLimitIsNotTheServersSilence) {
    auto script = vtest::HappyScript();
    // The greeting's second half comes after the limit, but within the limit and the question.
    script[vtest::kGreeting] = vtest::Reply("220 smtp.example ready\r\n", 12, 700ms);
    ScriptedServer server(script);
    TestMailer mailer(server.port());
    mail::Timeouts t;
    t.reply = 200ms;
    mailer.core.SetTimeoutsForTesting(t);
    mailer.questionOpen = 600ms;
    mailer.FillForm();
    mailer.OnOK();
    EXPECT_EQ(mailer.Ids(), std::vector<Msg>{Msg::SentOk});
    EXPECT_GE(mailer.WaitHookCalls(), 1) << "the question was never asked";
}

// Encrypted by default. Against a server elsewhere (the loopback exception set off) no secret goes
// out before TLS: a stripped or refused STARTTLS ends the session, bytes injected after its 220 end
// it too, and only what the server says inside TLS counts.
TEST(StartTls, NoSecretInPlainTextAndNothingSaidBeforeTlsCountsAfter) {
    if (mail::IMPLICIT_TLS)
        GTEST_SKIP() << "the implicit-TLS build speaks TLS from the first byte";
    using vtest::Reply;
    const std::vector<std::string> plain = vtest::ProviderExtensions();
    std::vector<std::string> offered = plain;
    offered.insert(offered.begin(), "STARTTLS");
    // A server that offers STARTTLS: its answer to it, then the EHLO reply inside TLS.
    const auto startTls = [](const std::vector<std::string>& before, const std::string& answer,
                             const std::vector<std::string>& inside) {
        auto script = vtest::HappyScript(before);
        script.insert(script.begin() + vtest::kAuth,
                      {Reply(answer), Reply(vtest::EhloReply(inside))});
        return script;
    };
    const std::string ehlo = "EHLO smtp.163.com\r\n", starttls = "STARTTLS\r\n", quit = "quit\r\n";
    auto neverFinished = startTls(offered, "220 ready\r\n", plain);
    neverFinished[vtest::kAuth + 1] = vtest::Silent();
    const struct {
        const char* name;
        std::vector<vtest::Action> script;
        const char* certificateNames; // a STARTTLS front with these names, or none
        Msg message;
        std::vector<std::string> units; // what the server was sent, from the start
        mail::Cause cause = mail::Cause::None;
    } cases[] = {
        {"EHLO lists no STARTTLS", vtest::HappyScript(), nullptr, Msg::NoEncryption, {ehlo, quit}},
        {"STARTTLS answered 454",
         startTls(offered, "454 4.7.0 TLS not available\r\n", plain),
         nullptr,
         Msg::NoEncryption,
         {ehlo, starttls, quit}},
        {"STARTTLS answered 502",
         startTls(offered, "502 5.5.1 unknown\r\n", plain),
         nullptr,
         Msg::NoEncryption,
         {ehlo, starttls, quit}},
        {"STARTTLS answered 554",
         startTls(offered, "554 5.7.0 no\r\n", plain),
         nullptr,
         Msg::NoEncryption,
         {ehlo, starttls, quit}},
        {"a reply injected after the 220",
         startTls(offered, "220 go ahead\r\n250 extra\r\n", plain),
         "IP:127.0.0.1",
         Msg::SecureConnectFailed,
         {ehlo, starttls},
         mail::Cause::Secure},
        {"EHLO refused, HELO willing",
         vtest::HeloOnlyScript(),
         nullptr,
         Msg::NoEncryption,
         {ehlo, quit}},
        {"a certificate for another name",
         startTls(offered, "220 ready\r\n", plain),
         "DNS:other.example",
         Msg::SecureConnectFailed,
         {ehlo, starttls},
         mail::Cause::Secure},
        {"a handshake the server never finishes",
         neverFinished,
         nullptr,
         Msg::SecureConnectFailed,
         {ehlo, starttls},
         mail::Cause::TimedOut},
        {"AUTH PLAIN before TLS, LOGIN only inside",
         startTls({"STARTTLS", "AUTH PLAIN"}, "220 ready\r\n", {"AUTH LOGIN"}),
         "IP:127.0.0.1",
         Msg::SentOk,
         {ehlo, starttls, ehlo, "AUTH LOGIN\r\n", "ZGVtbw==\r\n"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.script);
        std::optional<vtest::TlsFront> front;
        if (c.certificateNames)
            front.emplace(server.port(), c.certificateNames, vtest::TlsFront::Mode::StartTls);
        TestMailer mailer(TestMailer::Direct{}, front ? front->port() : server.port());
        mailer.core.TreatServerAsRemoteForTesting();
        if (front)
            mailer.core.SetTrustedCaFileForTesting(front->CertFile());
        mail::Timeouts t;
        t.connect = 300ms; // the handshake's limit
        mailer.core.SetTimeoutsForTesting(t);
        mailer.FillForm();
        mailer.OnOK();
        EXPECT_EQ(mailer.Ids(), std::vector<Msg>{c.message});
        EXPECT_TRUE(mailer.SessionClosed());
        if (c.cause != mail::Cause::None) {
            EXPECT_EQ(mailer.Notices().at(0).cause, c.cause)
                << mail::NoticeDetail(mailer.Notices()[0]);
        }
        ASSERT_TRUE(server.WaitForClientClose(5s));
        auto units = server.Units();
        ASSERT_GE(units.size(), c.units.size());
        units.resize(c.units.size());
        EXPECT_EQ(units, c.units);
        const std::string wire = front ? front->WireFromClients() : server.Transcript();
        for (const char* secret : {"ZGVtbw", "c2VjcmV0", "secret", "AHNlY3Jl"})
            EXPECT_EQ(wire.find(secret), std::string::npos) << secret << " crossed the wire";
    }
}

} // namespace
