#include "mail/words/gbk.h"

#include <cerrno>
#include <iconv.h>

namespace mail {
namespace {

// CP936 rather than GBK: it is the code page Windows users type in (it adds the euro sign at 0x80).
enum class Charset { Cp936, Gb18030 };

class Converter {
public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Valid())
            iconv_close(m_cd);
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    // A missing conversion module makes every conversion fail, which callers report as
    // unsendable text rather than sending something else.
    std::optional<std::string> Run(std::string_view in) {
        if (!Valid())
            return std::nullopt;
        std::string out;
        out.resize(in.size() * 2 + 16);
        char* src = const_cast<char*>(in.data());
        size_t srcLeft = in.size();
        size_t done = 0;
        iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
        while (true) {
            char* dst = out.data() + done;
            size_t dstLeft = out.size() - done;
            size_t rc = iconv(m_cd, srcLeft ? &src : nullptr, &srcLeft, &dst, &dstLeft);
            done = out.size() - dstLeft;
            if (rc != static_cast<size_t>(-1)) {
                if (srcLeft == 0)
                    break;
                continue;
            }
            if (errno == E2BIG) {
                out.resize(out.size() * 2);
                continue;
            }
            return std::nullopt; // EILSEQ or EINVAL: not representable, or cut short
        }
        out.resize(done);
        return out;
    }

private:
    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t m_cd;
};

// Converts and converts back: iconv may report success for a text it has changed (glibc's CP936
// silently drops the Unicode tag characters), so only an exact round trip counts.
std::optional<std::string> Exactly(Converter& there, Converter& back, std::string_view in) {
    auto out = there.Run(in);
    if (!out)
        return std::nullopt;
    const auto again = back.Run(*out);
    if (!again || *again != in)
        return std::nullopt;
    return out;
}

// iconv descriptors keep state, so each thread gets its own.
Converter& FromUtf8To(Charset charset) {
    thread_local Converter cp936("CP936", "UTF-8");
    thread_local Converter gb18030("GB18030", "UTF-8");
    return charset == Charset::Cp936 ? cp936 : gb18030;
}

Converter& ToUtf8From(Charset charset) {
    thread_local Converter cp936("UTF-8", "CP936");
    thread_local Converter gb18030("UTF-8", "GB18030");
    return charset == Charset::Cp936 ? cp936 : gb18030;
}

std::optional<std::string> Encode(Charset charset, std::string_view utf8) {
    return Exactly(FromUtf8To(charset), ToUtf8From(charset), utf8);
}

std::optional<std::string> Decode(Charset charset, std::string_view bytes) {
    return Exactly(ToUtf8From(charset), FromUtf8To(charset), bytes);
}

// One step of a strict UTF-8 decoder (the well-formed sequences of Unicode's table 3-7): no
// overlong forms, no surrogates, nothing above U+10FFFF. glibc's own "UTF-8" lets those through.
constexpr char32_t kIllFormed = 0xFFFFFFFF;

struct Decoded {
    char32_t c;         // kIllFormed for an ill-formed sequence
    std::size_t length; // at least 1; for an ill-formed sequence, its maximal subpart
};

Decoded DecodeUtf8(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(0);
    if (lead < 0x80)
        return {lead, 1};
    std::size_t length = 0;
    char32_t c = 0;
    unsigned low = 0x80, high = 0xBF; // the second byte's range; later bytes are 80 to BF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        c = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : low;   // overlong below
        high = lead == 0xED ? 0x9F : high; // surrogates above
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        c = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : low;   // overlong below
        high = lead == 0xF4 ? 0x8F : high; // beyond U+10FFFF above
    } else {
        return {kIllFormed, 1}; // a continuation byte, C0, C1 or F5 to FF
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (i == text.size() || byte(i) < low || byte(i) > high)
            return {kIllFormed, i};
        c = c << 6 | (byte(i) & 0x3F);
        low = 0x80;
        high = 0xBF;
    }
    return {c, length};
}

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = DecodeUtf8(text.substr(i));
        if (d.c == kIllFormed)
            return false;
        i += d.length;
    }
    return true;
}

// Controls but LF, TAB and CR (which ShowableText handles), and Unicode's Bidi_Control characters.
bool Removed(char32_t c) {
    if (c == '\n' || c == '\t' || c == '\r')
        return false;
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    for (const char byte : bytes) {
        const auto c = static_cast<unsigned char>(byte);
        if (c < 0x80) {
            out += byte;
        } else {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
    return Encode(Charset::Cp936, utf8);
}

std::optional<std::string> GbkToUtf8(std::string_view gbk) {
    return Decode(Charset::Cp936, gbk);
}

std::optional<std::string> Utf8ToGb18030(std::string_view utf8) {
    return Encode(Charset::Gb18030, utf8);
}

std::optional<std::string> Gb18030ToUtf8(std::string_view gb18030) {
    return Decode(Charset::Gb18030, gb18030);
}

std::string ServerTextToUtf8(std::string_view bytes) {
    if (IsUtf8(bytes))
        return ShowableText(bytes);
    if (const auto text = GbkToUtf8(bytes))
        return ShowableText(*text);
    return ShowableText(Latin1ToUtf8(bytes));
}

std::string ShowableText(std::string_view text) {
    static constexpr std::string_view kReplacement = "\xEF\xBF\xBD"; // U+FFFD
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Decoded d = DecodeUtf8(text.substr(i));
        if (d.c == kIllFormed)
            out += kReplacement;
        else if (d.c == '\r')
            out += i + 1 < text.size() && text[i + 1] == '\n' ? '\r' : '\n';
        else if (!Removed(d.c))
            out += text.substr(i, d.length);
        i += d.length;
    }
    return out;
}

std::size_t Gb18030CharLength(std::string_view text) {
    const auto byte = [&](std::size_t i) {
        return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u;
    };
    const auto lead = byte(0);
    if (lead < 0x81 || lead > 0xFE)
        return 1;
    const auto second = byte(1);
    if (second >= 0x30 && second <= 0x39)
        return text.size() >= 4 ? 4 : 1; // four bytes: lead, digit, lead, digit
    return second >= 0x40 && second != 0x7F && second != 0xFF ? 2 : 1;
}

} // namespace mail
