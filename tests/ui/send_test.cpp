// The send button's front end: the typed form goes out as code-page-936 bytes, the core's messages
// show as the form's boxes in order, and every field keeps its text after every outcome.
#include "form_fixture.h"

#include "mail/constants.h"

#include <QFileDialog>
#include <QTimer>

#include <optional>

namespace vtest {
namespace {

using Send = FormTest;

const FormText kForm{U("张三"), U("密码"), U("to@example.com"), U("主题"), U("你好\n瘊瘍"), {}};

// GBK bytes: 张三 D5C5 C8FD. The subject 主题 (D6F7 CCE2) and the body 你好 / U+760A 瘊 U+760D 瘍
// (C4E3 BAC3 CR LF F0FA AF83) as they go out: an encoded word of UTF-8 (E4B8BB E9A298) and base64
// of the GB18030 bytes.
const std::string kUserGbk = "\xD5\xC5\xC8\xFD";
const std::string kSubjectField = "Subject: =?UTF-8?B?5Li76aKY?=";
const std::string kBodyBase64 = "xOO6ww0K8Pqvgw==";
// base64 of the GBK bytes of 张三 and 密码 (C3DC C2EB).
const std::string kUserLine = "1cXI/Q==\r\n";
const std::string kPasswordLine = "w9zC6w==\r\n";

// Every line break on the wire is CR LF; a stray CR or LF would mean a character was cut apart.
bool OnlyCrLfLineBreaks(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n'))
            return false;
        if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r'))
            return false;
    }
    return true;
}

TEST_F(Send, EmptyFormShowsOnlyTheFirstMessage) {
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.Seen().size(), 1u);
    const SeenBox& box = boxes.Seen()[0];
    EXPECT_EQ(box.text, U("请输入用户名和密码!"));
    EXPECT_EQ(box.title, U("Vellipost"));
    EXPECT_EQ(box.icon, QMessageBox::Warning);
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.buttonTexts, QStringList{U("确定")}) << "Qt's own words are Chinese";
    EXPECT_TRUE(box.detail.isEmpty());
    EXPECT_TRUE(box.parentedToForm);
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

TEST_F(Send, TypedMailGoesOutInItsCharacterSetsByEnterAndByClick) {
    Type(kForm);
    ASSERT_EQ(Shown(), kForm);

    Subject()->setFocus();
    QTest::keyClick(Subject(), Qt::Key_Return);
    QTest::mouseClick(SendButton(), Qt::LeftButton);

    EXPECT_EQ(boxes.Texts(), QStringList({U("发送成功!欢迎使用"), U("发送成功!欢迎使用")}));
    ASSERT_EQ(server.ConnectionCount(), 2u);
    for (std::size_t connection = 0; connection < 2; ++connection) {
        SCOPED_TRACE(connection);
        const std::vector<std::string> units = server.Units(connection);
        ASSERT_EQ(units.size(), 9u);
        EXPECT_EQ(units[0], std::string("EHLO ") + mail::SMTP_HOST + "\r\n");
        EXPECT_EQ(units[1], "AUTH LOGIN\r\n");
        EXPECT_EQ(units[2], kUserLine);
        EXPECT_EQ(units[3], kPasswordLine);
        EXPECT_EQ(units[4], "MAIL FROM:<" + kUserGbk + "@" + mail::MAIL_DOMAIN + ">\r\n");
        EXPECT_EQ(units[5], "RCPT TO:<to@example.com>\r\n");
        EXPECT_EQ(units[6], "DATA\r\n");
        EXPECT_NE(units[7].find("\r\n" + kSubjectField + "\r\n"), std::string::npos);
        EXPECT_NE(units[7].find("base64\r\n\r\n" + kBodyBase64 + "\r\n"), std::string::npos);
        EXPECT_TRUE(OnlyCrLfLineBreaks(units[7]));
        EXPECT_EQ(units[8], "quit\r\n");
    }
    EXPECT_EQ(Shown(), kForm) << "a successful send cleared a field";
}

TEST_F(Send, FailuresShowTheirMessageAndKeepEveryField) {
    struct Case {
        const char* name;
        FormText form;
        std::optional<std::pair<Step, Action>> change;
        const char* message;
        std::size_t connections;      // made by this case
        const char* hint = nullptr;   // the hint under the box's text
        const char* status = nullptr; // the status line afterwards, if not the message
        std::size_t boxes = 1;        // shown by this case; message is the last one's
    };
    FormText noPassword = kForm;
    noPassword.password.clear();
    FormText noSubject = kForm;
    noSubject.subject.clear();
    FormText noBody = kForm;
    noBody.body.clear();
    FormText missingFile = kForm;
    missingFile.path = U("/nonexistent-vellipost-dir/信件.zip");
    const Case cases[] = {
        {"no password", noPassword, std::nullopt, "请输入用户名和密码!", 0},
        {"no subject", noSubject, std::nullopt, "请输入完整内容!", 0},
        {"no body or attachment", noBody, std::nullopt, "请输入内容或是附件!", 0},
        {"attachment missing", missingFile, std::nullopt, "无法打开附件文件，请检查路径!", 0},
        {"wrong password",
         kForm,
         {{kPass, Reply("535 Error: authentication failed\r\n")}},
         "请输入正确的帐号和密码!",
         1,
         "提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"},
        {"closed before greeting",
         kForm,
         {{kGreeting, Close()}},
         "接受163服务器信息失败，请检查网络!",
         1},
        {"login refused after EHLO",
         kForm,
         {{kAuth, Reply("503 5.5.1 AUTH command used when not advertised\r\n")}},
         "服务器不接受这种登录方式，邮件没有发送!",
         1},
        {"too large for the server",
         kForm,
         {{kEhlo, Reply(EhloReply({"AUTH LOGIN", "SIZE 100"}))}},
         "邮件太大，服务器最多接受0 KB，邮件没有发送!",
         1},
        {"recipient unknown",
         kForm,
         {{kRcpt, Reply("550 5.1.1 User unknown\r\n")}},
         "邮件发送不成功!",
         1,
         "提示：收件人地址不存在或被拒绝，请检查收件人。"},
        {"data refused",
         kForm,
         {{kEndOfData, Reply("554 DT:SPM\r\n")}},
         "邮件发送不成功!",
         1,
         "提示：邮件被服务器当作垃圾邮件拒绝了。"},
        // Delivered at the end of the data: "退出邮箱不成功!", then the success.
        {"quit refused",
         kForm,
         {{kQuit, Reply("500 what\r\n")}},
         "发送成功!欢迎使用",
         1,
         nullptr,
         "邮件已发送",
         2},
        {"too large, said by the server",
         kForm,
         {{kEndOfData, Reply("552 5.3.4 Message size exceeds fixed limit\r\n")}},
         "邮件发送不成功!",
         1,
         "提示：邮件太大，服务器拒收。"},
        {"success", kForm, std::nullopt, "发送成功!欢迎使用", 1, nullptr, "邮件已发送"},
    };
    std::size_t connections = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Action> script = HappyScript();
        if (c.change)
            script[c.change->first] = c.change->second;
        server.SetScript(script);
        Clear();
        Type(c.form);
        ASSERT_EQ(Shown(), c.form);
        const std::size_t before = boxes.Seen().size();

        QTest::mouseClick(SendButton(), Qt::LeftButton);

        ASSERT_EQ(boxes.Seen().size(), before + c.boxes);
        EXPECT_EQ(boxes.Seen().back().text, U(c.message));
        EXPECT_EQ(boxes.Seen().back().icon, QMessageBox::Warning);
        // The hint in sight under the text; the details keep the server's words alone.
        EXPECT_EQ(boxes.Seen().back().informative, c.hint ? U(c.hint) : QString());
        if (c.hint) {
            EXPECT_FALSE(boxes.Seen().back().detail.contains(U("提示：")))
                << boxes.Seen().back().detail.toStdString();
        }
        EXPECT_EQ(Status()->text(), U(c.status ? c.status : c.message));
        EXPECT_EQ(Shown(), c.form);
        connections += c.connections;
        EXPECT_EQ(server.ConnectionCount(), connections);
        EXPECT_FALSE(dlg.Mailer().SocketOpen());
        EXPECT_FALSE(dlg.Mailer().HasReplyBuffer());
    }
}

TEST_F(Send, RefusedLoginShowsTheServersWordsButNeverThePassword) {
    struct Case {
        const char* name;
        std::string reply;
        const char* shown;
    };
    const Case cases[] = {
        {"ascii", "535 Error: authentication failed\r\n", "535 Error: authentication failed"},
        {"utf-8", "535 \xE9\x94\x99\xE8\xAF\xAF\r\n", "535 错误"},
        {"gbk", "535 \xB4\xED\xCE\xF3\r\n", "535 错误"},
    };
    // A password that appears nowhere else; base64 of its bytes: "WnE3LXNlY3JldA==".
    FormText form = kForm;
    form.password = U("Zq7-secret");
    Type(form);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Action> script = HappyScript();
        script[kPass] = Reply(c.reply);
        server.SetScript(script);
        QTest::mouseClick(SendButton(), Qt::LeftButton);
        ASSERT_FALSE(boxes.Seen().empty());
        const SeenBox& box = boxes.Seen().back();
        EXPECT_EQ(box.text, U("请输入正确的帐号和密码!"));
        EXPECT_TRUE(box.detail.startsWith(U(c.shown))) << box.detail.toStdString();
        EXPECT_EQ(box.informative,
                  U("提示：163邮箱的SMTP登录需要使用客户端授权码，而不是网页登录密码。"))
            << "no hint for 535";
        EXPECT_EQ(box.detail, U(c.shown)) << "the hint is not the server's";
        EXPECT_EQ(box.buttonTexts, (QStringList{U("确定"), U("显示详情...")}));
        EXPECT_EQ(server.Units(server.ConnectionCount() - 1).at(3), "WnE3LXNlY3JldA==\r\n");
        for (const QString& text : {box.title, box.text, box.detail, box.informative}) {
            EXPECT_FALSE(text.contains(U("Zq7-secret"))) << text.toStdString();
            EXPECT_FALSE(text.contains(U("WnE3LXNlY3JldA"))) << text.toStdString();
        }
    }
}

TEST_F(Send, WaitCursorDuringTheCommandArrowOverItsBoxesAndNoneAfter) {
    // The greeting trickles in, so the command waits on the network for a while.
    std::vector<Action> script = HappyScript();
    script[kGreeting] = Reply("220 slow server ready\r\n", 4, std::chrono::milliseconds(60));
    server.SetScript(script);
    Type(kForm);

    bool returned = false;
    std::optional<bool> timerRanDuringCommand;
    std::optional<Qt::CursorShape> cursorDuringCommand;
    QTimer::singleShot(0, &dlg, [&] {
        timerRanDuringCommand = !returned;
        if (const QCursor* cursor = QApplication::overrideCursor())
            cursorDuringCommand = cursor->shape();
    });
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    returned = true;

    ASSERT_TRUE(timerRanDuringCommand.has_value());
    EXPECT_TRUE(*timerRanDuringCommand) << "the form's events did not run while it waited";
    EXPECT_EQ(cursorDuringCommand, Qt::WaitCursor);
    ASSERT_EQ(boxes.Texts(), QStringList{U("发送成功!欢迎使用")});
    EXPECT_TRUE(boxes.Seen()[0].overrideCursor);
    EXPECT_EQ(boxes.Seen()[0].cursor, Qt::ArrowCursor);
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

// A close request or Esc while the command waits on the server asks, default No. No lets the send
// go on; yes shuts the connection down at once and closes the form, with no other message. Other
// input to the form meanwhile is discarded, not kept for later.
TEST_F(Send, CloseOrEscDuringTheCommandAsksAndYesEndsItAtOnce) {
    enum class Request { CloseBox, Esc };
    const struct {
        const char* name;
        Request request;
        QMessageBox::StandardButton answer;
        bool silentNameServer;
    } cases[] = {
        {"close box, no", Request::CloseBox, QMessageBox::No, false},
        {"Esc, no", Request::Esc, QMessageBox::No, false},
        {"close box, yes", Request::CloseBox, QMessageBox::Yes, false},
        {"Esc, yes", Request::Esc, QMessageBox::Yes, false},
        {"close box while the name server is silent, yes", Request::CloseBox, QMessageBox::Yes,
         true},
    };
    int chooserRuns = 0;
    dlg.SetChooserRunForTesting([&](QFileDialog&) { return ++chooserRuns, QDialog::Rejected; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const bool yes = c.answer == QMessageBox::Yes;
        // No: the greeting trickles in, so that the command waits and then goes on. Yes: it
        // never comes, so that only the abort can end the command before its time limit.
        std::vector<Action> script = HappyScript();
        script[kGreeting] =
            yes ? Silent() : Reply("220 slow server ready\r\n", 4, std::chrono::milliseconds(60));
        server.SetScript(script);
        dlg.silentNameServer = c.silentNameServer;
        if (!dlg.isVisible()) {
            dlg.show();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        }
        Clear();
        Type(kForm);
        const std::size_t boxesBefore = boxes.Seen().size();
        const std::size_t connection = server.ConnectionCount();

        boxes.Answer(c.answer);
        QTimer::singleShot(0, &dlg, [&] {
            QTest::mouseClick(AttachButton(), Qt::LeftButton);
            QTest::keyClick(Subject(), Qt::Key_X);
            if (c.request == Request::CloseBox)
                dlg.close();
            else
                QTest::keyClick(dlg.focusWidget() ? dlg.focusWidget() : &dlg, Qt::Key_Escape);
        });
        QTest::mouseClick(SendButton(), Qt::LeftButton);

        QStringList shown = boxes.Texts().mid(static_cast<qsizetype>(boxesBefore));
        ASSERT_FALSE(shown.isEmpty()) << "no question";
        EXPECT_EQ(shown.takeFirst(), U("邮件正在发送中，确定要退出吗?"));
        const SeenBox& question = boxes.Seen()[boxesBefore];
        EXPECT_EQ(question.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(question.defaultButton, QMessageBox::No);
        EXPECT_TRUE(question.parentedToForm);
        EXPECT_EQ(chooserRuns, 0) << "a click during the command ran the chooser";
        EXPECT_EQ(Subject()->text(), kForm.subject) << "a key during the command was typed";
        EXPECT_FALSE(dlg.Mailer().SocketOpen());
        EXPECT_FALSE(dlg.Mailer().HasReplyBuffer());
        if (!yes) {
            EXPECT_EQ(shown, QStringList{U("发送成功!欢迎使用")});
            EXPECT_TRUE(dlg.isVisible());
            ASSERT_EQ(server.Units(connection).size(), 9u);
            continue;
        }
        EXPECT_TRUE(shown.isEmpty()) << shown.join(U("|")).toStdString();
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
        if (c.silentNameServer) {
            EXPECT_EQ(server.ConnectionCount(), connection);
        } else {
            EXPECT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));
            EXPECT_TRUE(server.Units(connection).empty()) << "a command went out after yes";
        }
    }
}

} // namespace
} // namespace vtest

namespace vtest {
namespace {

// After a box about the recipient or the account, the focus is in that field, to mend it.
struct FocusCase {
    const char* name;
    mail::Msg id;
    const char* message;
    const char* field;
};
const FocusCase kFocusCases[] = {
    {"recipient", mail::Msg::RecipientNotOneAddress, "收件人地址不正确，请只填写一个邮件地址!",
     "IDC_RECIPIENT"},
    {"account", mail::Msg::AccountNotLocalPart, "帐号只需填写@前面的部分!", "IDC_USER"},
};

TEST_F(Send, ABoxAboutAnAddressLeavesTheFocusInItsField) {
    for (const FocusCase& c : kFocusCases) {
        SCOPED_TRACE(c.name);
        SendButton()->setFocus();
        mail::Notice notice;
        notice.id = c.id;
        dlg.ShowMessage(notice);
        ASSERT_EQ(boxes.Texts().back(), U(c.message));
        EXPECT_EQ(dlg.focusWidget(), Get<QWidget>(c.field));
        EXPECT_EQ(Status()->text(), U(c.message));
    }
}

// The same through the send button, once the core refuses these forms before connecting.
TEST_F(Send, AnAddressTheCoreRefusesLeavesTheFocusInItsField) {
    FormText recipients = kForm;
    recipients.recipient = U("a, b@example.com");
    FormText account = kForm;
    account.user = U("zs@qq.com"); // another provider's address
    const std::pair<const FocusCase*, FormText> rows[] = {{&kFocusCases[0], recipients},
                                                          {&kFocusCases[1], account}};
    for (const auto& [c, form] : rows) {
        SCOPED_TRACE(c->name);
        Clear();
        Type(form);
        SendButton()->setFocus();
        QTest::mouseClick(SendButton(), Qt::LeftButton);
        ASSERT_EQ(boxes.Texts().back(), U(c->message));
        EXPECT_EQ(dlg.focusWidget(), Get<QWidget>(c->field));
        EXPECT_EQ(Shown(), form);
    }
    EXPECT_EQ(server.ConnectionCount(), 0u);
}

} // namespace
} // namespace vtest
