// The main form as its template IDD_MAILER_DIALOG gives it: frame, the sixteen controls in
// template order with their texts, ids, kinds and places.
#include "form_fixture.h"

#include "res/resource.h"

#include <QAccessible>
#include <QCheckBox>
#include <QImage>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextLayout>

#include <map>

namespace vtest {
namespace {

using FormLayout = FormTest;

TEST_F(FormLayout, FrameIsFixedCentredAndTitledWithTheMenuBarAboveTheClientArea) {
    EXPECT_EQ(dlg.windowTitle(), U("Vellipost"));
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_EQ(dlg.size(), dlg.minimumSize());
    const Qt::WindowFlags flags = dlg.windowFlags();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowContextHelpButtonHint);

    const QRect screen = dlg.screen()->availableGeometry();
    const QPoint offset = dlg.frameGeometry().center() - screen.center();
    EXPECT_LE(offset.manhattanLength(), 2) << offset.x() << ',' << offset.y();

    auto* menuBar = dlg.findChild<QMenuBar*>();
    auto* client = Get<QWidget>("client");
    ASSERT_NE(menuBar, nullptr);
    ASSERT_NE(client, nullptr);
    EXPECT_TRUE(menuBar->isVisible());
    EXPECT_EQ(menuBar->geometry().topLeft(), QPoint(0, 0));
    EXPECT_EQ(client->geometry(),
              QRect(QPoint(0, menuBar->geometry().bottom() + 1), QSize(420, 351)));
    // The status line below the client area, as wide as it.
    auto* status = Get<QWidget>("statusLine");
    ASSERT_NE(status, nullptr);
    EXPECT_TRUE(status->isVisible());
    EXPECT_EQ(status->geometry().topLeft(), QPoint(0, client->geometry().bottom() + 1));
    EXPECT_EQ(status->width(), 420);
    EXPECT_GE(status->height(), 18); // a line of the form's font
    EXPECT_EQ(dlg.size(), QSize(420, menuBar->height() + 351 + status->height()));
}

TEST_F(FormLayout, ControlsSitAtTheirDialogUnitsInTemplateOrder) {
    // Base units 6 x 12: every coordinate times 1.5, halves rounded up.
    struct Control {
        const char* name;
        int id;
        const char* kind;
        const char* text;
        QRect units;
        QRect pixels;
    };
    const Control controls[] = {
        {"IDOK", IDOK, "QPushButton", "发信", {15, 213, 50, 14}, {23, 320, 75, 21}},
        {"IDCANCEL", IDCANCEL, "QPushButton", "退出", {79, 213, 50, 14}, {119, 320, 75, 21}},
        {"labelUser", -1, "QLabel", "用户名:", {13, 10, 29, 10}, {20, 15, 44, 15}},
        {"labelPassword", -1, "QLabel", "密码:", {13, 32, 23, 10}, {20, 48, 35, 15}},
        {"IDC_USER", IDC_USER, "QLineEdit", "", {47, 5, 88, 16}, {71, 8, 132, 24}},
        {"IDC_PASSWORD", IDC_PASSWORD, "QLineEdit", "", {47, 31, 88, 16}, {71, 47, 132, 24}},
        {"labelRecipient", -1, "QLabel", "收件人:", {13, 55, 29, 10}, {20, 83, 44, 15}},
        {"IDC_RECIPIENT", IDC_RECIPIENT, "QLineEdit", "", {47, 52, 88, 16}, {71, 78, 132, 24}},
        {"labelSubject", -1, "QLabel", "主题:", {13, 80, 29, 10}, {20, 120, 44, 15}},
        {"IDC_SUBJECT", IDC_SUBJECT, "QLineEdit", "", {47, 76, 88, 16}, {71, 114, 132, 24}},
        {"labelBody", -1, "QLabel", "内容:", {13, 100, 29, 10}, {20, 150, 44, 15}},
        {"IDC_BODY", IDC_BODY, "QPlainTextEdit", "", {14, 110, 251, 77}, {21, 165, 377, 116}},
        // The picture shows the 191 x 103 bitmap at its own size from its template corner.
        {"IDB_BANNER", -1, "QLabel", "", {142, 13, 127, 69}, {213, 20, 191, 103}},
        {"IDC_ATTACH_PATH",
         IDC_ATTACH_PATH,
         "QLineEdit",
         "",
         {79, 191, 108, 16},
         {119, 287, 162, 24}},
        {"IDC_ATTACH", IDC_ATTACH, "QPushButton", "附件", {15, 192, 50, 14}, {23, 288, 75, 21}},
        {"IDC_BLANK", IDC_BLANK, "QLabel", "", {209, 198, 54, 25}, {314, 297, 81, 38}},
        // The additions, after the template's controls and in its free space.
        {"rememberAccount",
         -1,
         "QCheckBox",
         "记住帐号和密码",
         {142, 88, 126, 10},
         {213, 132, 189, 15}},
        {"cancelSend", -1, "QPushButton", "取消发送", {137, 213, 50, 14}, {206, 320, 75, 21}},
    };
    constexpr std::size_t kTemplateControls = 16;
    ASSERT_EQ(dlg.DialogBaseUnits().cx, 6);
    ASSERT_EQ(dlg.DialogBaseUnits().cy, 12);

    auto* client = Get<QWidget>("client");
    ASSERT_NE(client, nullptr);
    QList<QWidget*> children = client->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    ASSERT_EQ(children.size(), static_cast<qsizetype>(std::size(controls)));
    for (std::size_t i = 0; i < std::size(controls); ++i) {
        const Control& c = controls[i];
        SCOPED_TRACE(c.name);
        QWidget* w = children[static_cast<qsizetype>(i)];
        EXPECT_EQ(w->objectName(), QString::fromLatin1(c.name)) << "template order";
        EXPECT_STREQ(w->metaObject()->className(), c.kind);
        EXPECT_EQ(w->property("controlId").toInt(), c.id);
        EXPECT_EQ(w->geometry(), c.pixels);
        if (std::string_view(c.name) != "IDB_BANNER") {
            EXPECT_EQ(w->geometry(), ui::DluToPixels(c.units, dlg.DialogBaseUnits()));
        }
        if (auto* button = qobject_cast<QPushButton*>(w)) {
            EXPECT_EQ(button->text(), U(c.text));
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
            EXPECT_EQ(label->text(), U(c.text));
            EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
            EXPECT_TRUE(label->alignment() & Qt::AlignLeft);
        }
        if (auto* edit = qobject_cast<QLineEdit*>(w)) {
            EXPECT_TRUE(edit->text().isEmpty());
        }
        if (auto* box = qobject_cast<QCheckBox*>(w)) {
            EXPECT_EQ(box->text(), U(c.text));
            EXPECT_FALSE(box->isChecked());
        }
        // An addition covers no control of the template.
        for (std::size_t j = 0; i >= kTemplateControls && j < kTemplateControls; ++j)
            EXPECT_FALSE(w->geometry().intersects(children[static_cast<qsizetype>(j)]->geometry()))
                << "covers " << controls[j].name;
    }

    auto* banner = Get<QLabel>("IDB_BANNER");
    const QPixmap bitmap = banner->pixmap();
    ASSERT_FALSE(bitmap.isNull()) << "the banner resource did not load";
    EXPECT_EQ(bitmap.size(), QSize(191, 103));
}

// What a screen reader hears of each control, through Qt's accessibility interfaces: an edit field
// by its label (the label's relation to it, too), a button by its text, the banner by a name and
// a description.
TEST_F(FormLayout, ScreenReaderHearsEachControlByItsWords) {
    struct Heard {
        const char* control;
        QAccessible::Role role;
        const char* name;
        const char* label; // the label the field is announced with, if it has one
    };
    const Heard heard[] = {
        {"IDOK", QAccessible::Button, "发信", nullptr},
        {"IDCANCEL", QAccessible::Button, "退出", nullptr},
        {"IDC_ATTACH", QAccessible::Button, "附件", nullptr},
        {"IDC_USER", QAccessible::EditableText, "用户名:", "labelUser"},
        {"IDC_PASSWORD", QAccessible::EditableText, "密码:", "labelPassword"},
        {"IDC_RECIPIENT", QAccessible::EditableText, "收件人:", "labelRecipient"},
        {"IDC_SUBJECT", QAccessible::EditableText, "主题:", "labelSubject"},
        {"IDC_BODY", QAccessible::EditableText, "内容:", "labelBody"},
        // No label of its own: a name apart from the attachment button's beside it.
        {"IDC_ATTACH_PATH", QAccessible::EditableText, "附件路径", nullptr},
        {"rememberAccount", QAccessible::CheckBox, "记住帐号和密码", nullptr},
        {"cancelSend", QAccessible::Button, "取消发送", nullptr},
        {"IDB_BANNER", QAccessible::Graphic, "Vellipost", nullptr},
    };
    for (const Heard& h : heard) {
        SCOPED_TRACE(h.control);
        QAccessibleInterface* control =
            QAccessible::queryAccessibleInterface(Get<QWidget>(h.control));
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->role(), h.role);
        EXPECT_EQ(control->text(QAccessible::Name), U(h.name));
        if (h.label == nullptr)
            continue;
        QAccessibleInterface* label = QAccessible::queryAccessibleInterface(Get<QLabel>(h.label));
        bool labelled = false;
        for (const auto& [other, relation] : control->relations(QAccessible::Label))
            labelled = labelled || other == label;
        EXPECT_TRUE(labelled) << "the field does not name its label";
    }
    QAccessibleInterface* banner = QAccessible::queryAccessibleInterface(Get<QLabel>("IDB_BANNER"));
    ASSERT_NE(banner, nullptr);
    EXPECT_TRUE(banner->text(QAccessible::Description).contains(U("信封")))
        << banner->text(QAccessible::Description).toStdString();
}

// Runs at 1x with the rest, and again at 1.5x and 2x (QT_SCALE_FACTOR, tests/ui/CMakeLists.txt):
// the banner and the icon come in the rendering made for the screen's pixel ratio, not scaled.
using HiDpi = FormTest;

QImage Argb(const QImage& image) {
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

TEST_F(HiDpi, BannerAndIconAreTheRenderingsForTheScreensPixelRatio) {
    const qreal ratio = dlg.devicePixelRatio();
    const std::map<qreal, QString> banners{
        {1.0, U("banner.png")}, {1.5, U("banner@1.5x.png")}, {2.0, U("banner@2x.png")}};
    ASSERT_TRUE(banners.contains(ratio)) << "no rendering for a pixel ratio of " << ratio;

    auto* banner = Get<QLabel>("IDB_BANNER");
    const QPixmap bitmap = banner->pixmap();
    EXPECT_EQ(bitmap.devicePixelRatio(), ratio);
    EXPECT_EQ(Argb(bitmap.toImage()), Argb(QImage(U(":/res/") + banners.at(ratio))));
    EXPECT_EQ(banner->geometry(), QRect(213, 20, 191, 103)) << "the form keeps its proportions";

    // The sizes the form and its windows draw the icon at.
    for (const int side : {16, 24, 32, 48, 64}) {
        SCOPED_TRACE(side);
        const QPixmap icon = dlg.m_hIcon.pixmap(QSize(side, side), ratio);
        const QImage rendered(
            QStringLiteral(":/res/icons/vellipost-%1.png").arg(qRound(side * ratio)));
        ASSERT_FALSE(rendered.isNull());
        EXPECT_EQ(icon.devicePixelRatio(), ratio);
        EXPECT_EQ(Argb(icon.toImage()), Argb(rendered));
    }
}

TEST_F(FormLayout, FieldsBehaveAsTheirStylesSay) {
    EXPECT_EQ(Password()->echoMode(), QLineEdit::Normal); // the password shows in clear
    for (QLineEdit* edit : {User(), Password(), Recipient(), Subject(), Path()}) {
        EXPECT_TRUE(edit->hasFrame());
        EXPECT_FALSE(edit->isReadOnly());
    }
    EXPECT_EQ(Body()->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(Body()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(Body()->verticalScrollBar()->isVisible());
    EXPECT_TRUE(SendButton()->isDefault());
    EXPECT_FALSE(AttachButton()->isDefault());
    for (QPushButton* button : {SendButton(), ExitButton(), AttachButton()})
        EXPECT_TRUE(button->autoDefault());
    EXPECT_TRUE(Blank()->text().isEmpty());
}

TEST_F(FormLayout, LongBodyLineScrollsSidewaysInsteadOfWrapping) {
    const QString line(300, QLatin1Char('x'));
    QTest::keyClicks(Body(), line);
    EXPECT_EQ(Body()->toPlainText(), line);
    const QTextBlock block = Body()->document()->firstBlock();
    ASSERT_NE(block.layout(), nullptr);
    EXPECT_EQ(block.layout()->lineCount(), 1);
    EXPECT_GT(Body()->horizontalScrollBar()->value(), 0);
}

TEST_F(FormLayout, BodyScrollsThroughItsLinesVertically) {
    for (int i = 0; i < 30; ++i) {
        if (i > 0)
            QTest::keyClick(Body(), Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClicks(Body(), QString::number(i));
    }
    EXPECT_EQ(Body()->blockCount(), 30);
    QScrollBar* bar = Body()->verticalScrollBar();
    EXPECT_GT(bar->maximum(), 0);
    EXPECT_GT(bar->value(), 0);
    EXPECT_TRUE(Body()->viewport()->rect().contains(Body()->cursorRect()))
        << "the caret on the last line is out of view";
}

} // namespace
} // namespace vtest
