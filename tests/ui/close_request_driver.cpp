// The real form pointed at 127.0.0.1:PORT, for close_request_test.py: it fills in a mail, presses
// the send button and runs the form modally, as the program does. On stdout, one line each:
//   form WINDOW-ID          the form is shown (an X window id)
//   box WINDOW-ID TEXT      a modal box has opened over it
//   no box                  the last box has closed
//   closed                  the modal run has ended
// Usage: close_request_driver PORT
#include "ui/mailer_dlg.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
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
    mail::Form form;
    form.m_strUser = "demo";
    form.m_strPassword = "demo";
    form.m_strRecipient = "friend@example.com";
    form.m_strSubject = "close";
    form.m_strBody = "body";
    dlg.LoadFormValues(form);

    const QWidget* shown = nullptr; // only compared: the box it pointed at may be gone
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == &dlg)
            modal = nullptr;
        if (modal == shown)
            return;
        shown = modal;
        if (modal == nullptr)
            Say(QStringLiteral("no box"));
        else if (auto* message = qobject_cast<QMessageBox*>(modal))
            Say(QStringLiteral("box %1 %2").arg(message->winId()).arg(message->text()));
    });
    QTimer::singleShot(0, &dlg, [&] {
        Say(QStringLiteral("form %1").arg(dlg.winId()));
        watch.start(20);
        dlg.findChild<QPushButton*>(QStringLiteral("IDOK"))->click();
    });
    dlg.exec();
    Say(QStringLiteral("closed"));
    return 0;
}
