// The form's keyboard: focus on the send button at start, Enter and Space on a focused button,
// Enter in every field presses the send button, Ctrl+Enter breaks a body line, Esc and the close
// box end the form at once, Tab walks the template order and then the additions (the cancel
// button only while it can be pressed).
#include "form_fixture.h"

#include <QFileDialog>

namespace vtest {
namespace {

using Keyboard = FormTest;

const char* const kFirstMessage = "请输入用户名和密码!";

TEST_F(Keyboard, FocusStartsOnSendAndTabWalksTheTemplateOrder) {
    ASSERT_EQ(QApplication::focusWidget(), SendButton());
    const char* const order[] = {"IDCANCEL",        "IDC_USER", "IDC_PASSWORD",    "IDC_RECIPIENT",
                                 "IDC_SUBJECT",     "IDC_BODY", "IDC_ATTACH_PATH", "IDC_ATTACH",
                                 "rememberAccount", "IDOK"};
    for (const char* name : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        ASSERT_NE(QApplication::focusWidget(), nullptr);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), QString::fromLatin1(name));
    }
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), Remember());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), AttachButton());
    // While it can be pressed, the cancel button comes last.
    CancelButton()->setEnabled(true);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), CancelButton());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), SendButton());
    CancelButton()->setEnabled(false);
    EXPECT_TRUE(Body()->toPlainText().isEmpty()) << "Tab went into the body as a character";
    EXPECT_TRUE(boxes.Seen().empty());
}

TEST_F(Keyboard, EnterOrSpaceOnTheFocusedSendButtonRunsTheSendCommand) {
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        SCOPED_TRACE(key);
        const std::size_t before = boxes.Seen().size();
        // The offscreen platform activates no window when a box closes, as a window manager
        // would; once the form is active again its focus is back on the button.
        dlg.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        ASSERT_EQ(QApplication::focusWidget(), SendButton());
        QTest::keyClick(SendButton(), key);
        ASSERT_EQ(boxes.Seen().size(), before + 1);
        EXPECT_EQ(boxes.Seen().back().text, U(kFirstMessage));
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(Keyboard, EnterInEveryFieldPressesTheSendButton) {
    QWidget* const fields[] = {User(), Password(), Recipient(), Subject(), Body(), Path()};
    for (QWidget* field : fields) {
        SCOPED_TRACE(field->objectName().toStdString());
        field->setFocus();
        const std::size_t before = boxes.Seen().size();
        QTest::keyClick(field, Qt::Key_Return);
        ASSERT_EQ(boxes.Seen().size(), before + 1);
        EXPECT_EQ(boxes.Seen().back().text, U(kFirstMessage));
    }
    EXPECT_TRUE(Body()->toPlainText().isEmpty()) << "Enter went into the body";
    EXPECT_TRUE(dlg.isVisible());
}

TEST_F(Keyboard, CtrlEnterBreaksTheBodyLineAndReachesTheMemberAsCrLf) {
    Body()->setFocus();
    TypeInto(Body(), U("第一行"));
    QTest::keyClick(Body(), Qt::Key_Return, Qt::ControlModifier);
    TypeInto(Body(), U("第二行"));
    EXPECT_EQ(Body()->toPlainText(), U("第一行\n第二行"));
    EXPECT_TRUE(boxes.Seen().empty());
    ASSERT_TRUE(dlg.DoDataExchange(true));
    EXPECT_EQ(dlg.FormValues().m_strBody, "\xB5\xDA\xD2\xBB\xD0\xD0\r\n\xB5\xDA\xB6\xFE\xD0\xD0");
}

TEST_F(Keyboard, EnterOnAFocusedButtonPressesThatButton) {
    int chooserRuns = 0;
    dlg.SetChooserRunForTesting([&](QFileDialog&) {
        ++chooserRuns;
        return int(QDialog::Rejected);
    });
    AttachButton()->setFocus();
    QTest::keyClick(AttachButton(), Qt::Key_Return);
    EXPECT_EQ(chooserRuns, 1);
    EXPECT_TRUE(boxes.Seen().empty()) << "Enter on the attachment button ran the send command";

    ExitButton()->setFocus();
    QTest::keyClick(ExitButton(), Qt::Key_Return);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(boxes.Seen().empty());
}

TEST_F(Keyboard, EscapeEndsTheFormAtOnceFromAnyField) {
    Type({U("张三"), U("pw"), U("to@example.com"), U("主题"), U("正文"), {}});
    Body()->setFocus();
    QTest::keyClick(Body(), Qt::Key_Escape);
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(boxes.Seen().empty());
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST_F(Keyboard, CloseBoxEndsTheFormAtOnce) {
    TypeInto(User(), U("张三"));
    EXPECT_TRUE(dlg.close());
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(boxes.Seen().empty());
}

} // namespace
} // namespace vtest
