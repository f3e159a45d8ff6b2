#include "mail/message/message.h"

#include "mail/constants.h"
#include "mail/message/base64.h"
#include "mail/message/header_encoding.h"
#include "mail/words/gbk.h"

#include <algorithm>

namespace mail {

std::string NormalizeLineBreaks(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string DotStuff(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 16);
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    return out;
}

bool HasOverlongLine(std::string_view text) {
    std::size_t start = 0;
    while (start <= text.size()) {
        auto end = text.find("\r\n", start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end - start > kMaxLineLength)
            return true;
        start = end + 2;
    }
    return false;
}

namespace {

const std::string kBoundaryLine = std::string("--") + MIME_BOUNDARY;

// Body text that may go out as it is: 7-bit (RFC 2045 section 2.7: no NUL, no 8-bit byte), lines
// a server takes, and no line that a reader could take for a boundary.
bool GoesOutAs7bit(std::string_view body) {
    if (body.find_first_of(std::string_view("\0", 1)) != std::string_view::npos ||
        std::any_of(body.begin(), body.end(), [](char c) { return c & 0x80; }) ||
        HasOverlongLine(body))
        return false;
    for (std::size_t start = 0; start < body.size();) {
        // An mbox file stores a line starting "From " as ">From ": the body would change.
        if (body.substr(start, kBoundaryLine.size()) == kBoundaryLine ||
            body.substr(start, 5) == "From ")
            return false;
        const auto end = body.find("\r\n", start);
        if (end == std::string_view::npos)
            break;
        start = end + 2;
    }
    return true;
}

std::size_t LineCount(std::string_view field) {
    std::size_t lines = 1;
    for (auto at = field.find("\r\n"); at != std::string_view::npos;
         at = field.find("\r\n", at + 2))
        ++lines;
    return lines;
}

} // namespace

std::string ComposeSubjectField(std::string_view subject) {
    if (IsPlainHeaderText(subject))
        return "Subject:" + std::string(subject);
    const std::string lead = "Subject: ";
    const std::size_t first = kMaxEncodedLineLength - lead.size();
    const std::size_t later = kMaxEncodedLineLength - 1;
    const auto utf8 = Gb18030ToUtf8(subject);
    return lead + (utf8 ? EncodedWords(*utf8, "UTF-8", Utf8CharLength, first, later)
                        : EncodedWords(subject, "GB18030", Gb18030CharLength, first, later));
}

bool SubjectFitsInAHeader(std::string_view subject) {
    const std::string field = ComposeSubjectField(subject);
    return IsPlainHeaderText(subject) ? field.size() <= kMaxLineLength
                                      : LineCount(field) <= kMaxSubjectLines;
}

namespace {

// RFC 5322 atext and the spaces between atoms: a display name of these is a phrase as it is.
bool IsPhraseOfAtoms(std::string_view name) {
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               std::string_view(" !#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
    });
}

} // namespace

std::string ComposeToField(std::string_view address, std::string_view displayName) {
    const std::string mailbox = "<" + std::string(address) + ">";
    const std::string lead = "To: ";
    if (displayName.empty())
        return lead + mailbox;
    if (IsPlainHeaderText(displayName)) {
        const std::string phrase =
            IsPhraseOfAtoms(displayName) ? std::string(displayName) : QuotedString(displayName);
        if (lead.size() + phrase.size() + 1 + mailbox.size() <= kMaxEncodedLineLength)
            return lead + phrase + " " + mailbox;
        if (lead.size() + phrase.size() <= kMaxLineLength)
            return lead + phrase + "\r\n " + mailbox;
        // Too long for one line: encoded words fold where a phrase cannot.
    }
    // A name that is not code page 936 keeps its bytes, labelled as what the form gives.
    const auto utf8 = GbkToUtf8(displayName);
    std::string field =
        lead + (utf8
                    ? EncodedWords(*utf8, "UTF-8", Utf8CharLength,
                                   kMaxEncodedLineLength - lead.size(), kMaxEncodedLineLength - 1)
                    : EncodedWords(displayName, "GBK", Gb18030CharLength,
                                   kMaxEncodedLineLength - lead.size(), kMaxEncodedLineLength - 1));
    const auto lastLine = field.rfind("\r\n");
    const std::size_t lastLength =
        lastLine == std::string::npos ? field.size() : field.size() - lastLine - 2;
    field += lastLength + 1 + mailbox.size() <= kMaxEncodedLineLength ? " " : "\r\n ";
    return field + mailbox;
}

std::string_view BodyCharset(std::string_view body) {
    const auto utf8 = Gb18030ToUtf8(body);
    const auto gbk = utf8 ? Utf8ToGbk(*utf8) : std::nullopt;
    return gbk && *gbk == body ? "GBK" : "GB18030";
}

std::string ComposeHeaderBlock(const MessageFields& f) {
    std::string m;
    m.append("From: <").append(f.user).append("@").append(MAIL_DOMAIN).append(">\r\n");
    m.append(ComposeToField(f.recipient, f.recipientName)).append("\r\n");
    m.append(ComposeSubjectField(f.subject)).append("\r\n");
    m.append("Date: ").append(f.date).append("\r\n");
    m.append("Message-ID: ").append(f.messageId).append("\r\n");
    m += "X-mailer: tolvaren smtp dll\r\n";
    m += "Mime-Version: 1.0\r\n";
    m += "Content-Type: multipart/mixed;";
    m.append("Boundary=\"").append(MIME_BOUNDARY).append("\"\r\n");
    m += "\r\n";
    // Readers take the first part for the mail's text (Python's get_body()) or list an empty one
    // as an empty attachment: the text part comes first, and there is none without a body.
    if (!f.body.empty()) {
        const std::string body = NormalizeLineBreaks(f.body);
        m += kBoundaryLine + "\r\n";
        m.append("Content-Type: text/plain;charset=").append(BodyCharset(body)).append("\r\n");
        if (GoesOutAs7bit(body)) {
            m += "Content-transfer-Encoding: 7bit\r\n";
            m += "\r\n";
            m += DotStuff(body);
        } else {
            // Base64 lines are 76 characters of a 7-bit alphabet and never start with "." or "--".
            m += "Content-transfer-Encoding: base64\r\n";
            m += "\r\n";
            m += Base64Encode(body);
        }
    }
    return m;
}

namespace {

const std::string kTypeLead = "Content-Type:application/zip;name=";

// The type's name parameter, from its value's opening quote to its closing one.
std::string LegacyNameValue(std::string_view name) {
    if (IsPlainHeaderText(name))
        return QuotedString(name);
    // Words inside the quotes, one more character kept on every line for the closing quote. A
    // name that is not even UTF-8 keeps its bytes, labelled as what it claims to be.
    const std::size_t first = kMaxEncodedLineLength - kTypeLead.size() - 2;
    const std::size_t later = kMaxEncodedLineLength - 2;
    return "\"" + EncodedWords(name, "UTF-8", Utf8CharLength, first, later) + "\"";
}

} // namespace

std::string ComposeAttachmentHeader(std::string_view name) {
    std::string m = "\r\n" + kBoundaryLine + "\r\n";
    const std::string disposition = "Content-Disposition: attachment";
    // The longest whole-character beginning of the name whose value fits.
    std::string_view legacy = name;
    std::string value = LegacyNameValue(legacy);
    while (value.size() > kMaxLegacyNameLength && !legacy.empty()) {
        std::size_t lastChar = 0;
        for (std::size_t i = 0; i < legacy.size(); i += Utf8CharLength(legacy.substr(i)))
            lastChar = i;
        legacy = legacy.substr(0, lastChar);
        value = LegacyNameValue(legacy);
    }
    m += kTypeLead + value;
    m += "\r\nContent-Transfer-Encoding:base64\r\n";
    m += disposition;
    if (IsPlainHeaderText(name))
        m += "; filename=" + QuotedString(name);
    else
        m += ExtendedParameter("filename", name, disposition.size(), kMaxEncodedLineLength);
    m += "\r\n\r\n";
    return m;
}

std::string_view ClosingText() {
    static const std::string text = "\r\n" + kBoundaryLine + "--\r\n" + "\r\n.\r\n";
    return text;
}

} // namespace mail
