// The real form with the desktop's keyring, started as the program starts it (the remembered
// account and the draft restored) but pointed at 127.0.0.1:PORT, for keyring_test.py. It prints
// the form's window id, then the state of the account fields whenever it changes:
//   form WINDOW-ID X Y        and where in it the cancel button is
//   state USER PASSWORD CHECKED STATUS
//   box WINDOW-ID TEXT       a message box has opened
//   no box                   it has closed
// Usage: keyring_driver PORT
#include "ui/mailer_dlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>

#include <cstdio>

namespace {

void Say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2)
        return 2;
    CMailerDlg dlg;
    dlg.Mailer().SetServerForTesting("127.0.0.1",
                                     static_cast<std::uint16_t>(QString(argv[1]).toUInt()));
    dlg.RestoreSaved();

    QString last;
    const QWidget* lastBox = nullptr;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const QString state =
            QStringLiteral("state %1 %2 %3 %4")
                .arg(dlg.findChild<QLineEdit*>(QStringLiteral("IDC_USER"))->text(),
                     dlg.findChild<QLineEdit*>(QStringLiteral("IDC_PASSWORD"))->text(),
                     dlg.findChild<QCheckBox*>(QStringLiteral("rememberAccount"))->isChecked()
                         ? QStringLiteral("checked")
                         : QStringLiteral("unchecked"),
                     dlg.findChild<QLabel*>(QStringLiteral("statusLine"))->text());
        if (state != last)
            Say(last = state);
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == &dlg)
            modal = nullptr;
        if (modal != lastBox) {
            lastBox = modal;
            if (auto* box = qobject_cast<QMessageBox*>(modal))
                Say(QStringLiteral("box %1 %2").arg(box->winId()).arg(box->text()));
            else if (modal == nullptr)
                Say(QStringLiteral("no box"));
        }
    });
    QTimer::singleShot(0, &dlg, [&] {
        const auto* cancel = dlg.findChild<QWidget*>(QStringLiteral("cancelSend"));
        const QPoint at = cancel->mapTo(&dlg, cancel->rect().center());
        Say(QStringLiteral("form %1 %2 %3").arg(dlg.winId()).arg(at.x()).arg(at.y()));
        watch.start(20);
    });
    dlg.exec();
    return 0;
}
