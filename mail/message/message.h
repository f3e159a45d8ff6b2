#pragma once
// The message text: header block, text part, attachment part header and the closing, as pure
// functions of their inputs (the date and the id are passed in). What they return is 7-bit clean:
// every text that is not plain ASCII goes out encoded (RFC 2047, RFC 2231, base64), so no server
// needs 8BITMIME and no reader has to guess a character set.
#include <cstddef>
#include <string>
#include <string_view>

namespace mail {

struct MessageFields {
    std::string_view user;      // account name without "@" and domain (code page 936)
    std::string_view recipient; // full address as typed (code page 936)
    std::string_view subject;   // GB18030
    std::string_view body;      // GB18030, as typed; may be empty
    std::string_view date;      // RFC 5322 date-time
    std::string_view messageId; // RFC 5322 msg-id, angle brackets included
};

// RFC 5321 section 4.5.3.1.6: a line of text is at most 998 bytes before its CR LF.
inline constexpr std::size_t kMaxLineLength = 998;
// RFC 2047 section 2: a line that holds encoded words is at most 76 characters.
inline constexpr std::size_t kMaxEncodedLineLength = 76;
// A subject needing more encoded lines than this is no subject any more; it is refused.
inline constexpr std::size_t kMaxSubjectLines = 20;

// Every line break of the text (CR LF, a lone CR or a lone LF) as CR LF.
std::string NormalizeLineBreaks(std::string_view text);

// One more "." in front of every line that begins with "." (RFC 5321 section 4.5.2), so that no
// line of the text can end the data early. Expects CR LF line breaks.
std::string DotStuff(std::string_view text);

// True if some line of the text (CR LF breaks) is longer than kMaxLineLength bytes.
bool HasOverlongLine(std::string_view text);

// The Subject field, from "Subject:" to the end of its last line without the final CR LF. A
// subject of printable ASCII that holds no "=?" goes out as it is; any other as RFC 2047 words in
// GB18030, folded so that no line passes kMaxEncodedLineLength.
std::string ComposeSubjectField(std::string_view subject);

// False if the subject's field would be longer than a server takes (a plain line over
// kMaxLineLength) or than a reader should have to unfold (over kMaxSubjectLines lines).
bool SubjectFitsInAHeader(std::string_view subject);

// The header block with the empty first part and the text part, ready for the wire. The body's
// line breaks are normalised; a body of short ASCII lines goes out as it is, dot-stuffed, and any
// other body (non-ASCII bytes, an overlong line, a line that could pass for the boundary) in
// base64.
std::string ComposeHeaderBlock(const MessageFields& fields);

// The attachment part's header. name is the file's name as the file system holds it (UTF-8): a
// plain ASCII name goes out quoted, any other as RFC 2047 words in GB18030 in the type's name
// (what older readers understand) and as an RFC 2231 UTF-8 filename in the disposition.
std::string ComposeAttachmentHeader(std::string_view name);

// The closing boundary followed by the end of the data.
std::string_view ClosingText();

} // namespace mail
