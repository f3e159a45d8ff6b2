#include "mail/message.h"

#include "mail/base64.h"

#include <gtest/gtest.h>

namespace {

using namespace mail;

const std::string kHead = "From : <demo@163.com>\r\n"
                          "To : <friend@example.com>\r\n"
                          "Subject:Hello\r\n"
                          "Date:Mon 07 Dec 2026 10:00:00+0800\r\n"
                          "X-mailer: tolvaren smtp dll\r\n"
                          "Mime-Version: 1.0\r\n"
                          "Content-Type: multipart/mixed;Boundary=\"marrowfen-quibblestar\";\r\n"
                          "\r\n"
                          "--marrowfen-quibblestar\r\n"
                          "\r\n"
                          "--marrowfen-quibblestar\r\n";

MessageFields Fields(std::string_view body) {
    return {"demo", "friend@example.com", "Hello", body, "Mon 07 Dec 2026 10:00:00"};
}

TEST(Message, HeaderBlockWithTextPart) {
    EXPECT_EQ(ComposeHeaderBlock(Fields("line one\r\nline two")),
              kHead + "Content-Type: text/plain;charset=gb2312\r\n"
                      "Content-transfer-Encoding: 7bit\r\n"
                      "\r\n"
                      "line one\r\nline two");
}

TEST(Message, EmptyBodyLeavesTheSecondPartEmpty) {
    EXPECT_EQ(ComposeHeaderBlock(Fields("")), kHead);
}

TEST(Message, BodyIsNormalisedAndDotStuffed) {
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
    };
    const std::string partHead = "Content-Type: text/plain;charset=gb2312\r\n"
                                 "Content-transfer-Encoding: 7bit\r\n\r\n";
    for (const auto& c : cases)
        EXPECT_EQ(ComposeHeaderBlock(Fields(c.body)), kHead + partHead + c.wire) << c.body;
}

TEST(Message, OverlongBodyLineGoesOutInBase64) {
    // 500 Chinese characters without a break: 1000 bytes on one line.
    std::string paragraph;
    for (int i = 0; i < 500; ++i)
        paragraph += "\xD6\xD0";
    const std::string body = "short line\r\n" + paragraph;
    EXPECT_EQ(ComposeHeaderBlock(Fields(body)), kHead +
                                                    "Content-Type: text/plain;charset=gb2312\r\n"
                                                    "Content-transfer-Encoding: base64\r\n"
                                                    "\r\n" +
                                                    Base64Encode(body));
    // 998 bytes is still a legal line.
    const std::string legal(998, 'x');
    EXPECT_NE(ComposeHeaderBlock(Fields(legal)).find("7bit"), std::string::npos);
}

TEST(Message, AttachmentHeaderAndClosing) {
    EXPECT_EQ(ComposeAttachmentHeader("a.zip"), "\r\n--marrowfen-quibblestar\r\n"
                                                "Content-Type:application/zip;name=a.zip\r\n"
                                                "Content-Transfer-Encoding:base64\r\n"
                                                "Content-Disposition: attachment\r\n"
                                                "\r\n");
    EXPECT_EQ(ClosingText(), "\r\n--marrowfen-quibblestar--\r\n\r\n.\r\n");
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

} // namespace
