// The yardstick for the program's start-up: a bare Qt dialog, built with the same compiler, flags
// and Qt as the program, run modally as the program runs its form.
//   vellipost-bare-dialog            an empty dialog: Qt's own floor
//   vellipost-bare-dialog --text     with a label and a button, so that fonts are loaded too
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstring>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QDialog dlg;
    dlg.setWindowTitle(QStringLiteral("bare"));
    if (argc > 1 && std::strcmp(argv[1], "--text") == 0) {
        auto* layout = new QVBoxLayout(&dlg); // owned by the dialog, like the widgets below
        layout->addWidget(new QLabel(QStringLiteral("Hello"), &dlg));
        layout->addWidget(new QPushButton(QStringLiteral("OK"), &dlg));
    }
    dlg.exec();
    return 0;
}
