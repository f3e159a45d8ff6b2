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
    std::string_view recipient; // the bare address (Mailbox::address), as the envelope has it
    std::string_view subject;   // GB18030
    std::string_view body;      // GB18030, as typed; may be empty
    std::string_view date;      // RFC 5322 date-time
    std::string_view messageId; // RFC 5322 msg-id, angle brackets included
    std::string_view recipientName = {}; // Mailbox::displayName (code page 936); may be empty
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
// UTF-8 (the one charset whose adjacent words every reader joins), folded so that no line passes
// kMaxEncodedLineLength. A subject that is not GB18030 keeps its bytes, labelled GB18030.
std::string ComposeSubjectField(std::string_view subject);

// The To field without the final CR LF: "To: <address>", or with a display name in front of the
// address: as it is if it is an RFC 5322 phrase of ASCII atoms, as a quoted string if it is other
// printable ASCII, else as RFC 2047 words in UTF-8, folded like the subject.
std::string ComposeToField(std::string_view address, std::string_view displayName);

// The text part's charset: "GBK" when the body's GB18030 bytes are exactly the code-page-936
// bytes of the same characters (what every reader knows), else "GB18030".
std::string_view BodyCharset(std::string_view body);

// False if the subject's field would be longer than a server takes (a plain line over
// kMaxLineLength) or than a reader should have to unfold (over kMaxSubjectLines lines).
bool SubjectFitsInAHeader(std::string_view subject);

// The header block and the text part as the first part, ready for the wire; an empty body makes
// no part at all, so that the attachment is the first. The body's line breaks are normalised; a
// body of short ASCII lines goes out as it is, dot-stuffed, and any other body (non-ASCII bytes,
// an overlong line, a line that could pass for the boundary or that a mailbox file would rewrite
// because it starts with "From ") in base64.
std::string ComposeHeaderBlock(const MessageFields& fields);

// RFC 2045 leaves parameter lengths open, but readers (munpack) lose the part when the type's
// name passes this; the disposition's filename carries the whole name.
inline constexpr std::size_t kMaxLegacyNameLength = 255;

// The attachment part's header. name is the file's name as the file system holds it (UTF-8): a
// plain ASCII name goes out quoted, any other as RFC 2047 words in UTF-8 in the type's name (what
// older readers understand) and as an RFC 2231 UTF-8 filename in the disposition. The type's name
// is cut, on a character boundary, to at most kMaxLegacyNameLength bytes.
std::string ComposeAttachmentHeader(std::string_view name);

// The closing boundary followed by the end of the data.
std::string_view ClosingText();

} // namespace mail
