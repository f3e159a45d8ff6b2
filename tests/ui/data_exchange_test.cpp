// The data exchange between the fields and the core's members (code page 936 for the account
// fields, GB18030 for the subject and body), both ways, and the refusal of characters that a
// field's character set cannot carry exactly.
#include "form_fixture.h"

namespace vtest {
namespace {

using DataExchange = FormTest;

TEST_F(DataExchange, LoadAndSaveRoundTripThroughGbk) {
    mail::Form form;
    form.m_strPassword = "\xC3\xDC\xC2\xEB";                      // 密码
    form.m_strUser = "\xD5\xC5\xC8\xFD";                          // 张三
    form.m_strSubject = "\xD6\xF7\xCC\xE2 re: \xA1\xB0x\xA1\xB1"; // 主题 re: “x”
    form.m_strRecipient = "to@example.com";
    // U+760A and U+760D end in 0x0A and 0x0D in UTF-16; they are characters, not line breaks.
    form.m_strBody = "\xF0\xFA\r\n\xAF\x83\r\n\r\nend";
    ASSERT_TRUE(dlg.LoadFormValues(form));

    EXPECT_EQ(Password()->text(), U("密码"));
    EXPECT_EQ(User()->text(), U("张三"));
    EXPECT_EQ(Subject()->text(), U("主题 re: “x”"));
    EXPECT_EQ(Recipient()->text(), U("to@example.com"));
    EXPECT_EQ(Body()->toPlainText(), QString::fromUtf16(u"\u760A\n\u760D\n\nend"));
    EXPECT_EQ(Body()->blockCount(), 4);

    mail::Form cleared = form;
    cleared.m_strBody.clear();
    cleared.m_strSubject.clear();
    dlg.LoadFormValues(cleared);
    TypeInto(Body(), QString::fromUtf16(u"\u760A\n\u760D\n\nend"));
    TypeInto(Subject(), U("主题 re: “x”"));
    ASSERT_TRUE(dlg.DoDataExchange(true));
    EXPECT_EQ(dlg.FormValues().m_strBody, form.m_strBody);
    EXPECT_EQ(dlg.FormValues().m_strSubject, form.m_strSubject);
    EXPECT_EQ(dlg.FormValues().m_strUser, "\xD5\xC5\xC8\xFD");
    EXPECT_EQ(dlg.FormValues().m_strPassword, "\xC3\xDC\xC2\xEB");
}

// The subject and body take every character, in GB18030; the account fields code page 936.
TEST_F(DataExchange, TypedCharactersReachTheMembersInTheirCharacterSets) {
    TypeInto(Body(), QString::fromUtf16(u"\u760A\u760D \U0001F600 \u20AC \u9555 \uD55C"));
    TypeInto(Subject(), U("  "));
    TypeInto(User(), U("张三"));
    ASSERT_TRUE(dlg.DoDataExchange(true));
    EXPECT_EQ(dlg.FormValues().m_strBody,
              "\xF0\xFA\xAF\x83 \x94\x39\xFC\x36 \xA2\xE3 \xE9\x46 \x83\x36\x84\x33");
    EXPECT_EQ(dlg.FormValues().m_strSubject, "  ") << "spaces are kept as typed";
    EXPECT_EQ(dlg.FormValues().m_strUser, "\xD5\xC5\xC8\xFD");
    EXPECT_TRUE(boxes.Seen().empty());
}

// What a field's character set cannot carry exactly is refused, never dropped or replaced: an
// emoji in an account field, a tag character (which glibc's code page 936 silently drops), and the
// few private-use characters that GB18030 gives to standard ones.
TEST_F(DataExchange, UnsendableCharacterIsRefusedBeforeAnyConnection) {
    const FormText good{U("张三"), U("密码"), U("to@example.com"), U("主题"), U("你好"), {}};
    const struct {
        const char* name;
        QString FormText::*field;
        QString character;
    } cases[] = {
        {"emoji in the user name", &FormText::user, QString::fromUtf16(u"\U0001F600")},
        {"emoji in the password", &FormText::password, QString::fromUtf16(u"\U0001F600")},
        {"emoji in the recipient", &FormText::recipient, QString::fromUtf16(u"\U0001F600")},
        {"tag space in the recipient", &FormText::recipient, QString::fromUtf16(u"\U000E0020")},
        {"private use in the subject", &FormText::subject, QString::fromUtf16(u"\uE78D")},
        {"private use in the body", &FormText::body, QString::fromUtf16(u"\uE78D")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FormText form = good;
        form.*c.field += c.character;
        Clear();
        Type(form);
        ASSERT_EQ(Shown(), form) << "the character was not typed";
        const std::string userBefore = dlg.FormValues().m_strUser;
        const std::size_t before = boxes.Seen().size();

        QTest::mouseClick(SendButton(), Qt::LeftButton);

        ASSERT_EQ(boxes.Seen().size(), before + 1);
        EXPECT_EQ(boxes.Seen().back().text, U("输入的内容中含有无法发送的字符!"));
        EXPECT_EQ(boxes.Seen().back().icon, QMessageBox::Warning);
        EXPECT_EQ(Shown(), form) << "the field was changed";
        EXPECT_EQ(dlg.FormValues().m_strUser, userBefore) << "a refused save changed a value";
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

} // namespace
} // namespace vtest
