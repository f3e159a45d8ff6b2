#pragma once
// The one place where text changes between UTF-8 (our sources, the toolkit, the file system) and
// code page 936, the bytes the mail core works on and puts on the wire.
#include <optional>
#include <string>
#include <string_view>

namespace mail {

// Returns the code-page-936 bytes of a UTF-8 text, or nothing if the text is not valid UTF-8 or
// holds a character that code page 936 cannot represent. Never substitutes characters.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// Returns the UTF-8 form of code-page-936 bytes, or nothing if they are not valid code page 936.
std::optional<std::string> GbkToUtf8(std::string_view gbk);

// Code-page-936 bytes of a UTF-8 literal of our own; the literal must be representable.
std::string Gbk(std::string_view utf8Literal);

} // namespace mail
