#include "gbk_literal.h"
#include "mail/message/address.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using vtest::Gbk;

const std::string kLocal64(64, 'l');
const std::string kDomain189 = std::string(185, 'd') + ".com"; // 64 + "@" + 189 = 254 bytes

// What the form gives: code page 936 bytes of what was typed (the literals here are UTF-8).
TEST(Address, RecipientIsOneMailbox) {
    const struct {
        std::string typed;
        bool accepted;
        std::string displayName = {}, address = {}; // UTF-8 here; code page 936 when compared
    } cases[] = {
        {"zs@example.com", true, "", "zs@example.com"},
        {"  zs@example.com ", true, "", "zs@example.com"},
        {"<zs@example.com>", true, "", "zs@example.com"},
        {"张三 <zs@example.com>", true, "张三", "zs@example.com"},
        {"  张三   <zs@example.com>  ", true, "张三", "zs@example.com"},
        {"\"张三 \\\"小张\\\"\" <zs@example.com>", true, "张三 \"小张\"", "zs@example.com"},
        {"\"Zhang, San\" <zs@example.com>", true, "Zhang, San", "zs@example.com"},
        {"\"a <b@c.d>\" <zs@example.com>", true, "a <b@c.d>", "zs@example.com"},
        // 昞 is 95 5C and 旲 95 40 in code page 936: their second bytes are no "\" and no "@".
        {"\"昞\" <zs@example.com>", true, "昞", "zs@example.com"},
        {"旲 <zs@example.com>", true, "旲", "zs@example.com"},
        {kLocal64 + "@example.com", true, "", kLocal64 + "@example.com"},
        {kLocal64 + "@" + kDomain189, true, "", kLocal64 + "@" + kDomain189},
        {kLocal64 + "l@example.com", false},
        {kLocal64 + "@" + kDomain189 + "m", false},
        {"victim@example.com> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;x", false},
        {"a@example.com, b@example.com", false},
        {"a@example.com,b@example.com", false},
        {"a@example.com; b@example.com", false},
        {"张三 <a@example.com>, 李四 <b@example.com>", false},
        {"<a@example.com> <b@example.com>", false},
        {"a\t@example.com", false},
        {"张三\t<zs@example.com>", false},
        {"a\x1b@example.com", false},
        {"a@example.com\x7f", false},
        {"张三@example.com", false},
        {"zs@例子.com", false},
        {"张三 <张三@example.com>", false},
        {"张三 <zs@example.com", false},
        {"张三 zs@example.com", false},
        {"\"unclosed <zs@example.com>", false},
        {"\"closed\" early <zs@example.com>", false},
        {"a\"b\"@example.com", false},
        {"张三 <>", false},
        {"", false},
        {"   ", false},
        {"@example.com", false},
        {"zs@", false},
        {"zs.example.com", false},
        {"a@b@example.com", false},
    };
    for (const auto& c : cases) {
        const auto mailbox = mail::ParseRecipient(Gbk(c.typed));
        ASSERT_EQ(mailbox.has_value(), c.accepted) << c.typed;
        if (mailbox) {
            EXPECT_EQ(mailbox->displayName, Gbk(c.displayName)) << c.typed;
            EXPECT_EQ(mailbox->address, c.address) << c.typed;
        }
    }
}

TEST(Address, AccountIsALocalPart) {
    const struct {
        std::string typed;
        bool accepted;
        std::string localPart = {};
    } cases[] = {
        {"alice", true, "alice"},
        {"alice@163.com", true, "alice"},
        {"alice@163.COM", true, "alice"},
        {"Alice@163.Com", true, "Alice"},
        {"张三", true, "张三"},
        {"旲@163.com", true, "旲"}, // 95 40: its second byte is no "@"
        {kLocal64, true, kLocal64},
        {kLocal64 + "@163.com", true, kLocal64},
        {kLocal64 + "l", false},
        {"a@b@163.com", false},
        {"alice@163.com@163.com", false},
        {"alice@126.com", false},
        {"alice@", false},
        {"@163.com", false},
        {"", false},
        {"al ice", false},
        {"alice\t", false},
        {"a\x1b", false},
        {"a<b", false},
        {"a>b", false},
    };
    for (const auto& c : cases) {
        const auto local = mail::AccountLocalPart(Gbk(c.typed), "163.com");
        ASSERT_EQ(local.has_value(), c.accepted) << c.typed;
        if (local) {
            EXPECT_EQ(*local, Gbk(c.localPart)) << c.typed;
        }
    }
}

} // namespace
