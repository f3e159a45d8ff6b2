#pragma once
// The ways a text that is not plain ASCII can stand in a header field: RFC 2047 encoded words
// (the subject, the attachment's name for older readers), RFC 2231 extended parameters (the
// attachment's file name) and RFC 2045 quoted strings.
#include <cstddef>
#include <string>
#include <string_view>

namespace mail {

// True for text that can stand in a header as it is: printable ASCII, and no "=?" that a reader
// could take for the start of an encoded word.
bool IsPlainHeaderText(std::string_view text);

// The length of the character that starts text, in the text's own character set; never 0.
using CharLength = std::size_t (*)(std::string_view text);

// The length of the UTF-8 sequence that starts text (1 for a byte that starts none).
std::size_t Utf8CharLength(std::string_view text);

// RFC 2047 "B" encoded words of text in charset, each holding whole characters only, joined by
// CR LF and one space (a folded header line). The first word is at most firstRoom characters long
// and every later one at most laterRoom (an encoded word is never longer than 75).
std::string EncodedWords(std::string_view text, std::string_view charset, CharLength charLength,
                         std::size_t firstRoom, std::size_t laterRoom);

// text between double quotes, with "\" and '"' escaped by a backslash.
std::string QuotedString(std::string_view text);

// An RFC 2231 parameter holding UTF-8 text: "; name*=UTF-8''%E4..." when that fits on the field's
// line after lineSoFar characters, else on a folded line of its own, else continued in sections
// (";\r\n name*0*=UTF-8''...;\r\n name*1*=...") with no line over maxLine characters and no
// character split between sections.
std::string ExtendedParameter(std::string_view name, std::string_view utf8, std::size_t lineSoFar,
                              std::size_t maxLine);

} // namespace mail
