#pragma once
// Texts cross into Qt here: the catalogue's words are UTF-8 (mail/words/catalogue.h), and Qt takes
// QString.
#include "mail/words/catalogue.h"

#include <QString>

#include <string_view>

namespace ui {

inline QString Utf8(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

template <typename Id> QString Words(Id id) {
    return Utf8(mail::Words(id));
}

} // namespace ui
