// The start-up tests run inside the program's own application object, so they see the names,
// version and icon that start-up gives the program.
#include "app/mailer_app.h"

#include <QtGlobal>
#include <gtest/gtest.h>

CMailerApp* g_theApp = nullptr;

int main(int argc, char** argv) {
    // Test discovery runs this binary without the test environment; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    CMailerApp app(argc, argv);
    g_theApp = &app;
    return RUN_ALL_TESTS();
}
