#pragma once
// Base64 with a CR LF after every BASE64_LINE_LENGTH-th (76th) character. Each call starts its own
// line count and pads its own end; so the encodings of pieces joined together are the encoding of
// the whole exactly when every piece but the last is a whole number of lines (kBase64LineBytes).
#include "mail/constants.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace mail {

// Input bytes that fill one line: 57.
inline constexpr std::size_t kBase64LineBytes = BASE64_LINE_LENGTH / 4 * 3;

// Exact size of the encoding of len bytes: the characters, two bytes per CR LF.
constexpr std::size_t Base64EncodedSize(std::size_t len) {
    const std::size_t chars = (len + 2) / 3 * 4;
    return chars + chars / BASE64_LINE_LENGTH * 2;
}

// Encodes len bytes at data into out, which must hold Base64EncodedSize(len) bytes.
// Returns the number of bytes written.
std::size_t Base64EncodeTo(const unsigned char* data, std::size_t len, char* out);

// The processor's vector path is chosen at run time where it has one; tests turn it off to check
// the portable path on the same machine. Both give the same bytes.
void Base64AllowSimd(bool allow);

// The encoding of len bytes; a length of zero or less gives the empty string.
std::string Base64Encode(const void* data, std::int32_t len);
std::string Base64Encode(const std::string& bytes);

} // namespace mail
