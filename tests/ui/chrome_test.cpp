// The window chrome of the main form, driven through the real widgets: the menu bar and its two
// message boxes, the About item in the context menu and the system commands, the About box, the
// program icon and the painting of the minimised window.
#include "mail/words/gbk.h"
#include "modal_watcher.h"
#include "res/constants.h"
#include "res/images.h"
#include "res/resource.h"
#include "scripted_server.h"
#include "ui/about_dlg.h"
#include "ui/dialog_units.h"
#include "ui/mailer_dlg.h"

#include <QAction>
#include <QFile>
#include <QImage>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

QString U(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The help text as the user must see it, character for character: three pieces with the address
// fragment "@163" between the first and second and between the second and third.
const char* const kExpectedHelpText =
    "1:首先在Vellipost上输入必要的信息，如账号，密码...等等，注意账号不用后面加入\"@163\"字样，"
    "发送账号要加入\"@163\"字样\r\n"
    "\r\n"
    "\r\n"
    "2:确定输入完信息后，按软件上的发送按钮将发送邮件，直到Vellipost弹出窗口，显示\"发送成功!"
    "欢迎使用\"才完成，注意发送附件时候，附件为ZIP格式，名字为英文或是数字,请耐心等侍\r\n"
    "\n"
    "欢迎您的使用Vellipost。";

// What the About box showed.
struct AboutRecord {
    QString title;
    QSize size;
    QSize minimumSize;
    QSize maximumSize;
    Qt::WindowFlags flags;
    QPoint center;
    QFont font;
    std::vector<QLabel*> textLabels;
    std::vector<QString> texts;
    std::vector<QRect> textGeometries;
    QRect iconGeometry;
    QImage iconImage;
    qreal iconRatio = 0;
    QString okText;
    QRect okGeometry;
    bool okIsDefault = false;
    bool okHasFocus = false;
    bool fitsTexts = true;
};

// Images compare in one pixel format; premultiplying is exact, so equal pictures stay equal.
QImage Argb(const QImage& image) {
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// Chinese text arrives from an input method as a committed string, the rest as key presses.
void Type(QWidget* widget, const QString& chinese, const QString& ascii) {
    QInputMethodEvent commit;
    commit.setCommitString(chinese);
    QApplication::sendEvent(widget, &commit);
    QTest::keyClicks(widget, ascii);
}

// The form, shown, with every field filled in by typing and the bound fields taken into the
// members, so that a test can tell whether anything changed.
class ChromeTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_form.emplace();
        m_form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&*m_form));
    }
    void TearDown() override { m_form.reset(); }

    CMailerDlg& form() { return *m_form; }

    QMenuBar* MenuBar() { return form().findChild<QMenuBar*>(); }

    void FillForm() {
        const QList<QLineEdit*> edits = form().findChildren<QLineEdit*>();
        ASSERT_FALSE(edits.isEmpty());
        int n = 0;
        for (QLineEdit* edit : edits)
            Type(edit, U("字段"), QStringLiteral("x%1").arg(++n));
        QPlainTextEdit* body = form().findChild<QPlainTextEdit*>();
        ASSERT_NE(body, nullptr);
        Type(body, U("正文的第一行"), QStringLiteral(" body"));
        ASSERT_TRUE(form().DoDataExchange(true));
    }

    struct Snapshot {
        std::vector<QString> edits;
        QString body;
        std::vector<std::string> members;
        bool operator==(const Snapshot&) const = default;
    };

    Snapshot Take() {
        Snapshot s;
        for (QLineEdit* edit : form().findChildren<QLineEdit*>())
            s.edits.push_back(edit->text());
        if (QPlainTextEdit* body = form().findChild<QPlainTextEdit*>())
            s.body = body->toPlainText();
        const mail::Form& f = form().FormValues();
        s.members = {f.m_strUser,    f.m_strPassword, f.m_strRecipient,
                     f.m_strSubject, f.m_strBody,     f.m_strAttachPath};
        return s;
    }

    // A point of the form's own background, outside every control and the menu bar: nothing
    // there but the form or a bare container widget.
    QPoint Background() {
        for (int y = form().height() - 3; y > form().height() / 2; --y) {
            const QPoint p(form().width() - 3, y);
            const QWidget* w = form().childAt(p);
            if (w == nullptr || qstrcmp(w->metaObject()->className(), "QWidget") == 0)
                return p;
        }
        ADD_FAILURE() << "no free background point";
        return {};
    }

    // Fills the form and clicks the command at index on the menu bar. Expects one box, of a menu
    // command's kind (titled with the program's name, the information icon, one OK button, owned
    // by the form, no detail, in code page 936), and the form unchanged; returns the box.
    std::optional<vtest::SeenBox> ClickOnTheMenuBar(int index) {
        FillForm();
        const Snapshot before = Take();
        vtest::ModalWatcher watcher(&form());
        QMenuBar* bar = MenuBar();
        EXPECT_NE(bar, nullptr);
        if (bar != nullptr) {
            const QRect item = bar->actionGeometry(bar->actions().value(index));
            QTest::mouseClick(bar, Qt::LeftButton, {}, item.center());
        }
        EXPECT_EQ(Take(), before);
        EXPECT_EQ(watcher.Seen().size(), 1u);
        if (watcher.Seen().size() != 1)
            return std::nullopt;
        const vtest::SeenBox& box = watcher.Seen().front();
        EXPECT_EQ(box.title, QStringLiteral("Vellipost"));
        EXPECT_EQ(box.icon, QMessageBox::Information);
        EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        EXPECT_TRUE(box.parentedToForm);
        EXPECT_TRUE(box.detail.isEmpty());
        EXPECT_TRUE(mail::Utf8ToGbk(box.text.toStdString()).has_value()) << "not in code page 936";
        return box;
    }

    static AboutRecord RecordAbout(QWidget* modal) {
        AboutRecord r;
        auto* about = qobject_cast<CAboutDlg*>(modal);
        EXPECT_NE(about, nullptr) << "expected the About box, got "
                                  << modal->metaObject()->className();
        if (about == nullptr)
            return r;
        r.title = about->windowTitle();
        r.size = about->size();
        r.minimumSize = about->minimumSize();
        r.maximumSize = about->maximumSize();
        r.flags = about->windowFlags();
        r.center = about->frameGeometry().center();
        r.font = about->font();
        for (QLabel* label : about->findChildren<QLabel*>()) {
            if (!label->pixmap().isNull()) {
                r.iconGeometry = label->geometry();
                r.iconImage = Argb(label->pixmap().toImage());
                r.iconRatio = label->pixmap().devicePixelRatio();
                continue;
            }
            r.texts.push_back(label->text());
            r.textGeometries.push_back(label->geometry());
            r.fitsTexts = r.fitsTexts &&
                          label->fontMetrics().horizontalAdvance(label->text()) <= label->width();
        }
        const QList<QPushButton*> buttons = about->findChildren<QPushButton*>();
        EXPECT_EQ(buttons.size(), 1);
        if (!buttons.isEmpty()) {
            r.okText = buttons.front()->text();
            r.okGeometry = buttons.front()->geometry();
            r.okIsDefault = buttons.front()->isDefault();
            r.okHasFocus = about->focusWidget() == buttons.front();
        }
        return r;
    }

    std::optional<CMailerDlg> m_form;
};

// --- the menu bar
// ---------------------------------------------------------------------------------

TEST_F(ChromeTest, MenuBarHasAuthorSeparatorHelpAsPlainCommands) {
    QMenuBar* bar = MenuBar();
    ASSERT_NE(bar, nullptr);
    const QList<QAction*> items = bar->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), U("作者"));
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2]->text(), U("帮助"));
    EXPECT_EQ(items[0]->data().toInt(), ID_AUTHOR);
    EXPECT_EQ(items[2]->data().toInt(), ID_HELP_TEXT);
    for (QAction* item : {items[0], items[2]}) {
        EXPECT_EQ(item->menu(), nullptr) << "no drop-down menus";
        EXPECT_FALSE(item->text().contains(QLatin1Char('&'))) << "no access keys";
        EXPECT_TRUE(item->isEnabled());
        EXPECT_FALSE(bar->actionGeometry(item).isEmpty());
    }
    EXPECT_LT(bar->actionGeometry(items[0]).left(), bar->actionGeometry(items[2]).left());
    EXPECT_TRUE(bar->isVisible());
    EXPECT_EQ(bar->mapTo(&form(), QPoint(0, 0)).y(), 0) << "the menu bar tops the form";
}

TEST_F(ChromeTest, MenuBarSeparatorIsDrawnBetweenTheCommands) {
    QMenuBar* bar = MenuBar();
    ASSERT_NE(bar, nullptr);
    const QList<QAction*> items = bar->actions();
    ASSERT_EQ(items.size(), 3);
    const QRect author = bar->actionGeometry(items[0]);
    const QRect help = bar->actionGeometry(items[2]);
    ASSERT_LT(author.right(), help.left());
    const QImage shot = bar->grab().toImage();
    const qreal dpr = shot.devicePixelRatio();
    // The bar's plain background, right of the last command, against the gap between the two.
    const int emptyX = help.right() + (bar->width() - help.right()) / 2;
    int differing = 0;
    for (int x = author.right() + 1; x < help.left(); ++x) {
        for (int y = author.top(); y <= author.bottom(); ++y) {
            const QPoint gap(int(x * dpr), int(y * dpr));
            const QPoint plain(int(emptyX * dpr), int(y * dpr));
            if (shot.pixel(gap) != shot.pixel(plain))
                ++differing;
        }
    }
    EXPECT_GE(differing, author.height() / 2) << "no visible separator between the commands";
}

TEST_F(ChromeTest, AuthorOnTheBarShowsTheTwoLineCreditWithTheInformationIcon) {
    const auto box = ClickOnTheMenuBar(0);
    ASSERT_TRUE(box);
    const QStringList lines = box->text.split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << box->text.toStdString();
    EXPECT_FALSE(lines[0].trimmed().isEmpty());
    EXPECT_FALSE(lines[1].trimmed().isEmpty());
}

TEST_F(ChromeTest, HelpOnTheBarShowsTheHelpTextExactly) {
    const auto box = ClickOnTheMenuBar(2);
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text.toStdString(), std::string(kExpectedHelpText));
}

TEST_F(ChromeTest, MenuCommandsCalledDirectlyShowTheSameBoxes) {
    vtest::ModalWatcher watcher(&form());
    form().OnHelpText();
    form().OnAuthor();
    const std::vector<vtest::SeenBox>& boxes = watcher.Seen();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text.toStdString(), std::string(kExpectedHelpText));
    EXPECT_EQ(boxes[1].text.count(QLatin1Char('\n')), 1);
    EXPECT_NE(boxes[0].text, boxes[1].text);
}

TEST_F(ChromeTest, MenuCommandsAndAboutWorkWhileAnAttachmentIsBeingSent) {
    // The server takes the whole message and then never answers, so the worker stays busy.
    std::vector<vtest::Action> script = vtest::HappyScript();
    script[vtest::kEndOfData] = vtest::Silent();
    vtest::ScriptedServer server(script);
    form().Mailer().SetServerForTesting("127.0.0.1", server.port());
    mail::Timeouts timeouts;
    timeouts.endOfData = std::chrono::seconds(60);
    form().Mailer().SetTimeoutsForTesting(timeouts);

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("photos.zip"));
    {
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(QByteArray(5000, 'z')), 5000);
    }
    auto field = [&](const char* name) { return form().findChild<QWidget*>(QLatin1String(name)); };
    QTest::keyClicks(field("IDC_USER"), QStringLiteral("demo"));
    QTest::keyClicks(field("IDC_PASSWORD"), QStringLiteral("demo"));
    QTest::keyClicks(field("IDC_RECIPIENT"), QStringLiteral("friend@example.com"));
    Type(field("IDC_SUBJECT"), U("周末"), QStringLiteral("!"));
    Type(field("IDC_BODY"), U("你好"), QStringLiteral("."));
    QTest::keyClicks(field("IDC_ATTACH_PATH"), path);

    std::vector<QString> abouts;
    vtest::ModalWatcher watcher(&form());
    watcher.OnOtherModal([&](QWidget* w) {
        abouts.push_back(QString::fromLatin1(w->metaObject()->className()) + QLatin1Char(':') +
                         w->windowTitle());
        QTest::keyClick(w, Qt::Key_Escape);
    });
    auto* send = form().findChild<QPushButton*>(QStringLiteral("IDOK"));
    ASSERT_NE(send, nullptr);
    QTest::mouseClick(send, Qt::LeftButton);
    ASSERT_TRUE(form().Mailer().IsSending()) << "the attachment worker did not start";
    ASSERT_TRUE(server.WaitForUnits(vtest::kEndOfData, std::chrono::seconds(30)));

    QMenuBar* bar = MenuBar();
    ASSERT_NE(bar, nullptr);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(bar->actions()[0]).center());
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->actionGeometry(bar->actions()[2]).center());
    form().OnSysCommand(IDM_ABOUTBOX, 0);
    EXPECT_TRUE(form().Mailer().IsSending());

    const std::vector<vtest::SeenBox>& boxes = watcher.Seen();
    ASSERT_EQ(boxes.size(), 2u) << "only the credit and the help text were expected";
    EXPECT_EQ(boxes[0].text.count(QLatin1Char('\n')), 1);
    EXPECT_EQ(boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(boxes[1].text.toStdString(), std::string(kExpectedHelpText));
    EXPECT_EQ(abouts, std::vector<QString>{U("CAboutDlg:关于 Vellipost")});
    form().Mailer().AbortAttachmentWorker();
    EXPECT_FALSE(form().Mailer().IsSending());
}

// --- the About item and the system commands ------------------------------------------------------

TEST_F(ChromeTest, RightClickOnTheBackgroundOffersTheAboutItemWhichOpensTheAboutBox) {
    FillForm();
    const Snapshot before = Take();
    QWidget* focusBefore = form().focusWidget();
    std::vector<QStringList> menus;
    std::vector<AboutRecord> abouts;
    vtest::ModalWatcher watcher(&form());
    watcher.OnOtherModal([&](QWidget* w) {
        abouts.push_back(RecordAbout(w));
        QTest::keyClick(w, Qt::Key_Escape);
    });
    watcher.OnPopup([&](QWidget* popup) {
        auto* menu = qobject_cast<QMenu*>(popup);
        ASSERT_NE(menu, nullptr);
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << (a->isSeparator() ? QStringLiteral("--") : a->text());
        menus.push_back(texts);
        QTest::keyClick(menu, Qt::Key_A); // the item's access key
    });
    QTest::mouseClick(form().windowHandle(), Qt::RightButton, {}, Background());

    ASSERT_EQ(menus.size(), 1u) << "no context menu on the form's background";
    EXPECT_EQ(menus[0], QStringList{U("关于 Vellipost(&A)...")});
    ASSERT_EQ(abouts.size(), 1u);
    EXPECT_EQ(abouts[0].title, U("关于 Vellipost"));
    EXPECT_EQ(Take(), before);
    EXPECT_EQ(form().focusWidget(), focusBefore);
}

TEST_F(ChromeTest, ContextMenuDismissedOpensNothing) {
    vtest::ModalWatcher watcher(&form());
    watcher.OnPopup([](QWidget* popup) { QTest::keyClick(popup, Qt::Key_Escape); });
    QTest::mouseClick(form().windowHandle(), Qt::RightButton, {}, Background());
    EXPECT_EQ(watcher.PopupsSeen(), 1);
    EXPECT_EQ(watcher.ModalsSeen(), 0);
}

TEST_F(ChromeTest, SysCommandOpensTheAboutBoxExactlyForSixteenToThirtyOne) {
    struct Case {
        unsigned value;
        bool opensAbout;
    };
    const Case cases[] = {
        {0x0010, true},  {0x0011, true},  {0x0015, true},
        {0x001F, true},  {0x10010, true}, // only the low 16 bits' mask counts
        {0x0000, false}, {0x000F, false}, {0x0020, false},
        {0x002F, false}, {0x0110, false}, {0xF010, false}, // move
        {0xF100, false},                                   // key menu
        {0xFFF0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "value 0x" << std::hex << c.value);
        std::vector<AboutRecord> abouts;
        vtest::ModalWatcher watcher(&form());
        watcher.OnOtherModal([&](QWidget* w) {
            abouts.push_back(RecordAbout(w));
            w->close();
        });
        form().OnSysCommand(c.value, 0);
        EXPECT_EQ(abouts.size(), c.opensAbout ? 1u : 0u);
        EXPECT_TRUE(form().isVisible());
        EXPECT_FALSE(form().isMinimized());
    }
}

TEST_F(ChromeTest, SysCommandMinimiseRestoreAndCloseGetTheWindowSystemsHandling) {
    form().OnSysCommand(0xF020, 0);
    EXPECT_TRUE(form().isMinimized());
    form().OnSysCommand(0xF122, 0); // restore, with low bits the window system would set
    EXPECT_FALSE(form().isMinimized());
    EXPECT_TRUE(form().isVisible());
    form().OnSysCommand(0xF060, 0);
    EXPECT_FALSE(form().isVisible());
}

// --- the About box
// --------------------------------------------------------------------------------

TEST_F(ChromeTest, AboutBoxFollowsItsTemplate) {
    std::vector<AboutRecord> abouts;
    vtest::ModalWatcher watcher(&form());
    watcher.OnOtherModal([&](QWidget* w) {
        abouts.push_back(RecordAbout(w));
        w->close();
    });
    form().OnSysCommand(IDM_ABOUTBOX, 0);
    ASSERT_EQ(abouts.size(), 1u);
    const AboutRecord& a = abouts.front();

    const ui::BaseUnits units = ui::MeasureBaseUnits(a.font);
    ASSERT_GT(units.cx, 0);
    ASSERT_GT(units.cy, 0);
    auto dlu = [&](int x, int y, int w, int h) {
        return ui::DluToPixels(QRect(x, y, w, h), units);
    };

    EXPECT_EQ(a.title, U("关于 Vellipost"));
    EXPECT_EQ(a.size, ui::DluToPixels(QSize(235, 55), units));
    EXPECT_EQ(a.minimumSize, a.size) << "fixed frame";
    EXPECT_EQ(a.maximumSize, a.size) << "fixed frame";
    EXPECT_TRUE(a.flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(a.flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(a.flags & Qt::WindowMaximizeButtonHint);

    ASSERT_EQ(a.texts.size(), 2u);
    EXPECT_EQ(a.texts[0], U("Vellipost 1.0 版"));
    EXPECT_EQ(a.textGeometries[0], dlu(40, 10, 119, 8));
    EXPECT_FALSE(a.texts[1].trimmed().isEmpty()) << "the second line has words of its own";
    EXPECT_NE(a.texts[1], a.texts[0]);
    EXPECT_EQ(a.textGeometries[1], dlu(40, 25, 119, 8));
    EXPECT_TRUE(a.fitsTexts) << "a line is wider than its box";
    EXPECT_TRUE(mail::Utf8ToGbk(a.texts[1].toStdString()).has_value());

    // The icon at the platform's standard size, where the template places the icon control, in
    // the rendering made for the screen's pixel ratio (this test runs at 1x, 1.5x and 2x).
    EXPECT_EQ(a.iconGeometry, QRect(dlu(11, 17, 20, 20).topLeft(), QSize(32, 32)));
    const qreal ratio = form().devicePixelRatio();
    EXPECT_EQ(a.iconRatio, ratio);
    const QImage rendered(QStringLiteral(":/res/icons/vellipost-%1.png").arg(qRound(32 * ratio)));
    ASSERT_FALSE(rendered.isNull()) << "no rendering for a pixel ratio of " << ratio;
    EXPECT_EQ(a.iconImage, Argb(rendered));

    EXPECT_EQ(a.okText, U("确定"));
    EXPECT_EQ(a.okGeometry, dlu(178, 7, 50, 14));
    EXPECT_TRUE(a.okIsDefault);
    EXPECT_TRUE(a.okHasFocus);

    const QPoint formCenter = form().frameGeometry().center();
    EXPECT_LE((a.center - formCenter).manhattanLength(), 2) << "not centred over the form";
}

TEST_F(ChromeTest, AboutBoxClosesByOkEnterEscAndTheCloseBoxLeavingTheFormAsItWas) {
    FillForm();
    const Snapshot before = Take();
    struct Way {
        const char* name;
        std::function<void(QWidget*)> close;
    };
    const Way ways[] = {
        {"click OK",
         [](QWidget* w) { QTest::mouseClick(w->findChild<QPushButton*>(), Qt::LeftButton); }},
        {"Space on OK",
         [](QWidget* w) { QTest::keyClick(w->findChild<QPushButton*>(), Qt::Key_Space); }},
        {"Return", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Return); }},
        {"Enter", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Enter); }},
        {"Esc", [](QWidget* w) { QTest::keyClick(w, Qt::Key_Escape); }},
        {"close box", [](QWidget* w) { w->close(); }},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.name);
        int seen = 0;
        bool closed = false;
        vtest::ModalWatcher watcher(&form());
        watcher.OnOtherModal([&](QWidget* w) {
            ++seen;
            way.close(w);
            closed = !w->isVisible();
            if (!closed)
                w->close(); // so that the test goes on
        });
        form().OnSysCommand(IDM_ABOUTBOX, 0);
        EXPECT_EQ(seen, 1);
        EXPECT_TRUE(closed);
        EXPECT_EQ(Take(), before);
        EXPECT_TRUE(form().isVisible());
    }
}

// --- the icon
// --------------------------------------------------------------------------------------

TEST(IconPosition, CentresTheIconTruncatingTowardZero) {
    struct Case {
        int clientW, clientH, iconW, iconH;
        QPoint expected;
    };
    const Case cases[] = {
        {36, 36, 32, 32, {2, 2}},   {35, 35, 32, 32, {2, 2}},   {20, 36, 32, 32, {-5, 2}},
        {36, 20, 32, 32, {2, -5}},  {33, 34, 32, 32, {1, 1}},   {31, 31, 32, 32, {0, 0}},
        {30, 30, 32, 32, {0, 0}}, // -1/2 truncates to 0, not -1
        {29, 29, 32, 32, {-1, -1}}, {19, 19, 32, 32, {-6, -6}}, {420, 351, 32, 32, {194, 160}},
        {48, 40, 16, 24, {16, 8}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.clientW << "x" << c.clientH);
        EXPECT_EQ(CMailerDlg::IconPosition(c.clientW, c.clientH, c.iconW, c.iconH), c.expected);
    }
}

TEST(ProgramIcon, HoldsEverySizeFromTheResources) {
    const QIcon icon = res::LoadMainIcon();
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_EQ(sizes.size(), static_cast<qsizetype>(std::size(res::kIconSizes)));
    for (int side : res::kIconSizes) {
        SCOPED_TRACE(side);
        EXPECT_TRUE(sizes.contains(QSize(side, side)));
        const QImage file(QStringLiteral(":/res/icons/vellipost-%1.png").arg(side));
        ASSERT_FALSE(file.isNull());
        EXPECT_EQ(Argb(icon.pixmap(QSize(side, side)).toImage()), Argb(file));
    }
}

TEST(Resources, BannerAndIconsLoadInAProgramLinkingTheFrontEnd) {
    EXPECT_EQ(QPixmap(QStringLiteral(":/res/banner.png")).size(), QSize(191, 103));
    EXPECT_EQ(QPixmap(QStringLiteral(":/res/banner@1.5x.png")).size(), QSize(287, 155));
    EXPECT_EQ(QPixmap(QStringLiteral(":/res/banner@2x.png")).size(), QSize(382, 206));
    for (int side : res::kIconSizes) {
        const QPixmap icon(QStringLiteral(":/res/icons/vellipost-%1.png").arg(side));
        EXPECT_EQ(icon.size(), QSize(side, side));
    }
}

TEST(WindowIcon, IsTheProgramIconBeforeTheFormFirstShows) {
    CMailerDlg form;
    struct ShowSpy : QObject {
        bool seen = false;
        bool ownIcon = false;
        QImage image;
        bool eventFilter(QObject* watched, QEvent* event) override {
            if (event->type() == QEvent::Show && !seen) {
                auto* w = static_cast<QWidget*>(watched);
                seen = true;
                ownIcon = w->testAttribute(Qt::WA_SetWindowIcon);
                image = Argb(w->windowIcon().pixmap(QSize(32, 32)).toImage());
            }
            return false;
        }
    } spy;
    form.installEventFilter(&spy);
    // Set by the form itself, not inherited from the application.
    EXPECT_TRUE(form.testAttribute(Qt::WA_SetWindowIcon));
    form.show();
    ASSERT_TRUE(spy.seen);
    EXPECT_TRUE(spy.ownIcon);
    const QImage expected = Argb(res::LoadMainIcon().pixmap(QSize(32, 32)).toImage());
    EXPECT_EQ(spy.image, expected);
    ASSERT_NE(form.windowHandle(), nullptr);
    EXPECT_EQ(Argb(form.windowHandle()->icon().pixmap(QSize(32, 32)).toImage()), expected);
    form.removeEventFilter(&spy);
}

TEST_F(ChromeTest, MinimisedFormPaintsTheIconCentredOnItsBackground) {
    const int side = form().style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, &form());
    const QPoint at = CMailerDlg::IconPosition(form().width(), form().height(), side, side);
    const QRect iconRect(at, QSize(side, side));

    auto paintOnly = [&] {
        QImage image(form().size(), QImage::Format_RGB32);
        image.fill(Qt::magenta);
        form().render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
        return image;
    };
    QImage expected(side, side, QImage::Format_RGB32);
    expected.fill(form().palette().window().color());
    {
        QPainter painter(&expected);
        form().m_hIcon.paint(&painter, QRect(0, 0, side, side));
    }

    EXPECT_NE(paintOnly().copy(iconRect), expected) << "icon painted while not minimised";
    form().setWindowState(Qt::WindowMinimized);
    ASSERT_TRUE(form().isMinimized());
    const QImage minimised = paintOnly();
    EXPECT_EQ(minimised.copy(iconRect), expected);
    // Background erased around it.
    EXPECT_EQ(QColor(minimised.pixel(0, 0)), form().palette().window().color());
}

} // namespace
