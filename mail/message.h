#pragma once
// The message text: header block, text part, attachment part header and the closing, as pure
// functions of their inputs (the date is passed in). All texts are code-page-936 bytes.
#include <string>
#include <string_view>

namespace mail {

struct MessageFields {
    std::string_view user;      // account name without "@" and domain
    std::string_view recipient; // full address as typed
    std::string_view subject;
    std::string_view body; // as typed; may be empty
    std::string_view date; // "%a %d %b %Y %X" of the local time
};

// RFC 5321 section 4.5.3.1.6: a line of text is at most 998 bytes before its CR LF.
inline constexpr std::size_t kMaxLineLength = 998;

// Every line break of the text (CR LF, a lone CR or a lone LF) as CR LF.
std::string NormalizeLineBreaks(std::string_view text);

// One more "." in front of every line that begins with "." (RFC 5321 section 4.5.2), so that no
// line of the text can end the data early. Expects CR LF line breaks.
std::string DotStuff(std::string_view text);

// True if some line of the text (CR LF breaks) is longer than kMaxLineLength bytes.
bool HasOverlongLine(std::string_view text);

// The header block with the empty first part and the text part, ready for the wire: the body's
// line breaks normalised and its lines dot-stuffed; a body with an overlong line goes out in
// base64 instead of 7bit.
std::string ComposeHeaderBlock(const MessageFields& fields);

// The attachment part's header; name is the file name without its folder.
std::string ComposeAttachmentHeader(std::string_view name);

// The closing boundary followed by the end of the data.
std::string_view ClosingText();

// The length of the "Subject:" header line without its CR LF.
std::size_t SubjectLineLength(std::string_view subject);

} // namespace mail
