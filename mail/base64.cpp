#include "mail/base64.h"

#include "mail/constants.h"

#include <cstring>

namespace mail {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value: one table look-up per input byte and a half.
struct PairTable {
    char pairs[4096][2];
    constexpr PairTable() : pairs{} {
        for (int i = 0; i < 4096; ++i) {
            pairs[i][0] = kAlphabet[i >> 6];
            pairs[i][1] = kAlphabet[i & 63];
        }
    }
};
constexpr PairTable kPairs;

constexpr std::size_t kLine = BASE64_LINE_LENGTH; // characters per line
constexpr std::size_t kLineBytes = kLine / 4 * 3; // 57 input bytes fill a line

// Encodes whole 3-byte groups; n is a multiple of 3.
inline char* EncodeGroups(const unsigned char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; i += 3) {
        const unsigned v = unsigned(in[i]) << 16 | unsigned(in[i + 1]) << 8 | in[i + 2];
        std::memcpy(out, kPairs.pairs[v >> 12], 2);
        std::memcpy(out + 2, kPairs.pairs[v & 0xFFF], 2);
        out += 4;
    }
    return out;
}

} // namespace

std::size_t Base64EncodeTo(const unsigned char* data, std::size_t len, char* out) {
    char* const start = out;
    // Full lines: 57 bytes make 76 characters, then CR LF.
    while (len >= kLineBytes) {
        out = EncodeGroups(data, kLineBytes, out);
        *out++ = '\r';
        *out++ = '\n';
        data += kLineBytes;
        len -= kLineBytes;
    }
    // The last line: whole groups, then the padded tail. With 55 or 56 bytes left it is exactly
    // 76 characters, pad included, and takes its line break like any full line.
    const bool fullLast = (len + 2) / 3 * 4 == kLine;
    const std::size_t whole = len / 3 * 3;
    out = EncodeGroups(data, whole, out);
    const std::size_t rest = len - whole;
    if (rest == 1) {
        const unsigned v = unsigned(data[whole]) << 4;
        *out++ = kAlphabet[v >> 6];
        *out++ = kAlphabet[v & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (rest == 2) {
        const unsigned v = (unsigned(data[whole]) << 8 | data[whole + 1]) << 2;
        *out++ = kAlphabet[v >> 12];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
        *out++ = '=';
    }
    if (fullLast) {
        *out++ = '\r';
        *out++ = '\n';
    }
    return static_cast<std::size_t>(out - start);
}

std::string Base64Encode(const void* data, std::int32_t len) {
    if (len <= 0)
        return {};
    const auto n = static_cast<std::size_t>(len);
    std::string result(Base64EncodedSize(n), '\0');
    result.resize(Base64EncodeTo(static_cast<const unsigned char*>(data), n, result.data()));
    return result;
}

std::string Base64Encode(const std::string& bytes) {
    return Base64Encode(bytes.data(), static_cast<std::int32_t>(bytes.size()));
}

} // namespace mail
