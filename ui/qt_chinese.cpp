#include "ui/qt_chinese.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QtGlobal>

namespace ui {

bool InstallQtChinese(QTranslator& translator) {
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!translator.load(QStringLiteral("qtbase_zh_CN"), folder)) {
        qWarning("Vellipost: no qtbase_zh_CN.qm in %s (install qt6-translations-l10n); Qt's own "
                 "buttons and dialogs stay in English",
                 qUtf8Printable(folder));
        return false;
    }
    return QCoreApplication::installTranslator(&translator);
}

} // namespace ui
