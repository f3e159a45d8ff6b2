// Bad input: what a user can type or pick that the conversation must survive. Each case is either
// refused before any connection with a message that says why, or sent correctly, which the
// server's view of the data proves. (Empty fields, line breaks in the one-line fields and the
// common unusable attachment paths are in conversation_test.cpp and attachment_test.cpp.)
#include "fault_proxy.h"
#include "msg_words.h"
#include "reference_base64.h"
#include "scripted_server.h"
#include "temp_dir.h"
#include "test_mailer.h"

#include "gbk_literal.h"
#include "mail/words/gbk.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VTEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define VTEST_SANITIZED 1
#endif
#endif

namespace {

using mail::Msg;
using vtest::ScriptedServer;
using vtest::TestMailer;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using vtest::ExpectedHead;
using vtest::ExpectedTextPartHead;
using vtest::kClosing;
using vtest::kFilledSubjectField;

// What the server saw of one send: the user's messages and the units of the first connection.
struct Seen {
    std::vector<Msg> messages;
    std::vector<std::string> units;
    std::string transcript;
};

// Sends a text mail: the form of TestMailer::FillForm, changed.
Seen Send(const std::function<void(TestMailer&)>& change) {
    ScriptedServer server;
    TestMailer mailer(server.port());
    mailer.FillForm();
    change(mailer);
    mailer.OnOK();
    EXPECT_TRUE(mailer.SessionClosed());
    EXPECT_TRUE(server.WaitForClientClose(5s));
    return {mailer.Ids(), server.Units(), server.Transcript()};
}

// The data unit of a text mail whose every unit went through: header, text part, closing.
void ExpectTextMail(const Seen& seen, const std::string& subjectField, const std::string& textPart,
                    const std::string& name) {
    EXPECT_EQ(vtest::Words(seen.messages), vtest::Words({Msg::SentOk})) << name;
    ASSERT_EQ(seen.units.size(), 9u) << name << ": the data ended early or late";
    EXPECT_EQ(seen.units[7], ExpectedHead(subjectField) + textPart + kClosing) << name;
    EXPECT_EQ(seen.units[8], "quit\r\n") << name;
}

std::string Repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

// ---- refused before any connection ----

TEST(BadInput, RefusedBeforeAnyConnectionWithAMessageThatSaysWhy) {
    vtest::TempDir dir;
    mkfifo((dir / "pipe").c_str(), 0600);
    fs::create_symlink(dir / "pipe", dir / "pipe-link.zip");
    fs::create_symlink(dir / "nowhere.zip", dir / "dangling.zip");
    const struct {
        const char* name;
        std::function<void(TestMailer&)> change;
        Msg expected;
    } cases[] = {
        {"subject of 10 000 ASCII characters",
         [](TestMailer& m) { m.form.m_strSubject = std::string(10000, 's'); }, Msg::SubjectTooLong},
        {"subject of 10 000 Chinese characters",
         [](TestMailer& m) { m.form.m_strSubject = Repeat(vtest::Gb18030("题"), 10000); },
         Msg::SubjectTooLong},
        {"CR in user", [](TestMailer& m) { m.form.m_strUser = "de\rmo"; }, Msg::LineBreakInField},
        {"NUL in user", [](TestMailer& m) { m.form.m_strUser = std::string("de\0mo", 5); },
         Msg::LineBreakInField},
        {"LF in password", [](TestMailer& m) { m.form.m_strPassword = "sec\nret"; },
         Msg::LineBreakInField},
        {"NUL in password",
         [](TestMailer& m) { m.form.m_strPassword = std::string("sec\0ret", 7); },
         Msg::LineBreakInField},
        {"lone CR in recipient",
         [](TestMailer& m) { m.form.m_strRecipient = "a@b\rRCPT TO:<c@d>"; },
         Msg::LineBreakInField},
        {"lone LF in recipient",
         [](TestMailer& m) { m.form.m_strRecipient = "a@b\nRCPT TO:<c@d>"; },
         Msg::LineBreakInField},
        {"NUL in recipient",
         [](TestMailer& m) { m.form.m_strRecipient = std::string("a@b\0c@d", 7); },
         Msg::LineBreakInField},
        {"lone CR in subject", [](TestMailer& m) { m.form.m_strSubject = "s\rBcc: x@y"; },
         Msg::LineBreakInField},
        {"lone LF in subject", [](TestMailer& m) { m.form.m_strSubject = "s\nBcc: x@y"; },
         Msg::LineBreakInField},
        {"attachment path of only spaces", [](TestMailer& m) { m.form.m_strAttachPath = "   "; },
         Msg::AttachmentOpenFailed},
        {"attachment path that is not UTF-8",
         [](TestMailer& m) { m.form.m_strAttachPath = "\xFF\xFF.zip"; }, Msg::AttachmentOpenFailed},
        {"a device that never ends", [](TestMailer& m) { m.form.m_strAttachPath = "/dev/zero"; },
         Msg::AttachmentOpenFailed},
        {"a link to a FIFO",
         [&](TestMailer& m) { m.form.m_strAttachPath = (dir / "pipe-link.zip").string(); },
         Msg::AttachmentOpenFailed},
        {"a dangling link",
         [&](TestMailer& m) { m.form.m_strAttachPath = (dir / "dangling.zip").string(); },
         Msg::AttachmentOpenFailed},
    };
    ScriptedServer server;
    for (const auto& c : cases) {
        TestMailer mailer(server.port());
        mailer.FillForm();
        c.change(mailer);
        mailer.OnOK();
        EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words({c.expected})) << c.name;
        EXPECT_TRUE(mailer.SessionClosed()) << c.name;
        EXPECT_FALSE(mailer.core.IsSending()) << c.name;
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

// ---- sent as typed ----

// Only emptiness is refused: a field of spaces is present and goes on the wire unchanged.
TEST(BadInput, AFieldOfOnlySpacesGoesOutAsTyped) {
    const struct {
        const char* name;
        std::function<void(TestMailer&)> change;
        std::vector<std::string> onTheWire;
    } cases[] = {
        {"password", [](TestMailer& m) { m.form.m_strPassword = "  "; }, {"ZGVtbw==\r\nICA=\r\n"}},
        {"subject", [](TestMailer& m) { m.form.m_strSubject = "   "; }, {"\r\nSubject:   \r\n"}},
        {"body", [](TestMailer& m) { m.form.m_strBody = "   "; }, {"7bit\r\n\r\n   " + kClosing}},
    };
    for (const auto& c : cases) {
        const Seen seen = Send(c.change);
        EXPECT_EQ(vtest::Words(seen.messages), vtest::Words({Msg::SentOk})) << c.name;
        for (const auto& bytes : c.onTheWire)
            EXPECT_NE(seen.transcript.find(bytes), std::string::npos) << c.name << ": " << bytes;
    }
}

// "Subject:" and 990 bytes make a line of exactly 998 bytes, the most SMTP allows.
TEST(BadInput, ASubjectLineOfExactly998BytesIsSent) {
    const std::string subject(990, 's');
    const Seen seen = Send([&](TestMailer& m) { m.form.m_strSubject = subject; });
    ExpectTextMail(seen, "Subject:" + subject,
                   ExpectedTextPartHead("base64") + vtest::kFilledBodyBase64,
                   "998-byte subject line");
}

// A 1 MiB body of every kind of line: empty, starting with "." or only ".", with CR LF, lone LF
// and lone CR breaks; of ASCII, and once more with Chinese lines. The server must get it whole:
// taking the extra "." off each line that starts with one gives back the ASCII body with CR LF
// breaks, and decoding the base64 gives back the Chinese one.
TEST(BadInput, AMebibyteBodyArrivesWhole) {
    constexpr std::size_t kSize = 1024 * 1024;
    for (const bool chinese : {false, true}) {
        std::mt19937 rng(1);
        std::string body, normalised;
        const std::string breaks[] = {"\r\n", "\n", "\r"};
        const std::string words = chinese ? vtest::Gb18030("邮件正文") : "mail";
        bool afterLoneCr = false;
        while (body.size() < kSize - 1000) {
            std::string line;
            switch (rng() % 5) {
            case 0:
                line = "."; // alone, or the start of a longer line
                if (rng() % 2)
                    line += "dot " + std::to_string(rng());
                break;
            case 1:
                break; // empty
            case 2:
                line = Repeat(words, rng() % 110); // up to 880 bytes
                break;
            default:
                line.assign(rng() % 200, static_cast<char>('a' + rng() % 26));
            }
            // An empty line after a lone CR, ended by LF, would read as one CR LF break.
            const std::string& lineBreak =
                breaks[afterLoneCr && line.empty() ? 0 : rng() % std::size(breaks)];
            afterLoneCr = lineBreak == "\r";
            body += line + lineBreak;
            normalised += line + "\r\n";
        }
        const std::string last(kSize - body.size(), 'z');
        body += last;
        normalised += last;
        ASSERT_EQ(body.size(), kSize);

        const Seen seen = Send([&](TestMailer& m) { m.form.m_strBody = body; });
        EXPECT_EQ(vtest::Words(seen.messages), vtest::Words({Msg::SentOk})) << chinese;
        ASSERT_EQ(seen.units.size(), 9u);
        const std::string& data = seen.units[7];
        const std::string head =
            ExpectedHead(kFilledSubjectField) + ExpectedTextPartHead(chinese ? "base64" : "7bit");
        ASSERT_EQ(data.substr(0, head.size()), head);
        ASSERT_EQ(data.substr(data.size() - kClosing.size()), kClosing);
        const std::string wire =
            data.substr(head.size(), data.size() - head.size() - kClosing.size());
        std::string received;
        if (chinese) {
            received = vtest::ReferenceBase64Decode(wire);
        } else {
            for (std::size_t pos = 0; pos < wire.size();) {
                std::size_t end = wire.find("\r\n", pos);
                end = end == std::string::npos ? wire.size() : end + 2;
                const std::size_t dot = wire[pos] == '.' ? 1 : 0;
                received.append(wire, pos + dot, end - pos - dot);
                pos = end;
            }
        }
        EXPECT_TRUE(received == normalised) << "the body arrived changed; Chinese: " << chinese;
    }
}

// A line of the body that is "." or starts with one gets a second "."; the data ends once, at the
// real end, and nothing the body holds is read as a command.
TEST(BadInput, DotsAtLineStartsAreDoubledAndTheDataEndsOnlyOnce) {
    const struct {
        std::string body, wire;
    } cases[] = {
        {".", ".."},
        {".\r\n", "..\r\n"},
        {".\r\n.", "..\r\n.."},
        {"\n.\n", "\r\n..\r\n"},
        {"a\n.\nb", "a\r\n..\r\nb"},
        {"\r.\r", "\r\n..\r\n"},
        {"end\r\n.\r\nQUIT\r\n", "end\r\n..\r\nQUIT\r\n"},
        {"..\r\n...x", "...\r\n....x"},
        {"x.\r\n.y", "x.\r\n..y"},
    };
    for (const auto& c : cases) {
        const Seen seen = Send([&](TestMailer& m) { m.form.m_strBody = c.body; });
        ExpectTextMail(seen, kFilledSubjectField, ExpectedTextPartHead("7bit") + c.wire, c.body);
    }
}

// SMTP refuses lines over 998 bytes: a body with such a line goes out in base64, under the same
// header texts but for the encoding, and decodes to the body with CR LF breaks.
TEST(BadInput, ABodyLineOver998BytesSendsTheTextInBase64) {
    const std::string paragraph = Repeat(vtest::Gb18030("长"), 500); // 1000 bytes, no break
    const struct {
        const char* name;
        std::string body, normalised;
        bool base64;
    } cases[] = {
        {"a Chinese paragraph of 500 characters", paragraph, paragraph, true},
        {"the paragraph among short lines and dots",
         vtest::Gb18030("第一行") + "\n" + paragraph + "\n.\n" + vtest::Gb18030("最后"),
         vtest::Gb18030("第一行") + "\r\n" + paragraph + "\r\n.\r\n" + vtest::Gb18030("最后"),
         true},
        {"999 bytes", std::string(999, 'x'), std::string(999, 'x'), true},
        {"998 bytes", std::string(998, 'x'), std::string(998, 'x'), false},
        {"998 bytes between lines", "a\r\n" + std::string(998, 'x') + "\r\nb",
         "a\r\n" + std::string(998, 'x') + "\r\nb", false},
    };
    for (const auto& c : cases) {
        const Seen seen = Send([&](TestMailer& m) { m.form.m_strBody = c.body; });
        if (!c.base64) {
            ExpectTextMail(seen, kFilledSubjectField, ExpectedTextPartHead("7bit") + c.normalised,
                           c.name);
            continue;
        }
        EXPECT_EQ(vtest::Words(seen.messages), vtest::Words({Msg::SentOk})) << c.name;
        ASSERT_EQ(seen.units.size(), 9u) << c.name;
        const std::string& data = seen.units[7];
        const std::string head = ExpectedHead(kFilledSubjectField) + ExpectedTextPartHead("base64");
        ASSERT_EQ(data.substr(0, head.size()), head) << c.name;
        ASSERT_EQ(data.substr(data.size() - kClosing.size()), kClosing) << c.name;
        const std::string encoded =
            data.substr(head.size(), data.size() - head.size() - kClosing.size());
        for (std::size_t pos = 0; pos < encoded.size();) {
            std::size_t end = std::min(encoded.find("\r\n", pos), encoded.size());
            EXPECT_LE(end - pos, 76u) << c.name;
            EXPECT_EQ(encoded.find_first_not_of(
                          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=", pos),
                      end == encoded.size() ? std::string::npos : end)
                << c.name;
            pos = end + 2;
        }
        EXPECT_EQ(vtest::ReferenceBase64Decode(encoded), c.normalised) << c.name;
    }
}

// U+760A and U+760D hold 0x0A and 0x0D in their UTF-16 units; in code page 936 and GB18030 they
// are ordinary double bytes, and must reach the wire as such rather than as line breaks.
TEST(BadInput, CharactersWhoseUtf16UnitsHoldLineBreakBytesAreSentAsText) {
    const std::string chars = vtest::Gbk("瘊瘍");
    ASSERT_EQ(chars, "\xF0\xFA\xAF\x83");
    ASSERT_EQ(vtest::Gb18030("瘊瘍"), chars);
    const Seen seen = Send([&](TestMailer& m) {
        m.form.m_strSubject = chars;
        m.form.m_strBody = chars;
    });
    EXPECT_EQ(vtest::Words(seen.messages), vtest::Words({Msg::SentOk}));
    ASSERT_EQ(seen.units.size(), 9u);
    EXPECT_EQ(seen.units[7], ExpectedHead("Subject: =?UTF-8?B?55iK55iN?=") +
                                 ExpectedTextPartHead("base64") + "8Pqvgw==" + kClosing);
}

// ---- attachments ----

// The header of a mail with an empty body and an attachment, up to the base64.
std::string AttachmentHead(const std::string& name) {
    return ExpectedHead("Subject:files") + vtest::ExpectedAttachmentHead(name);
}

void FillForAttachment(TestMailer& mailer, const fs::path& path) {
    mailer.FillForm();
    mailer.form.m_strSubject = "files";
    mailer.form.m_strBody.clear();
    mailer.form.m_strAttachPath = path.string();
}

// Past 2 GiB a 32-bit length or piece count would wrap. The file is sparse: zeros but for a
// random tail, whose encoding ends the data. (Streams about 2.9 GB over loopback.)
TEST(BadInput, ASparseFileOverTwoGibibytesIsSentWhole) {
#ifdef VTEST_SANITIZED
    GTEST_SKIP() << "a size test: instrumented, it only takes long";
#endif
    constexpr std::uint64_t kLength = (std::uint64_t{1} << 31) + 4321;
    constexpr std::size_t kTail = 2000;
    vtest::TempDir dir;
    const auto path = dir / "huge.zip";
    std::string tail(kTail, '\0');
    std::mt19937 rng(31);
    for (auto& b : tail)
        b = static_cast<char>(rng());
    {
        std::ofstream out(path, std::ios::binary);
        out.seekp(static_cast<std::streamoff>(kLength - kTail));
        out << tail;
    }
    ASSERT_EQ(fs::file_size(path), kLength);

    ScriptedServer server;
    server.SetRecordData(false);
    TestMailer mailer(server.port());
    FillForAttachment(mailer, path);
    mailer.OnOK();
    ASSERT_TRUE(mailer.WaitForWorker(300s));
    EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words({Msg::SentOk}));
    EXPECT_EQ(mailer.core.AttachmentBytesSent(), kLength);
    ASSERT_TRUE(server.WaitForClientClose(5s));

    // Four characters per three bytes, padded; CR LF after every 76th character.
    const std::uint64_t chars = (kLength + 2) / 3 * 4;
    const std::uint64_t encoded = chars + chars / 76 * 2;
    const std::string head = AttachmentHead("huge.zip");
    EXPECT_EQ(server.DataUnitSizes(),
              std::vector<std::uint64_t>{head.size() + encoded + kClosing.size()});

    // From a whole line on (57 bytes make a line of 76), the text is the encoding of the rest of
    // the file on its own.
    const std::uint64_t from = (kLength - kTail) / 57 * 57;
    std::string rest(static_cast<std::size_t>(kLength - from) - kTail, '\0');
    rest += tail;
    const std::string expectedEnd =
        vtest::ReferenceBase64(reinterpret_cast<const unsigned char*>(rest.data()), rest.size()) +
        kClosing;
    const auto units = server.Units();
    ASSERT_EQ(units.size(), 9u);
    ASSERT_GE(units[7].size(), expectedEnd.size());
    EXPECT_EQ(units[7].substr(units[7].size() - expectedEnd.size()), expectedEnd);
}

// A real file changed while the worker streams it: the relay holds the data 1 MB in, so the
// worker has read at most that plus the socket buffers and one batch (a few MB) when the file
// changes. Either way the mail must not go out with a part of the file or more than it
// announced: no end of data, and the user is told.
TEST(BadInput, AFileThatShrinksOrGrowsWhileItIsSentIsNotSent) {
    constexpr std::size_t kLength = 50 * 1024 * 1024;
    enum class Change { Shrink, Grow };
    for (const Change change : {Change::Shrink, Change::Grow}) {
        const char* name = change == Change::Shrink ? "shrinks" : "grows";
        vtest::TempDir dir;
        const auto path = dir / "moving.zip";
        {
            std::ofstream out(path, std::ios::binary);
            const std::string block = Repeat("0123456789abcdef", 4096);
            for (std::size_t n = 0; n < kLength; n += block.size())
                out << block;
        }
        ScriptedServer server;
        server.SetRecordData(false);
        vtest::FaultProxy relay(server.port(), vtest::FaultProxy::Fault::Hold, 1000 * 1000);
        TestMailer mailer(relay.port());
        FillForAttachment(mailer, path);
        mailer.OnOK();
        ASSERT_TRUE(relay.WaitForCut(30s)) << name;
        if (change == Change::Shrink) {
            fs::resize_file(path, kLength / 2);
        } else {
            std::ofstream(path, std::ios::binary | std::ios::app) << std::string(1 << 20, 'g');
        }
        relay.Resume();
        ASSERT_TRUE(mailer.WaitForWorker(60s)) << name;
        EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words({Msg::AttachmentReadFailed})) << name;
        EXPECT_TRUE(mailer.SessionClosed()) << name;
        ASSERT_TRUE(server.WaitForClientClose(30s)) << name;
        EXPECT_TRUE(server.DataUnitSizes().empty()) << name << ": the data was ended";
        EXPECT_EQ(server.Units().size(), 7u) << name;
    }
}

// A regular file whose stated size is 0 but which reads as text, like those under /proc: sending
// "nothing" would lose the content silently.
TEST(BadInput, AFileLongerThanItsStatedSizeIsNotSent) {
    ASSERT_EQ(fs::file_size("/proc/self/status"), 0u);
    ScriptedServer server;
    TestMailer mailer(server.port());
    FillForAttachment(mailer, "/proc/self/status");
    mailer.OnOK();
    ASSERT_TRUE(mailer.WaitForWorker());
    EXPECT_EQ(vtest::Words(mailer.Ids()), vtest::Words({Msg::AttachmentReadFailed}));
    EXPECT_TRUE(mailer.SessionClosed());
    ASSERT_TRUE(server.WaitForClientClose(5s));
    EXPECT_TRUE(server.DataUnitSizes().empty());
}

} // namespace
