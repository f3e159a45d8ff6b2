#include "mail/message.h"

#include "mail/base64.h"
#include "mail/constants.h"

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

std::string ComposeHeaderBlock(const MessageFields& f) {
    const std::string boundary = MIME_BOUNDARY;
    std::string m;
    m += "From : <";
    m.append(f.user).append("@").append(MAIL_DOMAIN).append(">\r\n");
    m.append("To : <").append(f.recipient).append(">\r\n");
    m.append("Subject:").append(f.subject).append("\r\n");
    m.append("Date:").append(f.date).append("+0800\r\n");
    m += "X-mailer: tolvaren smtp dll\r\n";
    m += "Mime-Version: 1.0\r\n";
    m += "Content-Type: multipart/mixed;";
    m += "Boundary=\"" + boundary + "\";\r\n";
    m += "\r\n--" + boundary + "\r\n\r\n";
    m += "--" + boundary + "\r\n";
    if (!f.body.empty()) {
        const std::string body = NormalizeLineBreaks(f.body);
        m += "Content-Type: text/plain;charset=gb2312\r\n";
        if (HasOverlongLine(body)) {
            // Servers refuse lines over 998 bytes; base64 lines are 76 and never start with ".".
            m += "Content-transfer-Encoding: base64\r\n";
            m += "\r\n";
            m += Base64Encode(body);
        } else {
            m += "Content-transfer-Encoding: 7bit\r\n";
            m += "\r\n";
            m += DotStuff(body);
        }
    }
    return m;
}

std::string ComposeAttachmentHeader(std::string_view name) {
    std::string m = "\r\n--";
    m += MIME_BOUNDARY;
    m += "\r\n";
    m += "Content-Type:application/zip;";
    m.append("name=").append(name);
    m += "\r\nContent-Transfer-Encoding:base64\r\n";
    m += "Content-Disposition: attachment\r\n";
    m += "\r\n";
    return m;
}

std::string_view ClosingText() {
    static const std::string text = std::string("\r\n--") + MIME_BOUNDARY + "--\r\n" + "\r\n.\r\n";
    return text;
}

std::size_t SubjectLineLength(std::string_view subject) {
    return std::string_view("Subject:").size() + subject.size();
}

} // namespace mail
