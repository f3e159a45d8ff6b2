// Start-up around the form: the application object names the program, gives it its version and
// icon and Qt's words in Chinese, and InitInstance runs the form modally. These tests run inside
// the program's own application object (test_main.cpp).
#include "app/mailer_app.h"
#include "modal_watcher.h"
#include "res/constants.h"
#include "res/images.h"
#include "ui/draft.h"
#include "ui/text.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <gtest/gtest.h>

#include <optional>
#include <vector>

extern CMailerApp* g_theApp;

namespace {

using ui::Utf8;

QImage Icon32(const QIcon& icon) {
    return icon.pixmap(QSize(32, 32))
        .toImage()
        .convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

TEST(StartUp, NamesTheProgramGivesItsVersionAndSpeaksChinese) {
    EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("Vellipost"));
    EXPECT_EQ(QCoreApplication::applicationVersion(), Utf8(res::kAppVersion));
    EXPECT_EQ(QGuiApplication::desktopFileName(), QStringLiteral("vellipost"));
    EXPECT_EQ(Icon32(QApplication::windowIcon()), Icon32(res::LoadMainIcon()));
    // Qt's own words, whatever the locale: start-up loads its Simplified Chinese catalogue.
    const QMessageBox box(QMessageBox::Question, {}, {}, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(box.button(QMessageBox::Ok)->text(), Utf8("确定"));
    EXPECT_EQ(box.button(QMessageBox::Cancel)->text(), Utf8("取消"));
}

TEST(StartUp, InitInstanceRunsTheFormModallyAndReturnsFalse) {
    ASSERT_NE(g_theApp, nullptr);
    std::vector<QString> seen;
    vtest::ModalWatcher watcher(nullptr);
    watcher.OnOtherModal([&](QWidget* w) {
        seen.push_back(QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(':') +
                       w->windowTitle());
        w->close();
    });
    EXPECT_FALSE(g_theApp->InitInstance());
    EXPECT_EQ(seen, std::vector<QString>{QStringLiteral("CMailerDlg:Vellipost")});
    EXPECT_TRUE(watcher.Seen().empty()) << "start-up showed a message box";
}

// The draft of the last run (in the run's own state folder, test_main.cpp) comes back at start-up
// and the status line says so; closing the form unchanged keeps it.
TEST(StartUp, InitInstanceRestoresTheUnsentDraft) {
    const ui::Draft draft;
    ASSERT_TRUE(draft.Save({Utf8("to@example.com"), Utf8("主题"), Utf8("正文"), {}}));
    std::optional<QString> recipient, status;
    vtest::ModalWatcher watcher(nullptr);
    watcher.OnOtherModal([&](QWidget* w) {
        recipient = w->findChild<QLineEdit*>(QStringLiteral("IDC_RECIPIENT"))->text();
        status = w->findChild<QLabel*>(QStringLiteral("statusLine"))->text();
        w->close();
    });
    EXPECT_FALSE(g_theApp->InitInstance());
    EXPECT_EQ(recipient, Utf8("to@example.com"));
    EXPECT_EQ(status, Utf8("已恢复上次未发送的邮件"));
    EXPECT_EQ(draft.Load()->subject, Utf8("主题"));
    draft.Remove();
    EXPECT_FALSE(QFile::exists(draft.FilePath()));
}

} // namespace
