#pragma once
// A file dragged onto the form: what a drop carries becomes the attachment path, exactly as the
// file chooser would give it.
#include <QString>

#include <optional>

class QMimeData;

namespace ui {

// Whether a drag carries URLs at all: such a drag is the form's, wherever it is over the form
// (a text field would otherwise take it and insert the URL's text).
bool CarriesUrls(const QMimeData& data);

// The local path of the one regular file a drop carries, with the platform's separators; nothing
// for several URLs, a URL that names no local file, or a folder.
std::optional<QString> DroppedFilePath(const QMimeData& data);

} // namespace ui
