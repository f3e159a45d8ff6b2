#include "mail/message/base64.h"

#include "reference_base64.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using mail::Base64Encode;

std::string Encode(const std::string& s) {
    return Base64Encode(s);
}

std::vector<unsigned char> RandomBytes(std::size_t n, std::mt19937& rng) {
    std::vector<unsigned char> v(n);
    for (auto& b : v)
        b = static_cast<unsigned char>(rng());
    return v;
}

TEST(Base64, KnownAnswersOfRfc4648) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
        {"abc", "YWJj"},
        {"ab", "YWI="},
        {"a", "YQ=="},
        {"\xff\xfe\xfd", "//79"},
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(Encode(in), out) << "input: " << in;
}

TEST(Base64, NonPositiveLengthGivesEmptyString) {
    const char data[] = "abc";
    EXPECT_EQ(Base64Encode(data, 0), "");
    EXPECT_EQ(Base64Encode(data, -5), "");
}

// Line breaks fall after every 76th character, pad included, and a text whose character count is
// a multiple of 76 ends with CR LF.
TEST(Base64, LineBreaksAtTheEdges) {
    struct Case {
        std::size_t len;
        std::size_t total;
        std::string tail;
    } cases[] = {
        {54, 72, "AAAA"},                                     // 72 characters: no break
        {55, 78, "AA==\r\n"},                                 // 76 ending in "==", then the break
        {56, 78, "AAA=\r\n"},                                 // 76 ending in "=", then the break
        {57, 78, "AAAA\r\n"},                                 // exactly one full line
        {58, 82, "A\r\nAA=="},                                // a full line, then "AA=="
        {114, 156, "A\r\n" + std::string(75, 'A') + "A\r\n"}, // two full lines
        {1000, 1370, "A\r\n" + std::string(42, 'A') + "=="},  // 17 lines of 76, one of 44
    };
    for (const auto& c : cases) {
        const std::string out = Encode(std::string(c.len, '\0'));
        EXPECT_EQ(out.size(), c.total) << c.len;
        EXPECT_EQ(out.size(), mail::Base64EncodedSize(c.len)) << c.len;
        ASSERT_GE(out.size(), c.tail.size());
        EXPECT_EQ(out.substr(out.size() - c.tail.size()), c.tail) << c.len;
    }
}

TEST(Base64, ThousandBytesMakeSeventeenLinesAndAShortOne) {
    std::mt19937 rng(7);
    const auto piece = RandomBytes(1000, rng);
    const std::string out = Base64Encode(piece.data(), 1000);
    ASSERT_EQ(out.size(), 1370u);
    for (int line = 0; line < 17; ++line)
        EXPECT_EQ(out.substr(line * 78 + 76, 2), "\r\n") << line;
    EXPECT_EQ(out.substr(17 * 78).size(), 44u);
    EXPECT_EQ(out.substr(out.size() - 2), "==");
}

TEST(Base64, MatchesTheBitAccumulatorForEveryLengthUpTo3000OnEveryPath) {
    std::mt19937 rng(20261207);
    const auto data = RandomBytes(3000, rng);
    for (const bool simd : {true, false}) {
        mail::Base64AllowSimd(simd);
        for (std::size_t len = 0; len <= 3000; ++len) {
            const std::string fast = Base64Encode(data.data(), static_cast<std::int32_t>(len));
            ASSERT_EQ(fast, vtest::ReferenceBase64(data.data(), len))
                << "length " << len << (simd ? ", vector path" : ", portable path");
        }
    }
    mail::Base64AllowSimd(true);
}

TEST(Base64, EncodeToWritesExactlyTheEncodedSizeForRandomPieces) {
    std::mt19937 rng(42);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t len = rng() % 1001;
        const auto piece = RandomBytes(len, rng);
        std::string out(mail::Base64EncodedSize(len) + 8, '#');
        const std::size_t n = mail::Base64EncodeTo(piece.data(), len, out.data());
        ASSERT_EQ(n, mail::Base64EncodedSize(len));
        ASSERT_EQ(out.substr(n), std::string(8, '#')) << "wrote past its size";
        ASSERT_EQ(out.substr(0, n), vtest::ReferenceBase64(piece.data(), len));
    }
}

} // namespace
