#include "mail/message/header_encoding.h"

#include "mail/message/base64.h"

#include <algorithm>
#include <vector>

namespace mail {
namespace {

// "=?" charset "?B?" ... "?="
std::size_t WordOverhead(std::string_view charset) {
    return charset.size() + 7;
}

// The characters of text, each as its bytes.
std::vector<std::string_view> Characters(std::string_view text, CharLength charLength) {
    std::vector<std::string_view> chars;
    while (!text.empty()) {
        const std::size_t n = std::min(charLength(text), text.size());
        chars.push_back(text.substr(0, n));
        text.remove_prefix(n);
    }
    return chars;
}

// RFC 2231 attribute-char: what may stand in an extended value without a percent sign.
bool IsAttributeChar(unsigned char c) {
    if (c <= 0x20 || c >= 0x7F)
        return false;
    return std::string_view("*'%()<>@,;:\\\"/[]?=").find(static_cast<char>(c)) ==
           std::string_view::npos;
}

std::string PercentEncoded(std::string_view bytes) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsAttributeChar(c)) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

} // namespace

bool IsPlainHeaderText(std::string_view text) {
    const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
    });
    return printable && text.find("=?") == std::string_view::npos;
}

std::size_t Utf8CharLength(std::string_view text) {
    const auto lead = text.empty() ? 0u : static_cast<unsigned char>(text[0]);
    const std::size_t n = lead >= 0xF0 && lead < 0xF8   ? 4
                          : lead >= 0xE0 && lead < 0xF0 ? 3
                          : lead >= 0xC0 && lead < 0xE0 ? 2
                                                        : 1;
    return std::min(n, std::max<std::size_t>(text.size(), 1));
}

std::string EncodedWords(std::string_view text, std::string_view charset, CharLength charLength,
                         std::size_t firstRoom, std::size_t laterRoom) {
    const std::size_t overhead = WordOverhead(charset);
    std::string out;
    std::string word; // the bytes of the word being filled
    std::size_t room = firstRoom;
    const auto flush = [&] {
        if (!out.empty())
            out += "\r\n ";
        out.append("=?").append(charset).append("?B?");
        out += Base64Encode(word);
        out += "?=";
        word.clear();
        room = laterRoom;
    };
    for (const std::string_view c : Characters(text, charLength)) {
        const std::size_t bytes = word.size() + c.size();
        if (!word.empty() && overhead + (bytes + 2) / 3 * 4 > room)
            flush();
        word.append(c);
    }
    if (!word.empty() || out.empty())
        flush();
    return out;
}

std::string QuotedString(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string ExtendedParameter(std::string_view name, std::string_view utf8, std::size_t lineSoFar,
                              std::size_t maxLine) {
    const std::string charsetPrefix = "UTF-8''";
    const std::string whole = charsetPrefix + PercentEncoded(utf8);
    const std::string single = " " + std::string(name) + "*=" + whole;
    if (lineSoFar + 1 + single.size() <= maxLine)
        return ";" + single;
    if (single.size() <= maxLine)
        return ";\r\n" + single;

    // Sections of whole characters, each on a line of its own: " name*N*=value;".
    std::string out = ";";
    std::string section = charsetPrefix;
    std::size_t number = 0;
    const auto lead = [&] { return " " + std::string(name) + "*" + std::to_string(number) + "*="; };
    const auto flush = [&] {
        out += "\r\n" + lead() + section;
        section.clear();
        ++number;
    };
    for (const std::string_view c : Characters(utf8, Utf8CharLength)) {
        const std::string encoded = PercentEncoded(c);
        // One more for the ";" that ends every section but the last.
        if (section.size() > (number == 0 ? charsetPrefix.size() : 0) &&
            lead().size() + section.size() + encoded.size() + 1 > maxLine) {
            flush();
            out += ";";
        }
        section += encoded;
    }
    flush();
    return out;
}

} // namespace mail
