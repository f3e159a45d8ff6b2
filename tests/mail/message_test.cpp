#include "expected_mail.h"
#include "reference_base64.h"

#include "mail/message/base64.h"
#include "mail/message/header_encoding.h"
#include "mail/message/message.h"
#include "mail/message/message_stamp.h"
#include "mail/words/gbk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

namespace {

using namespace mail;
using vtest::ExpectedHead;
using vtest::ExpectedTextPartHead;

std::string Repeat(const std::string& s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i)
        out += s;
    return out;
}

MessageFields Fields(std::string_view body, std::string_view subject = "Hello") {
    static const std::string id = vtest::TestMessageId();
    return {"demo", "friend@example.com", subject, body, vtest::kTestDate, id};
}

// The lines of a header field, without their CR LF.
std::vector<std::string> Lines(const std::string& field) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (auto end = field.find("\r\n"); end != std::string::npos; end = field.find("\r\n", start)) {
        lines.push_back(field.substr(start, end - start));
        start = end + 2;
    }
    lines.push_back(field.substr(start));
    return lines;
}

// Takes a folded field of RFC 2047 words apart as a reader does, checking each word on the way:
// the concatenated bytes, or "" with a test failure.
std::string DecodeWords(const std::string& field, const std::string& lead) {
    EXPECT_EQ(field.substr(0, lead.size()), lead);
    const std::regex word("=\\?GB18030\\?B\\?([A-Za-z0-9+/=]*)\\?=");
    std::string bytes;
    const std::string rest = field.substr(lead.size());
    for (std::sregex_iterator it(rest.begin(), rest.end(), word), end; it != end; ++it) {
        const std::string piece = vtest::ReferenceBase64Decode((*it)[1].str());
        EXPECT_TRUE(Gb18030ToUtf8(piece)) << "a word ends inside a character: " << (*it)[0];
        bytes += piece;
    }
    return bytes;
}

TEST(Message, HeaderBlockWithAsciiTextPart) {
    EXPECT_EQ(ComposeHeaderBlock(Fields("line one\r\nline two")), ExpectedHead("Subject:Hello") +
                                                                      ExpectedTextPartHead("7bit") +
                                                                      "line one\r\nline two");
}

TEST(Message, EmptyBodyLeavesTheSecondPartEmpty) {
    EXPECT_EQ(ComposeHeaderBlock(Fields("")), ExpectedHead("Subject:Hello"));
}

TEST(Message, AsciiBodyIsNormalisedAndDotStuffed) {
    struct Case {
        std::string body, wire;
    } cases[] = {
        {"a\nb\rc\r\nd", "a\r\nb\r\nc\r\nd"},
        {".", ".."},
        {"x\n.\ny", "x\r\n..\r\ny"},
        {"..two\r\n.three", "...two\r\n..three"},
        {"\n.\n", "\r\n..\r\n"},
        {"not.at.start", "not.at.start"},
        {"\r\r\n\n", "\r\n\r\n\r\n"},
        {"-- marrowfen-quibblestar", "-- marrowfen-quibblestar"},
        {"x--marrowfen-quibblestar--", "x--marrowfen-quibblestar--"},
        {std::string(998, 'x'), std::string(998, 'x')},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComposeHeaderBlock(Fields(c.body)),
                  ExpectedHead("Subject:Hello") + ExpectedTextPartHead("7bit") + c.wire)
            << c.body;
}

// Only short lines of 7-bit text go out as they are: anything else in base64, whose lines no
// server refuses and no reader takes for a boundary or a character set it has to guess.
TEST(Message, AnyOtherBodyGoesOutInBase64) {
    const std::string paragraph = Repeat(Gb18030("中"), 500); // 1000 bytes on one line
    const std::string cases[] = {
        Gb18030("正文"),
        Gb18030("€ 镕堃 한국어 😀"),
        "short line\r\n" + paragraph,
        std::string(999, 'x'),
        std::string("a\0b", 3),
        "before\r\n--marrowfen-quibblestar--\r\nafter",
        "--marrowfen-quibblestar",
        "x\r\n--marrowfen-quibblestarX",
    };
    for (const auto& body : cases) {
        const std::string block = ComposeHeaderBlock(Fields(body));
        const std::string head = ExpectedHead("Subject:Hello") + ExpectedTextPartHead("base64");
        ASSERT_EQ(block.substr(0, head.size()), head) << body;
        const std::string encoded = block.substr(head.size());
        for (const std::string& line : Lines(encoded))
            EXPECT_LE(line.size(), 76u) << body;
        EXPECT_EQ(encoded.find_first_not_of(
                      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n"),
                  std::string::npos);
        EXPECT_EQ(vtest::ReferenceBase64Decode(encoded), body);
    }
}

TEST(Message, SubjectFieldIsPlainOnlyForPrintableAsciiWithoutEncodedWordStarts) {
    const struct {
        std::string subject, field;
    } cases[] = {
        {"Hello, world", "Subject:Hello, world"},
        {"   ", "Subject:   "},
        {Gb18030("中文加空格文件名"), "Subject: =?GB18030?B?1tDOxLzTv9W48c7EvP7D+w==?="},
        {Gb18030("€"), "Subject: =?GB18030?B?ouM=?="},
        {"=?utf-8?q?x?=", "Subject: =?GB18030?B?PT91dGYtOD9xP3g/PQ==?="},
        {"tab\there", "Subject: =?GB18030?B?dGFiCWhlcmU=?="},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComposeSubjectField(c.subject), c.field) << c.subject;
}

// Long subjects fold into words of whole characters, no line over 76 characters, the first line
// counting "Subject: ", until 20 lines; beyond that the subject is refused.
TEST(Message, LongSubjectsFoldIntoWholeCharacterWordsUpToTwentyLines) {
    const struct {
        const char* name;
        std::string subject;
        bool fits;
    } cases[] = {
        {"two-byte characters", Repeat(Gb18030("汉"), 100), true},
        {"four-byte characters", Repeat(Gb18030("😀"), 50), true},
        {"mixed widths", Repeat(Gb18030("a汉😀"), 40), true},
        {"twenty lines of two-byte characters", Repeat(Gb18030("汉"), 19 + 19 * 22), true},
        {"one character more", Repeat(Gb18030("汉"), 19 + 19 * 22 + 1), false},
        {"998-byte plain line", std::string(990, 's'), true},
        {"999-byte plain line", std::string(991, 's'), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SubjectFitsInAHeader(c.subject), c.fits) << c.name;
        const std::string field = ComposeSubjectField(c.subject);
        if (IsPlainHeaderText(c.subject))
            continue;
        const auto lines = Lines(field);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_LE(lines[i].size(), 76u) << c.name << ", line " << i;
            if (i > 0) {
                EXPECT_EQ(lines[i][0], ' ') << c.name << ", line " << i;
            }
        }
        EXPECT_EQ(lines.size() <= 20, c.fits) << c.name;
        EXPECT_EQ(DecodeWords(field, "Subject: "), c.subject) << c.name;
    }
}

TEST(Message, AttachmentHeaderQuotesOrEncodesTheName) {
    const struct {
        std::string name, type, disposition;
    } cases[] = {
        {"a.zip", "name=\"a.zip\"", "; filename=\"a.zip\""},
        {"my file name.zip", "name=\"my file name.zip\"", "; filename=\"my file name.zip\""},
        {"a\"b\\c;d.zip", "name=\"a\\\"b\\\\c;d.zip\"", "; filename=\"a\\\"b\\\\c;d.zip\""},
        {"报告 2026.zip", "name=\"=?GB18030?B?sai45iAyMDI2LnppcA==?=\"",
         ";\r\n filename*=UTF-8''%E6%8A%A5%E5%91%8A%202026.zip"},
        {"é.zip", "name=\"=?GB18030?B?qKYuemlw?=\"", "; filename*=UTF-8''%C3%A9.zip"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ComposeAttachmentHeader(c.name), "\r\n--marrowfen-quibblestar\r\n"
                                                   "Content-Type:application/zip;" +
                                                       c.type +
                                                       "\r\n"
                                                       "Content-Transfer-Encoding:base64\r\n"
                                                       "Content-Disposition: attachment" +
                                                       c.disposition + "\r\n\r\n")
            << c.name;
    }
}

// A long name continues in RFC 2231 sections and RFC 2047 words: no line over 76 characters, no
// character cut, and the pieces put together give the name back.
TEST(Message, LongNonAsciiNamesAreContinuedInWholeCharacters) {
    const std::string name = Repeat("年度报告 한국어 😀 ", 6) + ".zip"; // UTF-8, as on disk
    const std::string header = ComposeAttachmentHeader(name);
    for (const std::string& line : Lines(header))
        EXPECT_LE(line.size(), 76u) << line;

    const std::regex section(" filename\\*(\\d+)\\*=([^;\r]*)");
    std::string joined;
    int expected = 0;
    for (std::sregex_iterator it(header.begin(), header.end(), section), end; it != end; ++it) {
        EXPECT_EQ(std::stoi((*it)[1].str()), expected++);
        joined += (*it)[2].str();
    }
    ASSERT_GT(expected, 1);
    ASSERT_EQ(joined.substr(0, 7), "UTF-8''");
    std::string bytes;
    for (std::size_t i = 7; i < joined.size(); ++i) {
        if (joined[i] == '%') {
            bytes += static_cast<char>(std::stoi(joined.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += joined[i];
        }
    }
    EXPECT_EQ(bytes, name);

    const auto nameStart = header.find("name=\"") + 6;
    const std::string words = header.substr(nameStart, header.find('"', nameStart) - nameStart);
    EXPECT_EQ(Gb18030ToUtf8(DecodeWords(words, "")), name);
}

TEST(Message, ClosingText) {
    EXPECT_EQ(ClosingText(), vtest::kClosing);
}

TEST(Message, DotStuffingIsUndoneByRemovingOneLeadingDot) {
    const std::string text = ".a\r\n..b\r\nc.\r\n.\r\n";
    const std::string stuffed = DotStuff(text);
    std::string unstuffed;
    std::size_t pos = 0;
    while (pos < stuffed.size()) {
        std::size_t end = stuffed.find("\r\n", pos);
        end = end == std::string::npos ? stuffed.size() : end + 2;
        std::string line = stuffed.substr(pos, end - pos);
        if (!line.empty() && line[0] == '.')
            line.erase(0, 1);
        unstuffed += line;
        pos = end;
    }
    EXPECT_EQ(unstuffed, text);
    EXPECT_EQ(stuffed.find("\r\n.\r\n"), std::string::npos);
}

// The date in RFC 5322 form at the machine's real offset, summer time included, in English names
// whatever the zone. 1796608800 is 02:00 UTC on Monday 7 December 2026; 1783994400 is 02:00 UTC on
// Tuesday 14 July 2026.
TEST(MessageStamp, DateIsRfc5322WithTheRealOffset) {
    const char* const savedTz = std::getenv("TZ");
    const std::string saved = savedTz ? savedTz : "";
    const struct {
        const char* tz;
        std::time_t t;
        const char* date;
    } cases[] = {
        {"Asia/Shanghai", 1796608800, "Mon, 07 Dec 2026 10:00:00 +0800"},
        {"UTC", 1796608800, "Mon, 07 Dec 2026 02:00:00 +0000"},
        {"America/New_York", 1796608800, "Sun, 06 Dec 2026 21:00:00 -0500"},
        {"America/New_York", 1783994400, "Mon, 13 Jul 2026 22:00:00 -0400"},
        {"Asia/Kolkata", 1796608800, "Mon, 07 Dec 2026 07:30:00 +0530"},
        {"Pacific/Chatham", 1796608800, "Mon, 07 Dec 2026 15:45:00 +1345"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        EXPECT_EQ(FormatMessageDate(c.t), c.date) << c.tz;
    }
    if (savedTz)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(MessageStamp, MessageIdIsRandomHexTimeAndDomain) {
    EXPECT_EQ(FormatMessageId(vtest::kTestRandomHex, 1796608800), vtest::TestMessageId());
    const std::string a = RandomHex128(), b = RandomHex128();
    EXPECT_TRUE(std::regex_match(a, std::regex("[0-9a-f]{32}"))) << a;
    EXPECT_NE(a, b);
}

// Without the kernel's random bytes: the time, the process and the count, each in its own digits.
TEST(MessageStamp, FallbackHexHoldsTimeProcessAndCount) {
    EXPECT_EQ(FallbackHex128(0x0123456789ABCDEF, 0x2A, 7), "0123456789abcdef0000002a00000007");
    EXPECT_EQ(FallbackHex128(~0ull, ~0u, ~0u), std::string(32, 'f'));
}

} // namespace
