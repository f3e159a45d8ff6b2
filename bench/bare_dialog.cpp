// The yardstick for the program's start-up: a bare Qt dialog, built with the same compiler, flags
// and Qt as the program, run modally as the program runs its form.
#include <QApplication>
#include <QDialog>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QDialog dlg;
    dlg.setWindowTitle(QStringLiteral("bare"));
    dlg.exec();
    return 0;
}
