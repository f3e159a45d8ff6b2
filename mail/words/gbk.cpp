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
    thread_local Converter utf8("UTF-8", "UTF-8"); // checks that the bytes are UTF-8
    thread_local Converter latin1("UTF-8", "ISO-8859-1");
    if (auto text = utf8.Run(bytes))
        return *text;
    if (auto text = GbkToUtf8(bytes))
        return *text;
    return latin1.Run(bytes).value_or(std::string(bytes));
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
