#include "mail/message/base64.h"

#include "mail/constants.h"

#include <atomic>

#include <bit>
#include <cstdint>
#include <cstring>

// x86-64 encodes whole lines 12 bytes at a time with SSSE3 when the processor has it (every one
// since about 2008); elsewhere, and as the fallback, the table-driven code below does.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VELLIPOST_BASE64_SSSE3 1
#include <immintrin.h>
#endif

namespace mail {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two output characters for every 12-bit value, held as the 16 bits that store them in memory
// order: one look-up per input byte and a half, and whole words written at a time.
struct PairTable {
    std::uint16_t pairs[4096];
    constexpr PairTable() : pairs{} {
        for (int i = 0; i < 4096; ++i) {
            const auto first = static_cast<std::uint16_t>(kAlphabet[i >> 6]);
            const auto second = static_cast<std::uint16_t>(kAlphabet[i & 63]);
            pairs[i] = std::endian::native == std::endian::little
                           ? static_cast<std::uint16_t>(first | second << 8)
                           : static_cast<std::uint16_t>(first << 8 | second);
        }
    }
};
constexpr PairTable kPairs;
static_assert(std::endian::native == std::endian::little ||
              std::endian::native == std::endian::big);

constexpr std::size_t kLine = BASE64_LINE_LENGTH; // characters per line
constexpr std::size_t kLineBytes = kBase64LineBytes;
// The whole-line encoders below take a line as nine 6-byte groups and one 3-byte group.
static_assert(kLineBytes == 9 * 6 + 3);

// Joins pairs into the word that stores them in order; the first pair comes first in memory.
template <typename Word> constexpr Word Join(Word first, Word second, unsigned shift) {
    return std::endian::native == std::endian::little ? Word(first | second << shift)
                                                      : Word(first << shift | second);
}

// 6 bytes in, 8 characters out: one load, four look-ups, one store. Reads 8 bytes, so in[6] and
// in[7] must exist (within a line they are the next group's).
inline void EncodeSix(const unsigned char* in, char* out) {
    std::uint64_t raw;
    std::memcpy(&raw, in, 8);
    if constexpr (std::endian::native == std::endian::little)
        raw = __builtin_bswap64(raw);
    const std::uint64_t v = raw >> 16; // the 6 bytes, first byte highest
    const std::uint64_t lo =
        Join<std::uint64_t>(kPairs.pairs[v >> 36], kPairs.pairs[(v >> 24) & 0xFFF], 16);
    const std::uint64_t hi =
        Join<std::uint64_t>(kPairs.pairs[(v >> 12) & 0xFFF], kPairs.pairs[v & 0xFFF], 16);
    const std::uint64_t word = Join<std::uint64_t>(lo, hi, 32);
    std::memcpy(out, &word, 8);
}

// 3 bytes in, 4 characters out with one store.
inline void EncodeThree(const unsigned char* in, char* out) {
    const unsigned v = unsigned(in[0]) << 16 | unsigned(in[1]) << 8 | in[2];
    const std::uint32_t word =
        Join<std::uint32_t>(kPairs.pairs[v >> 12], kPairs.pairs[v & 0xFFF], 16);
    std::memcpy(out, &word, 4);
}

// Encodes whole 3-byte groups; n is a multiple of 3. Reads only the n bytes.
inline char* EncodeGroups(const unsigned char* in, std::size_t n, char* out) {
    for (std::size_t i = 0; i < n; i += 3, out += 4)
        EncodeThree(in + i, out);
    return out;
}

// One full line: 57 bytes make 76 characters (nine times 6 bytes, then 3), then CR LF.
inline char* EncodeLine(const unsigned char* in, char* out) {
    for (std::size_t i = 0; i < 54; i += 6)
        EncodeSix(in + i, out + i / 6 * 8);
    EncodeThree(in + 54, out + 72);
    out[kLine] = '\r';
    out[kLine + 1] = '\n';
    return out + kLine + 2;
}

char* EncodeLines(const unsigned char* in, std::size_t lines, char* out) {
    for (; lines > 0; --lines, in += kLineBytes)
        out = EncodeLine(in, out);
    return out;
}

#ifdef VELLIPOST_BASE64_SSSE3
// 12 bytes in, 16 characters out, the same characters as four EncodeThree calls. Reads 16 bytes.
// The bytes of each group are spread over 32 bits, multiplications shift the four 6-bit values
// into separate bytes, and a 16-entry table adds the offset of each value's alphabet range.
__attribute__((target("ssse3"))) inline void EncodeTwelve(const unsigned char* in, char* out) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    v = _mm_shuffle_epi8(v, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
    const __m128i hi =
        _mm_mulhi_epu16(_mm_and_si128(v, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
    const __m128i lo =
        _mm_mullo_epi16(_mm_and_si128(v, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
    const __m128i index = _mm_or_si128(hi, lo); // one 6-bit value per byte
    // Range of each value: 0 for A-Z (below 26), 1 for a-z, 2-11 for the digits, 12 for "+" and
    // 13 for "/"; then the offset that takes a value of that range to its character.
    __m128i range = _mm_subs_epu8(index, _mm_set1_epi8(51));
    range = _mm_or_si128(
        range, _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), index), _mm_set1_epi8(13)));
    const __m128i offsets =
        _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    const __m128i chars = _mm_add_epi8(_mm_shuffle_epi8(offsets, range), index);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), chars);
}

// EncodeLines with four 12-byte steps a line (bytes 0-47, reading up to byte 51), then 6 and 3.
__attribute__((target("ssse3"))) char* EncodeLinesSsse3(const unsigned char* in, std::size_t lines,
                                                        char* out) {
    for (; lines > 0; --lines, in += kLineBytes, out += kLine + 2) {
        for (std::size_t i = 0; i < 48; i += 12)
            EncodeTwelve(in + i, out + i / 3 * 4);
        EncodeSix(in + 48, out + 64);
        EncodeThree(in + 54, out + 72);
        out[kLine] = '\r';
        out[kLine + 1] = '\n';
    }
    return out;
}

bool HaveSsse3() {
    static const bool have = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return have;
}
#endif

std::atomic<bool> g_allowSimd{true};

} // namespace

void Base64AllowSimd(bool allow) {
    g_allowSimd = allow;
}

std::size_t Base64EncodeTo(const unsigned char* data, std::size_t len, char* out) {
    char* const start = out;
    // Full lines: 57 bytes make 76 characters, then CR LF.
    const std::size_t lines = len / kLineBytes;
#ifdef VELLIPOST_BASE64_SSSE3
    out = HaveSsse3() && g_allowSimd.load(std::memory_order_relaxed)
              ? EncodeLinesSsse3(data, lines, out)
              : EncodeLines(data, lines, out);
#else
    out = EncodeLines(data, lines, out);
#endif
    data += lines * kLineBytes;
    len -= lines * kLineBytes;
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
