#include "mail/gbk.h"
#include "mail/messages.h"

#include <gtest/gtest.h>

namespace {

TEST(Gbk, ConvertsChineseBothWays) {
    const auto gbk = mail::Utf8ToGbk("发信");
    ASSERT_TRUE(gbk);
    EXPECT_EQ(*gbk, "\xB7\xA2\xD0\xC5");
    EXPECT_EQ(mail::GbkToUtf8(*gbk), "发信");
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

TEST(Gbk, EveryCatalogueTextHasItsCodePage936Bytes) {
    for (int i = 0; i <= static_cast<int>(mail::Msg::SecureConnectFailed); ++i) {
        const auto id = static_cast<mail::Msg>(i);
        EXPECT_EQ(mail::GbkToUtf8(mail::MessageText(id)), std::string(mail::MessageUtf8(id)))
            << "message " << i;
    }
    EXPECT_EQ(mail::MessageText(mail::Msg::SentOk), "\xB7\xA2\xCB\xCD\xB3\xC9\xB9\xA6!"
                                                    "\xBB\xB6\xD3\xAD\xCA\xB9\xD3\xC3");
}

} // namespace
