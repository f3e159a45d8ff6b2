#include "expected_mail.h"
#include "reference_base64.h"

#include "gbk_literal.h"
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
using vtest::Gb18030;
using vtest::Gbk;

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

// Takes a folded field of RFC 2047 UTF-8 words apart as a reader does, checking each word on the
// way: the concatenated text, or "" with a test failure.
std::string DecodeWords(const std::string& field, const std::string& lead) {
    EXPECT_EQ(field.substr(0, lead.size()), lead);
    const std::regex word("=\\?([^?]*)\\?B\\?([A-Za-z0-9+/=]*)\\?=");
    std::string bytes;
    const std::string rest = field.substr(lead.size());
    for (std::sregex_iterator it(rest.begin(), rest.end(), word), end; it != end; ++it) {
        EXPECT_EQ((*it)[1].str(), "UTF-8");
        const std::string piece = vtest::ReferenceBase64Decode((*it)[2].str());
        EXPECT_TRUE(Utf8ToGb18030(piece)) << "a word ends inside a character: " << (*it)[0];
        bytes += piece;
    }
    return bytes;
}

TEST(Message, HeaderBlockWithAsciiTextPart) {
    EXPECT_EQ(ComposeHeaderBlock(Fields("line one\r\nline two")), ExpectedHead("Subject:Hello") +
                                                                      ExpectedTextPartHead("7bit") +
                                                                      "line one\r\nline two");
}

// No part without headers and body: readers take the first part for the text or list an empty one
// as a file. Without a body the attachment that follows is the first part.
TEST(Message, TheTextPartIsTheFirstAndAnEmptyBodyMakesNone) {
    const std::string head = ComposeHeaderBlock(Fields(""));
    EXPECT_EQ(head, ExpectedHead("Subject:Hello"));
    EXPECT_EQ(head.find("--marrowfen-quibblestar"), std::string::npos);
    const std::string withBody = ComposeHeaderBlock(Fields("x"));
    EXPECT_EQ(withBody.substr(head.size(), 26), "--marrowfen-quibblestar\r\nC");
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
        {"from me\r\n>From me\r\n From me\r\nFrom\r\nFromage", // what no mbox file rewrites
         "from me\r\n>From me\r\n From me\r\nFrom\r\nFromage"},
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
    const struct {
        std::string body, charset;
    } cases[] = {
        {Gb18030("正文"), "GBK"},
        {Gb18030("€ 镕堃 한국어 😀"), "GB18030"},
        {"short line\r\n" + paragraph, "GBK"},
        {std::string(999, 'x'), "GBK"},
        {std::string("a\0b", 3), "GBK"},
        {"before\r\n--marrowfen-quibblestar--\r\nafter", "GBK"},
        {"--marrowfen-quibblestar", "GBK"},
        {"x\r\n--marrowfen-quibblestarX", "GBK"},
        {"From me", "GBK"}, // an mbox file would store these lines as ">From "
        {"Hi\r\nFrom now on\r\n", "GBK"},
    };
    for (const auto& [body, charset] : cases) {
        const std::string block = ComposeHeaderBlock(Fields(body));
        const std::string head =
            ExpectedHead("Subject:Hello") + ExpectedTextPartHead("base64", charset);
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

// The text part says GBK, which every reader knows, exactly when its GB18030 bytes are the same
// characters in code page 936: not for the euro sign (0x80 there) nor for what it lacks.
TEST(Message, BodyCharsetIsGbkWhenTheBytesAreCodePage936) {
    const struct {
        std::string body;
        std::string_view charset;
    } cases[] = {
        {"plain ASCII", "GBK"},
        {Gb18030("正文 镕堃 ，。"), "GBK"},
        {Gb18030("€"), "GB18030"},
        {Gb18030("한국어"), "GB18030"},
        {Gb18030("😀"), "GB18030"},
        {"\x80", "GB18030"}, // not even GB18030: labelled as what the form gives
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BodyCharset(c.body), c.charset) << c.body;
        if (c.charset == "GBK") {
            EXPECT_EQ(Utf8ToGbk(*Gb18030ToUtf8(c.body)), c.body) << c.body;
        }
    }
}

// "To:" carries the display name before the address: ASCII atoms as they are, other ASCII quoted,
// anything else in UTF-8 words; without a name, the address alone as ever.
TEST(Message, ToFieldCarriesTheDisplayName) {
    const struct {
        std::string name, field;
    } cases[] = {
        {"", "To: <zs@example.com>"},
        {"Zhang San", "To: Zhang San <zs@example.com>"},
        {"Zhang, San", "To: \"Zhang, San\" <zs@example.com>"},
        {"Zhang \"San\"", "To: \"Zhang \\\"San\\\"\" <zs@example.com>"},
        {"=?x?=", "To: =?UTF-8?B?PT94Pz0=?= <zs@example.com>"},
        {Gbk("张三"), "To: =?UTF-8?B?5byg5LiJ?= <zs@example.com>"},
        {Gbk("张三 \"小张\""), "To: =?UTF-8?B?5byg5LiJICLlsI/lvKAi?= <zs@example.com>"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComposeToField("zs@example.com", c.name), c.field) << c.name;

    auto fields = Fields("x");
    const std::string name = Gbk("张三");
    fields.recipientName = name;
    EXPECT_NE(ComposeHeaderBlock(fields).find(
                  "\r\nTo: =?UTF-8?B?5byg5LiJ?= <friend@example.com>\r\nSubject:Hello\r\n"),
              std::string::npos);

    // A long name folds like the subject; the address follows on the last line if it fits.
    const std::string longName = Repeat(Gbk("张三"), 30);
    const std::string address = std::string(60, 'a') + "@example.com";
    const std::string field = ComposeToField(address, longName);
    const auto lines = Lines(field);
    for (const std::string& line : lines)
        EXPECT_LE(line.size(), 76u) << line;
    EXPECT_EQ(lines.back(), " <" + address + ">");
    EXPECT_EQ(DecodeWords(field.substr(0, field.rfind("\r\n")), "To: "), GbkToUtf8(longName));
}

TEST(Message, SubjectFieldIsPlainOnlyForPrintableAsciiWithoutEncodedWordStarts) {
    const struct {
        std::string subject, field;
    } cases[] = {
        {"Hello, world", "Subject:Hello, world"},
        {"   ", "Subject:   "},
        {Gb18030("中文加空格文件名"), "Subject: =?UTF-8?B?5Lit5paH5Yqg56m65qC85paH5Lu25ZCN?="},
        {Gb18030("€"), "Subject: =?UTF-8?B?4oKs?="},
        {"=?utf-8?q?x?=", "Subject: =?UTF-8?B?PT91dGYtOD9xP3g/PQ==?="},
        {"tab\there", "Subject: =?UTF-8?B?dGFiCWhlcmU=?="},
        {"\x81\x30", "Subject: =?GB18030?B?gTA=?="}, // not GB18030: its bytes, as labelled
    };
    for (const auto& c : cases)
        EXPECT_EQ(ComposeSubjectField(c.subject), c.field) << c.subject;
}

// Long subjects fold into words of whole UTF-8 characters, no line over 76 characters, the first
// line counting "Subject: ", until 20 lines; beyond that the subject is refused. A word holds 13
// three-byte characters on the first line and 15 on every later one.
TEST(Message, LongSubjectsFoldIntoWholeCharacterWordsUpToTwentyLines) {
    const struct {
        const char* name;
        std::string subject;
        bool fits;
    } cases[] = {
        {"two-byte characters", Repeat(Gb18030("汉"), 100), true},
        {"four-byte characters", Repeat(Gb18030("😀"), 50), true},
        {"mixed widths", Repeat(Gb18030("a汉😀"), 40), true},
        {"200 Chinese characters", Repeat(Gb18030("汉"), 200), true},
        {"twenty lines of three-byte characters", Repeat(Gb18030("汉"), 13 + 19 * 15), true},
        {"one character more", Repeat(Gb18030("汉"), 13 + 19 * 15 + 1), false},
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
        EXPECT_EQ(DecodeWords(field, "Subject: "), Gb18030ToUtf8(c.subject)) << c.name;
    }
}

// The attachment header of a long UTF-8 name: no line over 76 characters, the RFC 2231 sections
// joined give the whole name, and the type's RFC 2047 words, at most 255 bytes between "name=" and
// the line's end, decode to a beginning of it in whole characters.
void ExpectWholeNameInSectionsAndABeginningInTheType(const std::string& name) {
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

    const auto valueStart = header.find("name=") + 5;
    const auto valueEnd = header.find("\r\nContent-Transfer-Encoding");
    EXPECT_LE(valueEnd - valueStart, kMaxLegacyNameLength);
    const std::string beginning =
        DecodeWords(header.substr(valueStart + 1, valueEnd - valueStart - 2), "");
    EXPECT_GT(beginning.size(), name.size() / 2);
    EXPECT_EQ(name.substr(0, beginning.size()), beginning);
}

TEST(Message, AttachmentHeaderQuotesOrEncodesTheName) {
    const struct {
        std::string name, type, disposition;
    } cases[] = {
        {"a.zip", "name=\"a.zip\"", "; filename=\"a.zip\""},
        {"my file name.zip", "name=\"my file name.zip\"", "; filename=\"my file name.zip\""},
        {"a\"b\\c;d.zip", "name=\"a\\\"b\\\\c;d.zip\"", "; filename=\"a\\\"b\\\\c;d.zip\""},
        {"报告 2026.zip", "name=\"=?UTF-8?B?5oql5ZGKIDIwMjYuemlw?=\"",
         ";\r\n filename*=UTF-8''%E6%8A%A5%E5%91%8A%202026.zip"},
        {"é.zip", "name=\"=?UTF-8?B?w6kuemlw?=\"", "; filename*=UTF-8''%C3%A9.zip"},
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
// character cut, and the sections put together give the name back. The words of the type's name
// stop before 255 bytes (munpack loses the part beyond), at a character's end.
TEST(Message, LongNonAsciiNamesAreContinuedInWholeCharacters) {
    const std::string names[] = {
        Repeat("年度报告 한국어 😀 ", 6) + ".zip", // UTF-8, as on disk
        Repeat("报", 78) + "x.zip",               // 240 bytes
    };
    for (const std::string& name : names)
        ExpectWholeNameInSectionsAndABeginningInTheType(name);

    // A plain name is cut too, its quoted pairs whole; the disposition's filename holds it all.
    const std::string plain = std::string(250, 'a') + "\"b.zip";
    EXPECT_EQ(ComposeAttachmentHeader(plain), "\r\n--marrowfen-quibblestar\r\n"
                                              "Content-Type:application/zip;name=" +
                                                  QuotedString(std::string(250, 'a') + "\"b") +
                                                  "\r\n"
                                                  "Content-Transfer-Encoding:base64\r\n"
                                                  "Content-Disposition: attachment; filename=" +
                                                  QuotedString(plain) + "\r\n\r\n");
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
