// The main form's tests need one QApplication for the whole run, with Qt's own words in Chinese
// as start-up gives them to the program.
#include "ui/qt_chinese.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
    // Test discovery runs this binary without the test environment; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    // The form keeps its draft and settings in the user's folders: here, in one that goes with the
    // run.
    const QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("XDG_STATE_HOME", QFile::encodeName(home.filePath(QStringLiteral("state"))));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    QApplication app(argc, argv);
    QTranslator qtChinese;
    ui::InstallQtChinese(qtChinese);
    return RUN_ALL_TESTS();
}
