#pragma once
// The chrome's words are UTF-8 in res/strings.h; Qt takes them as QString.
#include <QString>

#include <string_view>

namespace app {

inline QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace app
