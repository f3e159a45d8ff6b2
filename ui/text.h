#pragma once
// Texts cross into Qt here: the built-in words are UTF-8 (res/strings.h), and Qt takes QString.
#include <QString>

#include <string_view>

namespace ui {

inline QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace ui
