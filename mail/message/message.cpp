#include "mail/message/message.h"

#include "mail/message/base64.h"
#include "mail/constants.h"
#include "mail/words/gbk.h"
#include "mail/message/header_encoding.h"

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
        if (body.substr(start, kBoundaryLine.size()) == kBoundaryLine)
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
    return lead + EncodedWords(subject, "GB18030", Gb18030CharLength,
                               kMaxEncodedLineLength - lead.size(), kMaxEncodedLineLength - 1);
}

bool SubjectFitsInAHeader(std::string_view subject) {
    const std::string field = ComposeSubjectField(subject);
    return IsPlainHeaderText(subject) ? field.size() <= kMaxLineLength
                                      : LineCount(field) <= kMaxSubjectLines;
}

std::string ComposeHeaderBlock(const MessageFields& f) {
    std::string m;
    m.append("From: <").append(f.user).append("@").append(MAIL_DOMAIN).append(">\r\n");
    m.append("To: <").append(f.recipient).append(">\r\n");
    m.append(ComposeSubjectField(f.subject)).append("\r\n");
    m.append("Date: ").append(f.date).append("\r\n");
    m.append("Message-ID: ").append(f.messageId).append("\r\n");
    m += "X-mailer: tolvaren smtp dll\r\n";
    m += "Mime-Version: 1.0\r\n";
    m += "Content-Type: multipart/mixed;";
    m.append("Boundary=\"").append(MIME_BOUNDARY).append("\"\r\n");
    m += "\r\n" + kBoundaryLine + "\r\n\r\n";
    m += kBoundaryLine + "\r\n";
    if (!f.body.empty()) {
        const std::string body = NormalizeLineBreaks(f.body);
        m += "Content-Type: text/plain;charset=GB18030\r\n";
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

std::string ComposeAttachmentHeader(std::string_view name) {
    std::string m = "\r\n" + kBoundaryLine + "\r\n";
    const std::string type = "Content-Type:application/zip;name=";
    const std::string disposition = "Content-Disposition: attachment";
    m += type;
    if (IsPlainHeaderText(name)) {
        m += QuotedString(name);
        m += "\r\nContent-Transfer-Encoding:base64\r\n";
        m += disposition + "; filename=" + QuotedString(name);
    } else {
        // Words inside the quotes, one more character kept on every line for the closing quote.
        // A name that is not even UTF-8 keeps its bytes, labelled as what it claims to be.
        const auto gb18030 = Utf8ToGb18030(name);
        const std::size_t first = kMaxEncodedLineLength - type.size() - 2;
        const std::size_t later = kMaxEncodedLineLength - 2;
        m += "\"";
        m += gb18030 ? EncodedWords(*gb18030, "GB18030", Gb18030CharLength, first, later)
                     : EncodedWords(name, "UTF-8", Utf8CharLength, first, later);
        m += "\"";
        m += "\r\nContent-Transfer-Encoding:base64\r\n";
        m += disposition +
             ExtendedParameter("filename", name, disposition.size(), kMaxEncodedLineLength);
    }
    m += "\r\n\r\n";
    return m;
}

std::string_view ClosingText() {
    static const std::string text = "\r\n" + kBoundaryLine + "--\r\n" + "\r\n.\r\n";
    return text;
}

} // namespace mail
