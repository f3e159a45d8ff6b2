// The start-up tests run inside the program's own application object, so they see the names,
// version and icon that start-up gives the program.
#include "app/mailer_app.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>
#include <gtest/gtest.h>

CMailerApp* g_theApp = nullptr;

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
    CMailerApp app(argc, argv);
    g_theApp = &app;
    return RUN_ALL_TESTS();
}
