// The status line under the form: what a send is doing at each stage and what came of it, each
// change announced to a screen reader; and the cancel button, which stops the send command at
// any stage with nothing delivered and the form as typed.
#include "form_fixture.h"

#include <QAccessible>
#include <QTimer>

#include <optional>
#include <vector>

namespace vtest {
namespace {

const FormText kForm{U("zs"), U("pw"), U("to@example.com"), U("主题"), U("你好"), {}};

class StatusLineTest : public FormTest {
protected:
    // Qt's offscreen platform has no accessibility bridge, so QAccessible delivers no events
    // here; the line reports each announcement it sends.
    void SetUp() override {
        FormTest::SetUp();
        QObject::connect(Status(), &ui::StatusLine::Announced,
                         [this](const QString& text) { announced << text; });
    }
    QStringList Announced() const { return announced; }
    QStringList announced;

    // Runs action once condition holds, from inside the send command's waits.
    void When(std::function<bool()> condition, std::function<void()> action) {
        auto* poll = new QTimer(&dlg);
        QObject::connect(poll, &QTimer::timeout, poll, [poll, condition, action] {
            if (!condition())
                return;
            poll->stop();
            poll->deleteLater();
            action();
        });
        poll->start(5);
    }
};

TEST_F(StatusLineTest, SaysEachStageAndTheOutcomeAndAScreenReaderHearsEach) {
    Type(kForm);
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.Texts(), QStringList{U("发送成功!欢迎使用")});
    EXPECT_EQ(Status()->text(), U("邮件已发送"));
    EXPECT_EQ(Announced(), (QStringList{U("正在连接服务器…"), U("正在登录…"), U("正在发送邮件…"),
                                        U("邮件已发送")}));
    QAccessibleInterface* line = QAccessible::queryAccessibleInterface(Status());
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(line->text(QAccessible::Name), U("邮件已发送"));
    EXPECT_EQ(line->text(QAccessible::Description), U("发送状态"));

    // The same outcome again is news again.
    announced.clear();
    std::vector<Action> script = HappyScript();
    script[kPass] = Reply("535 Error: authentication failed\r\n");
    server.SetScript(script);
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(SendButton(), Qt::LeftButton);
    EXPECT_EQ(Status()->text(), U("请输入正确的帐号和密码!"));
    EXPECT_EQ(Announced().count(U("请输入正确的帐号和密码!")), 2);
}

// Cancelled at each stage of the conversation: the connection closes at once, no box, nothing
// delivered, every field as typed, and the status line says so.
TEST_F(StatusLineTest, CancelStopsTheCommandAtEveryStageWithNothingDelivered) {
    struct Case {
        const char* name;
        Step silentAt;      // the server falls silent at this step
        std::size_t units;  // what it has received by then
        const char* status; // the status line while it waits
    };
    const Case cases[] = {
        {"greeting", kGreeting, 0, "正在连接服务器…"}, {"auth", kAuth, 2, "正在登录…"},
        {"password", kPass, 4, "正在登录…"},           {"recipient", kRcpt, 6, "正在发送邮件…"},
        {"data", kData, 7, "正在发送邮件…"},
    };
    Type(kForm);
    std::size_t connection = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Action> script = HappyScript();
        script[c.silentAt] = Silent();
        server.SetScript(script);
        EXPECT_FALSE(CancelButton()->isEnabled()) << "enabled while idle";
        std::optional<QString> shown;
        std::optional<bool> enabled;
        When(
            [&] {
                return server.ConnectionCount() > connection &&
                       server.Units(connection).size() == c.units &&
                       Status()->text() == U(c.status);
            },
            [&] {
                shown = Status()->text();
                enabled = CancelButton()->isEnabled();
                QTest::mouseClick(CancelButton(), Qt::LeftButton);
            });
        QTest::mouseClick(SendButton(), Qt::LeftButton);

        ASSERT_TRUE(shown.has_value()) << "the command returned before it was cancelled";
        EXPECT_TRUE(*enabled);
        EXPECT_TRUE(boxes.Seen().empty()) << boxes.Texts().join(U("|")).toStdString();
        EXPECT_EQ(Status()->text(), U("已取消，邮件没有发送"));
        EXPECT_EQ(Shown(), kForm);
        EXPECT_FALSE(CancelButton()->isEnabled());
        EXPECT_FALSE(dlg.Mailer().SocketOpen());
        EXPECT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));
        EXPECT_EQ(server.Units(connection).size(), c.units) << "more went out after the cancel";
        EXPECT_TRUE(dlg.isVisible());
        ++connection;
    }
}

} // namespace
} // namespace vtest
