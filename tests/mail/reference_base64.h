#pragma once
// Base64 written the plain way, apart from the code under test. The encoder is the straightforward
// bit accumulator, kept as the reference the fast encoder must match byte for byte: six bits at a
// time out of a 32-bit accumulator, its own line count, CR LF after every 76th character (pad
// characters included), padding to a multiple of four.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vtest {

inline std::string ReferenceBase64(const unsigned char* data, std::size_t len) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    int lineCount = 0;
    std::size_t chars = 0;
    auto emit = [&](char c) {
        out += c;
        ++chars;
        if (++lineCount == 76) {
            out += "\r\n";
            lineCount = 0;
        }
    };
    for (std::size_t i = 0; i < len; ++i) {
        acc = (acc << 8) | data[i];
        bits += 8;
        while (bits >= 6) {
            emit(alphabet[(acc >> (bits - 6)) & 63]);
            bits -= 6;
        }
    }
    if (bits != 0)
        emit(alphabet[(acc << (6 - bits)) & 63]);
    while (chars % 4 != 0)
        emit('=');
    return out;
}

// The bytes of a base64 text; line breaks and padding are skipped.
inline std::string ReferenceBase64Decode(std::string_view text) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::uint32_t acc = 0;
    int bits = 0;
    for (const char c : text) {
        const auto value = alphabet.find(c);
        if (value == std::string::npos)
            continue; // line breaks and padding
        acc = (acc << 6) | static_cast<std::uint32_t>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

} // namespace vtest
