#pragma once
// Qt's own words in Simplified Chinese: the buttons of message boxes ("确定", "显示详情..."), the
// file chooser, the edit fields' context menus and the Yes/No question. The form is Chinese
// throughout, so they are loaded whatever the system's locale says. Start-up and the UI tests'
// main call this once, right after the application object exists.
#include <QTranslator>

namespace ui {

// Loads qtbase_zh_CN.qm from Qt's translations folder (Debian's qt6-translations-l10n) into
// translator and installs it on the application. Returns false, with a warning on stderr, if the
// catalogue is missing or unreadable; Qt's words then stay English and nothing else changes.
// translator must outlive the application's use of it (its destructor uninstalls it).
bool InstallQtChinese(QTranslator& translator);

} // namespace ui
