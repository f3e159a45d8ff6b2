#pragma once
// The one place where text changes encoding. Our sources, the toolkit and the file system speak
// UTF-8. The account name, password and recipient go on the wire as code page 936, the code page
// the provider's users type in; the subject and body as GB18030, its superset that holds every
// Unicode character and that every mail reader knows.
//
// No conversion ever drops or substitutes a character: a text comes back only if converting it
// back gives exactly the text that went in.
#include <optional>
#include <string>
#include <string_view>

namespace mail {

// The code-page-936 bytes of a UTF-8 text, or nothing if the text is not valid UTF-8 or holds a
// character that code page 936 cannot represent.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// The UTF-8 form of code-page-936 bytes, or nothing if they are not valid code page 936.
std::optional<std::string> GbkToUtf8(std::string_view gbk);

// The GB18030 bytes of a UTF-8 text, or nothing if it is not valid UTF-8.
std::optional<std::string> Utf8ToGb18030(std::string_view utf8);

// The UTF-8 form of GB18030 bytes, or nothing if they are not valid GB18030.
std::optional<std::string> Gb18030ToUtf8(std::string_view gb18030);

// A server's words as UTF-8 fit to show (see ShowableText): servers answer in UTF-8 or in the
// provider's code page 936; anything else is taken as Latin-1, so that every byte still shows.
std::string ServerTextToUtf8(std::string_view bytes);

// Text from outside, made safe to put before a user in a box or on a terminal: always valid UTF-8,
// each ill-formed sequence (each maximal subpart, as Unicode recommends) replaced by U+FFFD.
// Control characters go, but for LF and TAB (a CR before an LF stays, a lone CR becomes an LF):
// they could ring a terminal's bell or move its cursor. So do the bidirectional formatting
// characters (U+061C, U+200E, U+200F, U+202A to U+202E, U+2066 to U+2069), with which a server
// could make its words read backwards.
std::string ShowableText(std::string_view text);

// The length of the GB18030 character that starts text (1, 2 or 4 bytes; 1 for a byte that
// starts none, so that a scan always moves on).
std::size_t Gb18030CharLength(std::string_view text);

} // namespace mail
