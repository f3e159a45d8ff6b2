#pragma once
// Base64 with a CR LF after every 76th character. Each call starts its own line count and pads its
// own end, so the encodings of consecutive pieces joined together do not continue one another's
// lines or padding: the attachment's wire format depends on exactly that.
#include <cstddef>
#include <cstdint>
#include <string>

namespace mail {

// Exact size of the encoding of len bytes: the characters, two bytes per CR LF.
constexpr std::size_t Base64EncodedSize(std::size_t len) {
    const std::size_t chars = (len + 2) / 3 * 4;
    return chars + chars / 76 * 2;
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
