#include "ui/about_dlg.h"

#include "res/constants.h"
#include "res/images.h"
#include "ui/dialog_units.h"
#include "ui/text.h"

#include <QIcon>
#include <QRect>
#include <QSize>
#include <QStyle>

using ui::Utf8;

namespace {

// The template in dialog units: the client size, then x, y, width, height of each control.
constexpr QSize kClientDlu(235, 55);
constexpr QRect kIconDlu(11, 17, 20, 20);
constexpr QRect kVersionLineDlu(40, 10, 119, 8);
constexpr QRect kSecondLineDlu(40, 25, 119, 8);
constexpr QRect kOkDlu(178, 7, 50, 14);

void SetUpLabel(QLabel& label, std::string_view text, const QRect& geometry) {
    label.setTextFormat(Qt::PlainText);
    label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label.setText(Utf8(text));
    label.setGeometry(geometry);
}

} // namespace

CAboutDlg::CAboutDlg(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                          Qt::MSWindowsFixedSizeDialogHint),
      m_icon(this), m_versionLine(this), m_secondLine(this), m_ok(this) {
    setWindowTitle(ui::Words(mail::Word::AboutCaption));
    setFont(ui::DialogFont());
    const ui::BaseUnits units = ui::MeasureBaseUnits(font());
    setFixedSize(ui::DluToPixels(kClientDlu, units));

    // An icon control sizes itself to the platform's standard icon, whatever its template box.
    const int side = style()->pixelMetric(QStyle::PM_LargeIconSize, nullptr, this);
    const QIcon icon = res::LoadMainIcon();
    m_icon.setPixmap(icon.pixmap(QSize(side, side), devicePixelRatio()));
    m_icon.setGeometry(QRect(ui::DluToPixels(kIconDlu, units).topLeft(), QSize(side, side)));

    SetUpLabel(m_versionLine, mail::WordsWith(mail::Word::AboutVersionLine, res::kAboutVersion),
               ui::DluToPixels(kVersionLineDlu, units));
    SetUpLabel(m_secondLine, mail::Words(mail::Word::AboutSecondLine),
               ui::DluToPixels(kSecondLineDlu, units));

    m_ok.setText(ui::Words(mail::Word::AboutOk));
    m_ok.setGeometry(ui::DluToPixels(kOkDlu, units));
    m_ok.setDefault(true);
    m_ok.setFocus();
    connect(&m_ok, &QPushButton::clicked, this, &QDialog::accept);
}
