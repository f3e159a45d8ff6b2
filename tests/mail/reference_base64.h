#pragma once
// The straightforward bit-accumulator encoder, kept as the reference the fast encoder must match
// byte for byte: six bits at a time out of a 32-bit accumulator, its own line count, CR LF after
// every 76th character (pad characters included), padding to a multiple of four.
#include <cstddef>
#include <cstdint>
#include <string>

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

} // namespace vtest
