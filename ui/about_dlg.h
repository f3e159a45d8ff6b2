#pragma once
// The About box on its template IDD_ABOUTBOX: the program icon, the version line, one line about
// the program and "确定". Modal over the main form; "确定", Enter, Esc and the close box end it,
// and it changes nothing in the form.
#include <QDialog>
#include <QLabel>
#include <QPushButton>

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    // Centred over parent when it is run; pass the main form.
    explicit CAboutDlg(QWidget* parent = nullptr);

private:
    // The template's controls, in template order (also the order of construction).
    QLabel m_icon;
    QLabel m_versionLine;
    QLabel m_secondLine;
    QPushButton m_ok;
};
