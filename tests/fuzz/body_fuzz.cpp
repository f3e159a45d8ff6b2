// The body's way to the wire: line breaks normalised, lines dot-stuffed or the whole text in
// base64, the whole header block and closing. Whatever the user typed, un-stuffing or decoding
// gives back the normalised text, no line break is a bare CR or LF, every byte is 7-bit, no body
// line passes for a boundary, and the data holds "\r\n.\r\n" exactly once: at its end.
//
// Input: the body as typed (GB18030 bytes or anything else).
#include "fuzz_check.h"
#include "mail/message/message.h"
#include "reference_base64.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

// Every CR is followed by LF and every LF follows a CR.
bool OnlyCrLfBreaks(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            return false;
    }
    return true;
}

// The text without its line breaks, and how many line breaks it has (CR LF, lone CR, lone LF).
std::string WithoutBreaks(std::string_view text, std::size_t& breaks) {
    std::string out;
    breaks = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            ++breaks;
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (text[i] == '\n') {
            ++breaks;
        } else {
            out += text[i];
        }
    }
    return out;
}

// What a receiving server does (RFC 5321 section 4.5.2): drops the first "." of every line that
// begins with one.
std::string Unstuff(std::string_view text) {
    std::string out;
    bool lineStart = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(lineStart && text[i] == '.'))
            out += text[i];
        lineStart = text[i] == '\n';
    }
    return out;
}

std::size_t Count(std::string_view text, std::string_view what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string_view::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view typed(reinterpret_cast<const char*>(data), size);

    const std::string normal = mail::NormalizeLineBreaks(typed);
    FUZZ_CHECK(OnlyCrLfBreaks(normal));
    FUZZ_CHECK(mail::NormalizeLineBreaks(normal) == normal);
    std::size_t typedBreaks = 0;
    std::size_t normalBreaks = 0;
    FUZZ_CHECK(WithoutBreaks(typed, typedBreaks) == WithoutBreaks(normal, normalBreaks));
    FUZZ_CHECK(typedBreaks == normalBreaks);
    FUZZ_CHECK(Count(normal, "\r\n") == normalBreaks);

    const std::string stuffed = mail::DotStuff(normal);
    FUZZ_CHECK(OnlyCrLfBreaks(stuffed));
    FUZZ_CHECK(Unstuff(stuffed) == normal);
    // The body follows a line break and is followed by one: no line of it may be a lone ".".
    FUZZ_CHECK(Count("\r\n" + stuffed + "\r\n", "\r\n.\r\n") == 0);

    // The whole data as it goes out after 354: 7-bit clean, the end of the data there once, at
    // the end, and no line of the body that a reader could take for a boundary.
    mail::MessageFields fields;
    fields.user = "demo";
    fields.recipient = "demo@163.com";
    fields.subject = "fuzz";
    fields.body = typed;
    fields.date = "Mon, 07 Dec 2026 12:00:00 +0800";
    fields.messageId = "<0123456789abcdef0123456789abcdef.1796616000@163.com>";
    const std::string block = mail::ComposeHeaderBlock(fields);
    const std::string whole = block + std::string(mail::ClosingText());
    FUZZ_CHECK(OnlyCrLfBreaks(whole));
    for (const char c : whole)
        FUZZ_CHECK(c > 0 && static_cast<unsigned char>(c) < 0x80);
    FUZZ_CHECK(Count(whole, "\r\n.\r\n") == 1);
    FUZZ_CHECK(whole.ends_with("\r\n.\r\n"));
    // The text part is the first and only one (none for an empty body), and no line starts with
    // "From " where a mailbox file would rewrite it.
    FUZZ_CHECK(Count(whole, "\r\n--marrowfen-quibblestar") == (typed.empty() ? 1 : 2));
    FUZZ_CHECK(Count(whole, "\r\nFrom ") == 0);
    if (!typed.empty()) {
        // The part's own header comes first; the body may hold the same words.
        const std::string part =
            "charset=" + std::string(mail::BodyCharset(normal)) + "\r\nContent-transfer-Encoding: ";
        const std::size_t at = block.find(part) + part.size();
        if (block.compare(at, 8, "7bit\r\n\r\n") == 0)
            FUZZ_CHECK(block.substr(at + 8) == stuffed);
        else
            FUZZ_CHECK(block.compare(at, 10, "base64\r\n\r\n") == 0 &&
                       vtest::ReferenceBase64Decode(block.substr(at + 10)) == normal);
    }
    return 0;
}
