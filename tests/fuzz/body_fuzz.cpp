// The body's way to the wire: line breaks normalised, lines dot-stuffed, the whole header block and
// closing. Whatever the user typed, un-stuffing gives back the normalised text, no line break is a
// bare CR or LF, and the data holds "\r\n.\r\n" exactly once: at its end.
//
// Input: the body as typed (code-page-936 bytes or anything else).
#include "fuzz_check.h"
#include "mail/base64.h"
#include "mail/message.h"

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

    // The whole data as it goes out after 354: the end of the data is there once, at the end.
    mail::MessageFields fields;
    fields.user = "demo";
    fields.recipient = "demo@163.com";
    fields.subject = "fuzz";
    fields.body = typed;
    fields.date = "Mon 07 Dec 2026 12:00:00";
    const std::string block = mail::ComposeHeaderBlock(fields);
    const std::string whole = block + std::string(mail::ClosingText());
    FUZZ_CHECK(OnlyCrLfBreaks(whole));
    FUZZ_CHECK(Count(whole, "\r\n.\r\n") == 1);
    FUZZ_CHECK(whole.ends_with("\r\n.\r\n"));
    if (!typed.empty()) {
        const std::string part =
            mail::HasOverlongLine(normal) ? mail::Base64Encode(normal) : stuffed;
        FUZZ_CHECK(block.ends_with("\r\n\r\n" + part));
    }
    return 0;
}
