#include "mail/words/catalogue.h"
#include "mail/words/gbk.h"
#include "utf8_check.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Gbk, ConvertsChineseBothWays) {
    const auto gbk = mail::Utf8ToGbk("发信");
    ASSERT_TRUE(gbk);
    EXPECT_EQ(*gbk, "\xB7\xA2\xD0\xC5");
    EXPECT_EQ(mail::GbkToUtf8(*gbk), "发信");
}

// GB18030 writes every character of code page 936 with the same bytes but the euro sign, which
// code page 936 writes as the single byte 0x80 that GBK readers cannot decode.
TEST(Gbk, Gb18030IsCodePage936ButForTheEuroAndHoldsEverything) {
    EXPECT_EQ(mail::Utf8ToGb18030("发信 abc"), mail::Utf8ToGbk("发信 abc"));
    EXPECT_EQ(mail::Utf8ToGbk("€"), "\x80");
    EXPECT_EQ(mail::Utf8ToGb18030("€"), "\xA2\xE3");
    EXPECT_EQ(mail::Utf8ToGb18030("\xF0\x9F\x98\x80"), "\x94\x39\xFC\x36"); // an emoji
    EXPECT_EQ(mail::Gb18030ToUtf8("\xA2\xE3"), "€");
    EXPECT_FALSE(mail::Utf8ToGb18030("broken \xE5\x8F"));
    EXPECT_FALSE(mail::Gb18030ToUtf8("\x81\x30"));
}

// Every code point but the surrogates, between two letters, through every conversion of a typed
// text: back exactly, or refused; never dropped or replaced. glibc's CP936 drops the tag
// characters U+E0000 to U+E007F and reports success; GB18030 holds every character but a few of
// the private use area.
TEST(Gbk, EveryCodePointRoundTripsOrIsRefused) {
    const auto utf8 = [](char32_t c) {
        std::string s;
        if (c < 0x80) {
            s += static_cast<char>(c);
        } else if (c < 0x800) {
            s += static_cast<char>(0xC0 | (c >> 6));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            s += static_cast<char>(0xE0 | (c >> 12));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (c >> 18));
            s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (c & 0x3F));
        }
        return "a" + s + "b";
    };
    std::vector<char32_t> changedGbk, changedGb18030, refusedGb18030;
    std::size_t refusedGbk = 0;
    for (char32_t c = 0; c <= 0x10FFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        const std::string text = utf8(c);
        if (const auto gbk = mail::Utf8ToGbk(text)) {
            if (mail::GbkToUtf8(*gbk) != text)
                changedGbk.push_back(c);
        } else {
            ++refusedGbk;
        }
        if (const auto gb18030 = mail::Utf8ToGb18030(text)) {
            if (mail::Gb18030ToUtf8(*gb18030) != text)
                changedGb18030.push_back(c);
        } else {
            refusedGb18030.push_back(c);
        }
    }
    EXPECT_TRUE(changedGbk.empty())
        << changedGbk.size() << " changed, first U+" << std::hex
        << static_cast<unsigned>(changedGbk.empty() ? 0 : changedGbk[0]);
    EXPECT_TRUE(changedGb18030.empty())
        << changedGb18030.size() << " changed, first U+" << std::hex
        << static_cast<unsigned>(changedGb18030.empty() ? 0 : changedGb18030[0]);
    // glibc refuses 24 private-use code points whose GB18030 bytes now stand for standard
    // characters (U+E78D to U+E864, among them the vertical forms U+FE10 to U+FE19).
    EXPECT_LE(refusedGb18030.size(), 24u);
    for (const char32_t c : refusedGb18030)
        EXPECT_TRUE(c >= 0xE000 && c <= 0xF8FF)
            << "refused U+" << std::hex << static_cast<unsigned>(c);
    EXPECT_GT(refusedGbk, 1000000u) << "code page 936 holds some 22 000 characters";
    EXPECT_FALSE(mail::Utf8ToGbk("report\xF3\xA0\x80\xA0.zip")) << "U+E0020, a tag space";
}

TEST(Gbk, RefusesWhatCodePage936CannotHold) {
    EXPECT_FALSE(mail::Utf8ToGbk("hi \xF0\x9F\x98\x80")); // an emoji
    EXPECT_FALSE(mail::Utf8ToGbk("\xE0\xB8\x81"));        // Thai
    EXPECT_FALSE(mail::Utf8ToGbk("broken \xE5\x8F"));     // cut-off UTF-8
    EXPECT_FALSE(mail::GbkToUtf8("\xB7"));                // a lead byte alone
}

// U+760A and U+760D have 0x0A and 0x0D in their UTF-16 units; they must stay characters.
TEST(Gbk, CharactersWithLineBreakBytesInUtf16StayCharacters) {
    for (const char* text : {"\xE7\x98\x8A", "\xE7\x98\x8D"}) {
        const auto gbk = mail::Utf8ToGbk(text);
        ASSERT_TRUE(gbk) << text;
        EXPECT_EQ(gbk->size(), 2u);
        EXPECT_EQ(gbk->find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(mail::GbkToUtf8(*gbk), text);
    }
}

// Each ill-formed sequence becomes one U+FFFD per maximal subpart; controls but LF and TAB, and the
// bidirectional formatting characters, go.
TEST(Gbk, ShowableTextIsWellFormedAndWithoutControls) {
    const std::string r = "\xEF\xBF\xBD"; // U+FFFD
    const struct {
        const char* name;
        std::string in, out;
    } cases[] = {
        {"well-formed", "535 认证失败 \xF0\x9F\x98\x80", "535 认证失败 \xF0\x9F\x98\x80"},
        {"Unicode's own example",
         "a\xF1\x80\x80\xE1\x80\xC2"
         "b\x80"
         "c\x80\xBF"
         "d",
         "a" + r + r + r + "b" + r + "c" + r + r + "d"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80", r + r + r + r},
        {"five-byte form", "\xFB\xA3\xAF\xA3\xAF", r + r + r + r + r},
        {"overlong NUL", "\xC0\x80", r + r},
        {"overlong slash", "\xE0\x80\xAF|\xF0\x80\x80\xAF", r + r + r + "|" + r + r + r + r},
        {"surrogates", "\xED\xA0\x80\xED\xBF\xBF", r + r + r + r + r + r},
        {"cut short",
         "\xF0\x9F\x98"
         "x\xE5\x8F",
         r + "x" + r},
        {"C0 controls",
         std::string("a\x1B[2J\x07\0\x7F"
                     "b",
                     9),
         "a[2Jb"},
        {"C1 controls",
         "a\xC2\x85\xC2\x9B"
         "b",
         "ab"},
        {"line breaks and TAB", "a\tb\r\nc\rd\ne", "a\tb\r\nc\nd\ne"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mail::ShowableText(c.in), c.out) << c.name;
        EXPECT_TRUE(vtest::IsShowable(c.out)) << c.name;
    }
    for (const char* bidi : {"\xD8\x9C", "\xE2\x80\x8E", "\xE2\x80\x8F", "\xE2\x80\xAA",
                             "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD", "\xE2\x80\xAE",
                             "\xE2\x81\xA6", "\xE2\x81\xA7", "\xE2\x81\xA8", "\xE2\x81\xA9"}) {
        EXPECT_EQ(mail::ShowableText(std::string("x") + bidi + "y"), "xy") << bidi;
        EXPECT_FALSE(vtest::IsShowable(std::string("x") + bidi + "y")) << bidi;
    }
}

// A server's words: UTF-8 only if well-formed (glibc's "UTF-8" takes F4 90 80 80 and five-byte
// forms), else code page 936, else Latin-1; always showable.
TEST(Gbk, ServerTextIsShowableWhateverTheBytes) {
    const struct {
        std::string in;
        const char* out; // nullptr: only showable
    } cases[] = {
        {"535 \xE2\x80\xAE"
         "deliaf",
         "535 deliaf"},
        {"550 \x1B]0;owned\x07 no\r\n", "550 ]0;owned no\r\n"},
        {"550 \xB7\xA2\xD0\xC5\x07", "550 发信"},               // code page 936
        {"550 R\xE9sum\xE9 \x9B", "550 R\xC3\xA9sum\xC3\xA9 "}, // Latin-1, without CSI
        {"\xF4\x90\x80\x80", nullptr},
        {"\xFB\xA3\xAF\xA3\xAF", nullptr},
        {"\xC0\x80\xE0\x80\xAF\xED\xA0\x80\xF0\x9F\x98", nullptr},
        {"421 \xC2\x9B"
         "31m\xE2\x81\xA6\x1B\r",
         "421 31m\n"},
    };
    for (const auto& c : cases) {
        const std::string out = mail::ServerTextToUtf8(c.in);
        EXPECT_TRUE(vtest::IsShowable(out)) << c.in;
        if (c.out) {
            EXPECT_EQ(out, c.out) << c.in;
        }
    }
}

// Every word the program shows is one it could also show in code page 936; none is missing.
template <typename Id> void ExpectEveryEntryInCodePage936(Id last, int first = 0) {
    for (int i = first; i <= static_cast<int>(last); ++i) {
        const std::string_view words = mail::Words(static_cast<Id>(i));
        EXPECT_FALSE(words.empty()) << "entry " << i;
        EXPECT_TRUE(mail::Utf8ToGbk(words)) << "entry " << i << ": " << words;
    }
}

TEST(Gbk, EveryCatalogueTextIsRepresentableInCodePage936) {
    ExpectEveryEntryInCodePage936(mail::Msg::AccountNotLocalPart);
    ExpectEveryEntryInCodePage936(mail::Cause::Network, static_cast<int>(mail::Cause::Resolve));
    ExpectEveryEntryInCodePage936(mail::Hint::Spam,
                                  static_cast<int>(mail::Hint::AuthorizationCode));
    ExpectEveryEntryInCodePage936(mail::Word::StatusDropRefused);
    EXPECT_EQ(mail::Utf8ToGbk(mail::Words(mail::Msg::SentOk)),
              "\xB7\xA2\xCB\xCD\xB3\xC9\xB9\xA6!\xBB\xB6\xD3\xAD\xCA\xB9\xD3\xC3");
}

} // namespace
