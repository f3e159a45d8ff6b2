#pragma once
// What a text put before the user must be, checked apart from the product's own decoder: decoded
// loosely by bit patterns, then each code point held to its shortest form and to Unicode's range.
#include <optional>
#include <string>
#include <string_view>

namespace vtest {

// The code points of text, or nothing if it is not well-formed UTF-8.
inline std::optional<std::u32string> DecodeUtf8(std::string_view text) {
    static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    std::u32string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const int extra = lead < 0x80   ? 0
                          : lead < 0xC0 ? -1
                          : lead < 0xE0 ? 1
                          : lead < 0xF0 ? 2
                          : lead < 0xF8 ? 3
                                        : -1;
        if (extra < 0 || text.size() - i <= static_cast<std::size_t>(extra))
            return std::nullopt;
        char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return std::nullopt;
            c = c << 6 | (next & 0x3F);
        }
        if (c < kShortest[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        out += c;
        i += static_cast<std::size_t>(extra) + 1;
    }
    return out;
}

// Well-formed UTF-8 with no control character but LF, TAB and a CR before an LF, and no
// bidirectional formatting character.
inline bool IsShowable(std::string_view text) {
    const auto decoded = DecodeUtf8(text);
    if (!decoded)
        return false;
    const std::u32string& s = *decoded;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char32_t c = s[i];
        if (c == '\r' && (i + 1 == s.size() || s[i + 1] != '\n'))
            return false;
        if (c < 0x20 && c != '\n' && c != '\t' && c != '\r')
            return false;
        if ((c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
            (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069))
            return false;
    }
    return true;
}

} // namespace vtest
