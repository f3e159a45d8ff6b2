// The draft: the typed mail (never the password) written a while after it changes, atomically and
// readable by the user alone, in $XDG_STATE_HOME/vellipost (test_main.cpp points that at a
// folder of the run's own); written when the form closes, restored at the next start with a word
// in the status line, and deleted by a successful send.
#include "form_fixture.h"

#include "ui/draft.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace vtest {
namespace {

const FormText kForm{U("zs"),   U("Zq7-secret"),     U("to@example.com"),
                     U("主题"), U("第一行\n第二行"), U("/tmp/没有.zip")};

class DraftTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        file = dlg.DraftForTesting().File().FilePath();
        // A draft another test's form left behind at its close.
        QFile::remove(file);
        dlg.DraftForTesting().Settle();
        dlg.DraftForTesting().SetIntervalForTesting(std::chrono::milliseconds(200));
    }
    void TearDown() override {
        dlg.DraftForTesting().Settle();
        QFile::remove(file);
    }
    QByteArray Stored() const {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }
    QString file;
};

TEST_F(DraftTest, LivesInTheXdgStateFolder) {
    EXPECT_EQ(file, qEnvironmentVariable("XDG_STATE_HOME") + U("/vellipost/draft.json"));
    const QByteArray saved = qgetenv("XDG_STATE_HOME");
    qunsetenv("XDG_STATE_HOME");
    EXPECT_EQ(ui::Draft::DefaultFolder(), QDir::homePath() + U("/.local/state/vellipost"));
    qputenv("XDG_STATE_HOME", "relative/ignored");
    EXPECT_EQ(ui::Draft::DefaultFolder(), QDir::homePath() + U("/.local/state/vellipost"));
    qputenv("XDG_STATE_HOME", saved);
}

TEST_F(DraftTest, WrittenAWhileAfterTypingUserOnlyAndNeverThePassword) {
    Type(kForm);
    EXPECT_FALSE(QFile::exists(file)) << "written at every key press";
    ASSERT_TRUE(WaitFor([&] { return QFile::exists(file); }));
    EXPECT_FALSE(dlg.DraftForTesting().Pending());

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    ASSERT_EQ(::stat(QFile::encodeName(QFileInfo(file).path()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    // Nothing but the draft itself: the atomic write leaves no temporary file behind.
    EXPECT_EQ(QDir(QFileInfo(file).path()).entryList(QDir::Files), QStringList{U("draft.json")});

    const QByteArray stored = Stored();
    EXPECT_FALSE(stored.contains("Zq7-secret"));
    EXPECT_FALSE(stored.contains("\"zs\""));
    const auto draft = dlg.DraftForTesting().File().Load();
    ASSERT_TRUE(draft.has_value());
    EXPECT_EQ(*draft, (ui::DraftText{kForm.recipient, kForm.subject, kForm.body, kForm.path}));

    // Another change: the next write comes after the interval again.
    TypeInto(Subject(), U("!"));
    EXPECT_TRUE(dlg.DraftForTesting().Pending());
    ASSERT_TRUE(WaitFor([&] { return !dlg.DraftForTesting().Pending(); }));
    EXPECT_EQ(dlg.DraftForTesting().File().Load()->subject, kForm.subject + U("!"));
}

TEST_F(DraftTest, ClosingWritesWhatIsPendingAndTheNextStartRestoresIt) {
    dlg.DraftForTesting().SetIntervalForTesting(std::chrono::hours(1));
    Type(kForm);
    ASSERT_FALSE(QFile::exists(file));
    QTest::mouseClick(ExitButton(), Qt::LeftButton);
    EXPECT_FALSE(dlg.isVisible());
    ASSERT_TRUE(QFile::exists(file));

    FormDlg next;
    next.RestoreSaved();
    auto text = [&](const char* name) { return next.findChild<QLineEdit*>(U(name))->text(); };
    EXPECT_EQ(text("IDC_RECIPIENT"), kForm.recipient);
    EXPECT_EQ(text("IDC_SUBJECT"), kForm.subject);
    EXPECT_EQ(next.findChild<QPlainTextEdit*>(U("IDC_BODY"))->toPlainText(), kForm.body);
    EXPECT_EQ(text("IDC_ATTACH_PATH"), kForm.path);
    EXPECT_TRUE(text("IDC_USER").isEmpty());
    EXPECT_TRUE(text("IDC_PASSWORD").isEmpty());
    EXPECT_EQ(next.findChild<QLabel*>(U("statusLine"))->text(), U("已恢复上次未发送的邮件"));
    EXPECT_FALSE(next.DraftForTesting().Pending()) << "the restored text counts as changed";
}

TEST_F(DraftTest, NothingToRestoreSaysNothing) {
    const struct {
        const char* name;
        QByteArray content; // nothing: no file
    } cases[] = {{"no draft", {}}, {"not a draft", "{not json"}, {"empty draft", "{}"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.content.isNull()) {
            QDir().mkpath(QFileInfo(file).path());
            QFile f(file);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.content);
        }
        FormDlg next;
        next.RestoreSaved();
        EXPECT_TRUE(next.findChild<QLabel*>(U("statusLine"))->text().isEmpty());
        EXPECT_TRUE(next.findChild<QLineEdit*>(U("IDC_RECIPIENT"))->text().isEmpty());
        QFile::remove(file);
    }
}

TEST_F(DraftTest, ASuccessfulSendDeletesItAndAFailedOneKeepsIt) {
    Type(kForm);
    Path()->clear();
    dlg.DraftForTesting().Flush();
    ASSERT_TRUE(QFile::exists(file));

    std::vector<Action> script = HappyScript();
    script[kRcpt] = Reply("550 5.1.1 User unknown\r\n");
    server.SetScript(script);
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    dlg.DraftForTesting().Flush();
    EXPECT_TRUE(QFile::exists(file)) << "a refused mail's draft went";

    server.SetScript(HappyScript());
    QTest::mouseClick(SendButton(), Qt::LeftButton);
    ASSERT_EQ(boxes.Texts().back(), U("发送成功!欢迎使用"));
    EXPECT_FALSE(QFile::exists(file));
    // The sent mail is no draft: closing the form writes nothing.
    QTest::mouseClick(ExitButton(), Qt::LeftButton);
    EXPECT_FALSE(QFile::exists(file));
}

} // namespace
} // namespace vtest
