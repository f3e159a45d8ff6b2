// The window chrome of the main form: the menu bar and its two commands, the About item and the
// system commands, the program icon and the painting of the minimised window.
#include "ui/mailer_dlg.h"

#include "res/resource.h"
#include "ui/about_dlg.h"
#include "ui/text.h"

#include <QAction>
#include <QContextMenuEvent>
#include <QMenu>
#include <QMenuBar>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>

using ui::Utf8;

namespace {

// System commands of the Windows window menu that have a meaning here; the low four bits of a
// command value are the window system's own and are masked off before comparing.
constexpr unsigned kSysCommandMask = 0xFFF0;
constexpr unsigned kScMinimize = 0xF020;
constexpr unsigned kScClose = 0xF060;
constexpr unsigned kScRestore = 0xF120;

// Qt's menu bar lays separators out at zero width and draws nothing for them (unless the style
// asks for them, and then only to push the rest to the right). This bar draws each separator
// between two commands as a sunken vertical line in the gap between them, as the menu bar of the
// form's template shows it.
class CMenuBarWithSeparators : public QMenuBar {
public:
    using QMenuBar::QMenuBar;

protected:
    void paintEvent(QPaintEvent* event) override {
        QMenuBar::paintEvent(event);
        QPainter painter(this);
        const QList<QAction*> items = actions();
        for (qsizetype i = 1; i + 1 < items.size(); ++i) {
            if (!items[i]->isSeparator() || !items[i]->isVisible())
                continue;
            const QRect before = actionGeometry(items[i - 1]);
            const QRect after = actionGeometry(items[i + 1]);
            if (before.isEmpty() || after.isEmpty())
                continue;
            const int x = (before.right() + after.left()) / 2;
            const int top = before.top() + before.height() / 5;
            const int bottom = before.bottom() - before.height() / 5;
            painter.setPen(palette().color(QPalette::Dark));
            painter.drawLine(x, top, x, bottom);
            painter.setPen(palette().color(QPalette::Light));
            painter.drawLine(x + 1, top, x + 1, bottom);
        }
    }
};

} // namespace

QPoint CMailerDlg::IconPosition(int clientWidth, int clientHeight, int iconWidth, int iconHeight) {
    // C++ division truncates toward zero, as the icon's placement requires for narrow windows.
    return {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
}

void CMailerDlg::CreateMenuBar() {
    // The menu bar IDR_MAINMENU: commands on the bar itself, no drop-downs, no access keys.
    m_menuBar = new CMenuBarWithSeparators(this); // owned by the form as its child
    m_menuBar->setObjectName(QStringLiteral("IDR_MAINMENU"));
    QAction* author = m_menuBar->addAction(ui::Words(mail::Word::MenuAuthor));
    author->setData(ID_AUTHOR);
    connect(author, &QAction::triggered, this, &CMailerDlg::OnAuthor);
    m_menuBar->addSeparator();
    QAction* help = m_menuBar->addAction(ui::Words(mail::Word::MenuHelp));
    help->setData(ID_HELP_TEXT);
    connect(help, &QAction::triggered, this, &CMailerDlg::OnHelpText);
}

void CMailerDlg::OnHelpText() {
    MessageBox(ui::Words(mail::Word::HelpText), BoxIcon::Information);
}

void CMailerDlg::OnAuthor() {
    MessageBox(ui::Words(mail::Word::CreditText), BoxIcon::Information);
}

void CMailerDlg::contextMenuEvent(QContextMenuEvent* event) {
    // Window managers on Linux keep the window menu to themselves, so the About item, which
    // would come last in that menu, stands in the form's own context menu instead: a right click
    // on the form's background, or the menu key. It is the only item, so no separator leads it.
    QMenu menu(this);
    QAction* about = menu.addAction(ui::Words(mail::Word::AboutItem));
    about->setData(IDM_ABOUTBOX);
    if (menu.exec(event->globalPos()) == about)
        OnSysCommand(static_cast<unsigned>(IDM_ABOUTBOX), 0);
    event->accept();
}

void CMailerDlg::OnSysCommand(unsigned nID, [[maybe_unused]] long lParam) {
    const unsigned command = nID & kSysCommandMask;
    if (command == static_cast<unsigned>(IDM_ABOUTBOX)) {
        CAboutDlg dlgAbout(this);
        dlgAbout.exec();
        return;
    }
    // The window system's own commands, as far as Qt lets a program carry them out.
    switch (command) {
    case kScClose:
        close();
        break;
    case kScMinimize:
        showMinimized();
        break;
    case kScRestore:
        showNormal();
        break;
    default:
        break;
    }
}

void CMailerDlg::OnPaint(QPaintEvent* event) {
    if (!isMinimized()) {
        QDialog::paintEvent(event);
        return;
    }
    // Only where the window system lets a program draw its minimised window: erase the
    // background, then the icon at the platform's standard size, centred.
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const int side = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const QPoint at = IconPosition(width(), height(), side, side);
    m_hIcon.paint(&painter, QRect(at, QSize(side, side)));
}
