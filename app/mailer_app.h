#pragma once
// The application object: the program's one QApplication and its start-up. There is no main loop
// beyond the main form's modal run.
#include <QApplication>
#include <QTranslator>

class CMailerApp {
public:
    // Names the program "Vellipost" with the project's version, gives every window the program
    // icon and makes Qt's own words (standard buttons, the file chooser) Chinese.
    // Qt reads its own options (such as -platform) from the arguments; the program has none.
    CMailerApp(int& argc, char** argv);
    CMailerApp(const CMailerApp&) = delete;
    CMailerApp& operator=(const CMailerApp&) = delete;

    // Start-up: restores the remembered account and the unsent draft into the main form, runs it
    // modally and returns false once it has closed, so that no message loop of the application's
    // own follows. The form's result is not examined.
    bool InitInstance();

private:
    QApplication m_app;
    QTranslator m_qtChinese; // after m_app: uninstalled before the application ends
};
