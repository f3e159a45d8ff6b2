#include "app/mailer_app.h"

#include "res/constants.h"
#include "res/images.h"
#include "ui/mailer_dlg.h"
#include "ui/qt_chinese.h"
#include "ui/text.h"

using ui::Utf8;

CMailerApp::CMailerApp(int& argc, char** argv) : m_app(argc, argv) {
    // The version record: name and version on the application object. No display name is set,
    // so window titles stay exactly as the templates give.
    QCoreApplication::setApplicationName(ui::Words(mail::Word::Caption));
    QCoreApplication::setApplicationVersion(Utf8(res::kAppVersion));
    QGuiApplication::setDesktopFileName(Utf8(res::kDesktopFileName));
    QApplication::setWindowIcon(res::LoadMainIcon());
    ui::InstallQtChinese(m_qtChinese);
}

bool CMailerApp::InitInstance() {
    CMailerDlg dlg;
    dlg.RestoreSaved();
    dlg.exec();
    return false;
}
