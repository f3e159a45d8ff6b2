#include "ui/file_drop.h"

#include <QDir>
#include <QFileInfo>
#include <QMimeData>
#include <QUrl>

namespace ui {

bool CarriesUrls(const QMimeData& data) {
    return data.hasUrls();
}

std::optional<QString> DroppedFilePath(const QMimeData& data) {
    const QList<QUrl> urls = data.urls();
    if (urls.size() != 1 || !urls.front().isLocalFile())
        return std::nullopt;
    const QFileInfo file(urls.front().toLocalFile());
    // The chooser takes only an existing file; a folder or a dangling name is no attachment.
    if (!file.isFile())
        return std::nullopt;
    return QDir::toNativeSeparators(file.absoluteFilePath());
}

} // namespace ui
