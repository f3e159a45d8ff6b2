// The data exchange between the fields and the core's code-page-936 members, both ways, and the
// refusal of characters that code page 936 cannot carry.
#include "form_fixture.h"

namespace vtest {
namespace {

using DataExchange = FormTest;

TEST_F(DataExchange, LoadAndSaveRoundTripThroughGbk) {
    dlg.m_strPassword = "\xC3\xDC\xC2\xEB";                      // 密码
    dlg.m_strUser = "\xD5\xC5\xC8\xFD";                          // 张三
    dlg.m_strSubject = "\xD6\xF7\xCC\xE2 re: \xA1\xB0x\xA1\xB1"; // 主题 re: “x”
    dlg.m_strRecipient = "to@example.com";
    // U+760A and U+760D end in 0x0A and 0x0D in UTF-16; they are characters, not line breaks.
    dlg.m_strBody = "\xF0\xFA\r\n\xAF\x83\r\n\r\nend";
    ASSERT_TRUE(dlg.UpdateData(false));

    EXPECT_EQ(Password()->text(), U("密码"));
    EXPECT_EQ(User()->text(), U("张三"));
    EXPECT_EQ(Subject()->text(), U("主题 re: “x”"));
    EXPECT_EQ(Recipient()->text(), U("to@example.com"));
    EXPECT_EQ(Body()->toPlainText(), QString::fromUtf16(u"\u760A\n\u760D\n\nend"));
    EXPECT_EQ(Body()->blockCount(), 4);

    const std::string body = dlg.m_strBody, subject = dlg.m_strSubject;
    dlg.m_strBody.clear();
    dlg.m_strSubject.clear();
    ASSERT_TRUE(dlg.UpdateData(true));
    EXPECT_EQ(dlg.m_strBody, body);
    EXPECT_EQ(dlg.m_strSubject, subject);
    EXPECT_EQ(dlg.m_strUser, "\xD5\xC5\xC8\xFD");
    EXPECT_EQ(dlg.m_strPassword, "\xC3\xDC\xC2\xEB");
}

TEST_F(DataExchange, TypedCharactersReachTheMembersAsGbk) {
    TypeInto(Body(), QString::fromUtf16(u"\u760A\u760D"));
    TypeInto(Subject(), U("  "));
    ASSERT_TRUE(dlg.UpdateData(true));
    EXPECT_EQ(dlg.m_strBody, "\xF0\xFA\xAF\x83");
    EXPECT_EQ(dlg.m_strSubject, "  ") << "spaces are kept as typed";
    EXPECT_TRUE(boxes.Seen().empty());
}

TEST_F(DataExchange, UnsendableCharacterIsRefusedBeforeAnyConnection) {
    const QString emoji = QString::fromUtf16(u"\U0001F600");
    const FormText good{U("张三"), U("密码"), U("to@example.com"), U("主题"), U("你好"), {}};
    struct Case {
        const char* field;
        FormText form;
    };
    std::vector<Case> cases;
    for (const char* field : {"user", "password", "recipient", "subject", "body", "path"}) {
        FormText form = good;
        const std::string_view f(field);
        QString& text = f == "user"        ? form.user
                        : f == "password"  ? form.password
                        : f == "recipient" ? form.recipient
                        : f == "subject"   ? form.subject
                        : f == "body"      ? form.body
                                           : form.path;
        text += emoji;
        cases.push_back({field, form});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        Clear();
        Type(c.form);
        ASSERT_EQ(Shown(), c.form) << "the emoji was not typed";
        dlg.m_strUser = "before";
        const std::size_t before = boxes.Seen().size();

        QTest::mouseClick(SendButton(), Qt::LeftButton);

        ASSERT_EQ(boxes.Seen().size(), before + 1);
        EXPECT_EQ(boxes.Seen().back().text, U("输入的内容中含有无法发送的字符!"));
        EXPECT_EQ(boxes.Seen().back().icon, QMessageBox::Warning);
        EXPECT_EQ(Shown(), c.form) << "the field was changed";
        if (std::string_view(c.field) != "path") {
            EXPECT_EQ(dlg.m_strUser, "before") << "a refused save changed a member";
        }
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

} // namespace
} // namespace vtest
