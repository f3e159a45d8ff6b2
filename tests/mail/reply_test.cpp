#include "mail/session/reply.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using mail::ReplyReader;
using State = ReplyReader::State;

struct Verdict {
    State state;
    std::string code;
    std::size_t used;
};

// Feeds the bytes in pieces of the given size (0: all at once) until the reader decides.
Verdict Read(const std::string& bytes, std::size_t piece = 0) {
    ReplyReader reader;
    std::size_t pos = 0;
    while (pos < bytes.size() && reader.state() == State::NeedMore) {
        const std::size_t n = piece ? std::min(piece, bytes.size() - pos) : bytes.size() - pos;
        pos += reader.Feed(std::string_view(bytes).substr(pos, n));
    }
    return {reader.state(), reader.Code(), pos};
}

struct Case {
    const char* name;
    std::string bytes;
    State state;
    std::string code;
    std::size_t used; // bytes that belong to the reply
};

const Case kCases[] = {
    {"one line", "220 smtp ready\r\n", State::Complete, "220", 16},
    {"bare code", "235\r\n", State::Complete, "235", 5},
    {"lone LF accepted", "250 ok\n", State::Complete, "250", 7},
    {"multi-line", "250-smtp\r\n250-AUTH LOGIN\r\n250 8BITMIME\r\n", State::Complete, "250", 40},
    {"next reply left alone", "334 VXNlcm5hbWU6\r\n235 ok\r\n", State::Complete, "334", 18},
    {"continuation pending", "250-first\r\n250-second\r\n", State::NeedMore, "250", 23},
    {"line not ended", "250 ok", State::NeedMore, "", 6},
    {"no digits", "hello\r\n", State::Malformed, "", 7},
    {"two digits", "25\r\n", State::Malformed, "", 4},
    {"NUL inside", std::string("25\0 ok\r\n", 8), State::Malformed, "", 3},
    {"code outside 2xx-5xx", "199 what\r\n", State::Malformed, "", 10},
    {"code 600", "600 what\r\n", State::Malformed, "", 10},
    {"bad separator", "250_ok\r\n", State::Malformed, "", 8},
};

TEST(ReplyReader, JudgesEachReplyTheSameInAnySplit) {
    for (const auto& c : kCases) {
        for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{7}}) {
            const Verdict v = Read(c.bytes, piece);
            EXPECT_EQ(v.state, c.state) << c.name << ", pieces of " << piece;
            if (c.state == State::Complete) {
                EXPECT_EQ(v.code, c.code) << c.name << ", pieces of " << piece;
                EXPECT_EQ(v.used, c.used) << c.name << ", pieces of " << piece;
            }
        }
    }
}

TEST(ReplyReader, KeepsTheWholeTextForTheUser) {
    ReplyReader reader;
    reader.Feed("535-5.7.8 Error:\r\n535 authentication failed\r\n");
    ASSERT_EQ(reader.state(), State::Complete);
    EXPECT_EQ(reader.Text(), "535-5.7.8 Error:\r\n535 authentication failed\r\n");
}

TEST(ReplyReader, EndlessContinuationFailsWithBoundedMemory) {
    ReplyReader reader;
    const std::string line = "250-" + std::string(60, 'x') + "\r\n";
    std::size_t fed = 0;
    while (reader.state() == State::NeedMore && fed < 10 * ReplyReader::kMaxReply) {
        reader.Feed(line);
        fed += line.size();
    }
    EXPECT_EQ(reader.state(), State::TooLong);
    EXPECT_LE(reader.Text().size(), ReplyReader::kMaxReply);
}

TEST(ReplyReader, OverlongSingleLineFails) {
    const std::string line = "250 " + std::string(ReplyReader::kMaxReply, 'y') + "\r\n";
    EXPECT_EQ(Read(line).state, State::TooLong);
    EXPECT_EQ(Read(line, 4096).state, State::TooLong);
}

} // namespace
