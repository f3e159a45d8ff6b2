// The attachment road's front end: the worker's boxes on the UI thread in order, the progress in
// IDC_BLANK, the busy refusal, and closing the form while the worker sends.
#include "form_fixture.h"
#include "gated_file.h"

#include "mail/constants.h"

#include <QAccessible>
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <random>

namespace vtest {
namespace {

QByteArray RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    QByteArray bytes(static_cast<qsizetype>(size), Qt::Uninitialized);
    for (char& byte : bytes)
        byte = static_cast<char>(random() & 0xFF);
    return bytes;
}

// Decodes the attachment from a DATA block: the text between the part header's blank line and the
// closing boundary, each 1000-byte piece encoded on its own (1336 characters without line breaks).
QByteArray DecodeAttachment(const std::string& data) {
    const std::string closing = std::string("\r\n--") + mail::MIME_BOUNDARY + "--";
    const std::size_t end = data.rfind(closing);
    const std::size_t start = data.rfind("\r\n\r\n", end);
    if (end == std::string::npos || start == std::string::npos)
        return {};
    QByteArray text = QByteArray::fromStdString(data.substr(start + 4, end - start - 4));
    text.replace("\r\n", "");
    QByteArray decoded;
    for (qsizetype at = 0; at < text.size(); at += 1336)
        decoded += QByteArray::fromBase64(text.mid(at, 1336));
    return decoded;
}

class Attachment : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        ASSERT_TRUE(folder.isValid());
    }

    // Writes a file of random bytes and types the mail with its path and no body.
    void TypeMailWith(const QByteArray& content, const QString& name = U("data.zip")) {
        ASSERT_TRUE(QDir(folder.path()).mkpath(QFileInfo(folder.filePath(name)).path()));
        const QString path = folder.filePath(name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(content), content.size());
        file.close();
        form = FormText{U("张三"), U("pw"), U("to@example.com"), U("附件"), {}, path};
        Type(form);
    }

    void SetLongTimeouts() {
        // The worker must stay blocked for as long as the test needs it; it is aborted at the end.
        mail::Timeouts timeouts;
        timeouts.connect = std::chrono::seconds(5);
        timeouts.reply = std::chrono::seconds(60);
        timeouts.endOfData = std::chrono::seconds(60);
        dlg.Mailer().SetTimeoutsForTesting(timeouts);
    }

    bool AnyFormTimerActive() const {
        for (const QTimer* timer : dlg.findChildren<QTimer*>())
            if (timer->isActive())
                return true;
        return false;
    }

    QTemporaryDir folder;
    FormText form;
};

// The path is the file system's own: a folder named in characters that code page 936 lacks holds
// the file, whose Chinese name goes on the wire encoded.
TEST_F(Attachment, SendsThroughTheDialogWithTheWorkersBoxOnTheUiThread) {
    const struct {
        QString name;
        std::string onTheWire;
    } cases[] = {
        {U("data.zip"), "; filename=\"data.zip\"\r\n"},
        {U("한국 😀/报告.zip"), "; filename*=UTF-8''%E6%8A%A5%E5%91%8A.zip\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QByteArray content = RandomBytes(5000, 1);
        Clear();
        TypeMailWith(content, c.name);
        const std::size_t before = boxes.Seen().size();
        const std::size_t connection = server.ConnectionCount();
        QTest::mouseClick(SendButton(), Qt::LeftButton);

        ASSERT_TRUE(
            WaitFor([&] { return boxes.Seen().size() > before && !dlg.Mailer().IsSending(); }));
        ASSERT_TRUE(WaitFor([&] { return Blank()->text().isEmpty() && !AnyFormTimerActive(); }))
            << Blank()->text().toStdString();
        EXPECT_EQ(boxes.Texts().mid(static_cast<qsizetype>(before)),
                  QStringList{U("发送成功!欢迎使用")});
        EXPECT_TRUE(boxes.Seen().back().onUiThread);
        EXPECT_TRUE(boxes.Seen().back().parentedToForm);
        EXPECT_EQ(Shown(), form) << "a send changed a field";

        ASSERT_TRUE(server.WaitForClientClose(std::chrono::milliseconds(kWaitMs)));
        const std::vector<std::string> units = server.Units(connection);
        ASSERT_EQ(units.size(), 9u);
        EXPECT_NE(units[7].find(c.onTheWire), std::string::npos);
        EXPECT_EQ(DecodeAttachment(units[7]), content);
        EXPECT_EQ(units[8], "quit\r\n");
    }
}

TEST_F(Attachment, WorkerBoxesComeInOrderAfterAnOutOfStepQuit) {
    std::vector<Action> script = HappyScript();
    script[kQuit] = Reply("250 out of step\r\n");
    server.SetScript(script);
    TypeMailWith(RandomBytes(2500, 2));
    QTest::mouseClick(SendButton(), Qt::LeftButton);

    ASSERT_TRUE(WaitFor([&] { return boxes.Seen().size() == 3 && !dlg.Mailer().IsSending(); }));
    EXPECT_EQ(boxes.Texts(), QStringList({U("250"), U("退出邮箱不成功!"), U("发送成功!欢迎使用")}));
    for (const SeenBox& box : boxes.Seen()) {
        EXPECT_TRUE(box.onUiThread);
        EXPECT_EQ(box.icon, QMessageBox::Warning);
        EXPECT_EQ(box.title, U("Vellipost"));
    }
    EXPECT_TRUE(boxes.Seen()[0].detail.contains(U("250 out of step")));
}

TEST_F(Attachment, SendIsRefusedWhileTheWorkerRunsAndProgressShows) {
    SetLongTimeouts();
    std::vector<Action> script = HappyScript();
    script[kEndOfData] = Silent(); // all data sent, the reply never comes
    server.SetScript(script);
    TypeMailWith(RandomBytes(5000, 3));
    QTest::mouseClick(SendButton(), Qt::LeftButton);

    ASSERT_TRUE(WaitFor([&] { return server.Units().size() == 8; }));
    ASSERT_TRUE(dlg.Mailer().IsSending());
    EXPECT_TRUE(WaitFor([&] { return Blank()->text() == U("已发送 100%"); }))
        << Blank()->text().toStdString();
    // A screen reader reads the progress text as the label's name.
    QAccessibleInterface* progress = QAccessible::queryAccessibleInterface(Blank());
    ASSERT_NE(progress, nullptr);
    EXPECT_EQ(progress->text(QAccessible::Name), U("已发送 100%"));

    QTest::mouseClick(SendButton(), Qt::LeftButton);
    EXPECT_EQ(boxes.Texts(), QStringList{U("附件正在发送中，请稍候!")});
    EXPECT_EQ(server.ConnectionCount(), 1u);
    EXPECT_TRUE(dlg.Mailer().IsSending());
    EXPECT_EQ(Shown(), form);

    boxes.Answer(QMessageBox::Yes);
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_FALSE(dlg.Mailer().IsSending());
    EXPECT_TRUE(Blank()->text().isEmpty());
    EXPECT_TRUE(progress->text(QAccessible::Name).isEmpty());
}

// The form with an attachment whose reading stops at gateAt until the gate opens (or fails there),
// so that the worker can be caught before its first byte or in the middle of the data.
class GatedDlg : public CMailerDlg {
public:
    static constexpr std::uint64_t kLength = 2'000'000;
    static constexpr std::uint64_t kFreeBytes = 512'000; // one batch of the worker's

    GatedDlg() {
        Mailer().PlatformForTesting().openAttachment = [this](const std::string&) {
            return std::make_unique<GatedFile>(gate, kLength, gateAt, atGate);
        };
    }
    // The worker reads through the gate: it ends before the gate goes.
    ~GatedDlg() override { Mailer().AbortAttachmentWorker(); }
    Gate gate;
    std::uint64_t gateAt = kFreeBytes;
    GatedFile::AtGate atGate = GatedFile::AtGate::Wait;
};

// A mail with the attachment at path and no body, filled in straight into the form.
bool FillMail(CMailerDlg& dlg, const QString& path) {
    mail::Form form;
    form.m_strUser = "u";
    form.m_strPassword = "p";
    form.m_strRecipient = "to@example.com";
    form.m_strSubject = "s";
    dlg.findChild<QLineEdit*>(U("IDC_ATTACH_PATH"))->setText(path);
    return dlg.LoadFormValues(form);
}

TEST(AttachmentClose, ClosingWhileSendingAsksNoKeepsTheFormYesAbortsAndCloses) {
    ScriptedServer server;
    GatedDlg dlg;
    ModalWatcher boxes(&dlg);
    dlg.Mailer().SetServerForTesting("127.0.0.1", server.port());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    // A form that failed to abort would let the worker finish after the time-out instead.
    const OpenGateOnClientClose opener(server, dlg.gate);

    ASSERT_TRUE(FillMail(dlg, U("/any/a.zip")));
    auto* path = dlg.findChild<QLineEdit*>(U("IDC_ATTACH_PATH"));
    QTest::mouseClick(dlg.findChild<QPushButton*>(U("IDOK")), Qt::LeftButton);
    ASSERT_TRUE(dlg.Mailer().IsSending());
    ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.Mailer().AttachmentBytesSent() > 0; }, kWaitMs));
    auto* blank = dlg.findChild<QLabel*>(U("IDC_BLANK"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return blank->text() == U("已发送 25%"); }, kWaitMs))
        << blank->text().toStdString();

    // Esc, then the exit button: each asks, and No leaves everything as it was.
    boxes.Answer(QMessageBox::No);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    boxes.Answer(QMessageBox::No);
    QTest::mouseClick(dlg.findChild<QPushButton*>(U("IDCANCEL")), Qt::LeftButton);
    EXPECT_EQ(boxes.Seen().size(), 2u);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.Mailer().IsSending());
    EXPECT_TRUE(dlg.Mailer().SocketOpen());
    EXPECT_EQ(path->text(), U("/any/a.zip"));
    EXPECT_EQ(blank->text(), U("已发送 25%"));
    EXPECT_EQ(QAccessible::queryAccessibleInterface(blank)->text(QAccessible::Name),
              U("已发送 25%"));

    // The close box: yes aborts the send, waits for the worker and closes.
    boxes.Answer(QMessageBox::Yes);
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_FALSE(dlg.Mailer().IsSending());
    EXPECT_FALSE(dlg.Mailer().SocketOpen());
    EXPECT_TRUE(blank->text().isEmpty());
    EXPECT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));

    ASSERT_EQ(boxes.Seen().size(), 3u) << "the aborted worker showed a message";
    for (const SeenBox& box : boxes.Seen()) {
        EXPECT_EQ(box.text, U("附件正在发送中，确定要退出吗?"));
        EXPECT_EQ(box.buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_EQ(box.buttonTexts, (QStringList{U("是(&Y)"), U("否(&N)")}));
        EXPECT_EQ(box.title, U("Vellipost"));
        EXPECT_TRUE(box.parentedToForm);
    }
    const std::string transcript = server.Transcript();
    const std::size_t data = transcript.find("DATA\r\n");
    ASSERT_NE(data, std::string::npos);
    EXPECT_GT(transcript.size() - data, GatedDlg::kFreeBytes) << "the first batch never arrived";
    EXPECT_EQ(transcript.find("\r\n.\r\n", data), std::string::npos) << "the data was ended";
    EXPECT_EQ(transcript.find("quit", data), std::string::npos);
}

// Closing the form at every point of the worker's life, also while the worker waits for one of
// its own boxes (the UI thread then aborts it from inside that box's event loop): yes closes the
// form without hanging, the worker ends with its connection shut, and shows nothing more.
TEST(AttachmentAbort, ClosingAtEveryPointOfTheWorkersLifeNeverHangs) {
    using AtGate = GatedFile::AtGate;
    constexpr std::uint64_t kNoGate = GatedFile::kNoGate;
    const Action quitOutOfStep = Reply("250 out of step\r\n");
    const struct {
        const char* name;
        std::uint64_t gateAt;
        AtGate atGate;
        std::optional<std::pair<Step, Action>> change;
        QStringList boxes; // the worker's, the last open when the close comes; none: at once
        bool dataEnded;
    } cases[] = {
        {"before the first byte", 0, AtGate::Wait, std::nullopt, {}, false},
        {"in the middle of the data", GatedDlg::kFreeBytes, AtGate::Wait, std::nullopt, {}, false},
        {"waiting for the end-of-data reply",
         kNoGate,
         AtGate::Wait,
         {{kEndOfData, Silent()}},
         {},
         true},
        {"its box after a lost connection",
         kNoGate,
         AtGate::Wait,
         {{kEndOfData, Close()}},
         {U("接受163服务器信息失败，请检查网络!")},
         true},
        {"its box after refused data",
         kNoGate,
         AtGate::Wait,
         {{kEndOfData, Reply("552 too big\r\n")}},
         {U("邮件发送不成功!")},
         true},
        {"its box after a read error",
         GatedDlg::kFreeBytes,
         AtGate::Fail,
         std::nullopt,
         {U("读取附件失败，邮件没有发送!")},
         false},
        {"its box with the reply code",
         kNoGate,
         AtGate::Wait,
         {{kQuit, quitOutOfStep}},
         {U("250")},
         true},
        {"its box after a refused quit",
         kNoGate,
         AtGate::Wait,
         {{kQuit, quitOutOfStep}},
         {U("250"), U("退出邮箱不成功!")},
         true},
        {"its box after success",
         kNoGate,
         AtGate::Wait,
         std::nullopt,
         {U("发送成功!欢迎使用")},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Action> script = HappyScript();
        if (c.change)
            script[c.change->first] = c.change->second;
        ScriptedServer server(script);
        GatedDlg dlg;
        dlg.gateAt = c.gateAt;
        dlg.atGate = c.atGate;
        ModalWatcher boxes(&dlg);
        dlg.Mailer().SetServerForTesting("127.0.0.1", server.port());
        mail::Timeouts timeouts;
        timeouts.reply = timeouts.endOfData = std::chrono::minutes(10); // only the abort ends them
        dlg.Mailer().SetTimeoutsForTesting(timeouts);
        dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
        const OpenGateOnClientClose opener(server, dlg.gate);
        ASSERT_TRUE(FillMail(dlg, U("/any/a.zip")));
        // The worker's boxes: OK, then the last one stays open and the close comes in its event
        // loop; yes to the question.
        for (qsizetype i = 1; i < c.boxes.size(); ++i)
            boxes.Answer(QMessageBox::Ok);
        if (!c.boxes.isEmpty())
            boxes.Answer(QMessageBox::NoButton);
        boxes.Answer(QMessageBox::Yes);
        boxes.OnBox([&](QMessageBox*) {
            if (boxes.Seen().size() == static_cast<std::size_t>(c.boxes.size()))
                QTimer::singleShot(0, &dlg, [&] { dlg.close(); });
        });
        QTest::mouseClick(dlg.findChild<QPushButton*>(U("IDOK")), Qt::LeftButton);
        ASSERT_TRUE(dlg.Mailer().IsSending());
        if (c.boxes.isEmpty()) {
            if (c.dataEnded)
                ASSERT_TRUE(QTest::qWaitFor([&] { return server.Units().size() == 8; }, kWaitMs));
            else
                ASSERT_TRUE(dlg.gate.WaitUntilReached(std::chrono::milliseconds(kWaitMs)));
            dlg.close();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return !dlg.isVisible(); }, kWaitMs));
        EXPECT_EQ(dlg.result(), QDialog::Rejected);
        EXPECT_FALSE(dlg.Mailer().IsSending());
        EXPECT_FALSE(dlg.Mailer().SocketOpen());
        QCoreApplication::processEvents(); // a box the worker left behind would show now
        EXPECT_EQ(boxes.Texts(), c.boxes + QStringList{U("附件正在发送中，确定要退出吗?")});
        ASSERT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));
        EXPECT_EQ(server.Transcript().find("\r\n.\r\n") != std::string::npos, c.dataEnded);
    }
}

TEST(AttachmentLifetime, DestroyingTheFormEndsTheWorker) {
    std::vector<Action> script = HappyScript();
    script[kEndOfData] = Silent();
    ScriptedServer server(script);
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    const QString path = folder.filePath(U("data.zip"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(RandomBytes(3000, 5));
    }
    auto dlg = std::make_unique<CMailerDlg>();
    ModalWatcher boxes(dlg.get());
    dlg->Mailer().SetServerForTesting("127.0.0.1", server.port());
    mail::Timeouts timeouts;
    timeouts.endOfData = std::chrono::seconds(60);
    dlg->Mailer().SetTimeoutsForTesting(timeouts);
    ASSERT_TRUE(FillMail(*dlg, path));
    dlg->findChild<QPushButton*>(U("IDOK"))->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.Units().size() == 8; }, kWaitMs));
    ASSERT_TRUE(dlg->Mailer().IsSending());

    dlg.reset();
    EXPECT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));
    EXPECT_TRUE(boxes.Seen().empty());
}

} // namespace
} // namespace vtest

namespace vtest {
namespace {

// The cancel button during the upload: the connection closes before the end of the data, the
// worker is gone without a box, the form keeps the mail, and the status line, which showed the
// size and the rate, says it was not sent.
TEST(AttachmentCancel, StopsTheUploadBeforeItsEndOfDataAndKeepsTheForm) {
    ScriptedServer server;
    GatedDlg dlg;
    ModalWatcher boxes(&dlg);
    dlg.Mailer().SetServerForTesting("127.0.0.1", server.port());
    dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    const OpenGateOnClientClose opener(server, dlg.gate);

    ASSERT_TRUE(FillMail(dlg, U("/any/a.zip")));
    auto* status = dlg.findChild<QLabel*>(U("statusLine"));
    auto* cancel = dlg.findChild<QPushButton*>(U("cancelSend"));
    QTest::mouseClick(dlg.findChild<QPushButton*>(U("IDOK")), Qt::LeftButton);
    ASSERT_TRUE(dlg.Mailer().IsSending());
    EXPECT_TRUE(cancel->isEnabled());
    // Stopped at the gate: a quarter of 2,000,000 bytes (1.9 MB), at some rate.
    const QRegularExpression upload(
        U("^已发送 25%（50[0-9] KB / 1.9 MB，[0-9.]+ (B|KB|MB|GB)/s）$"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return upload.match(status->text()).hasMatch(); }, kWaitMs))
        << status->text().toStdString();

    QTest::mouseClick(cancel, Qt::LeftButton);
    EXPECT_FALSE(dlg.Mailer().IsSending());
    EXPECT_FALSE(dlg.Mailer().SocketOpen());
    EXPECT_EQ(status->text(), U("已取消，邮件没有发送"));
    EXPECT_FALSE(cancel->isEnabled());
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(dlg.findChild<QLineEdit*>(U("IDC_ATTACH_PATH"))->text(), U("/any/a.zip"));
    EXPECT_TRUE(dlg.findChild<QLabel*>(U("IDC_BLANK"))->text().isEmpty());
    EXPECT_TRUE(server.WaitForClientClose(std::chrono::seconds(5)));
    QTest::qWait(50); // a box the worker might still post
    EXPECT_TRUE(boxes.Seen().empty()) << boxes.Texts().join(U("|")).toStdString();
    const std::string transcript = server.Transcript();
    const std::size_t data = transcript.find("DATA\r\n");
    ASSERT_NE(data, std::string::npos);
    EXPECT_EQ(transcript.find("\r\n.\r\n", data), std::string::npos) << "the data was ended";
}

} // namespace
} // namespace vtest
