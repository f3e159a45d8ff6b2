#include "mail/gbk.h"

#include <cerrno>
#include <iconv.h>
#include <stdexcept>

namespace mail {
namespace {

// CP936 rather than GBK: it is the code page Windows users type in (it adds the euro sign at 0x80).
constexpr char kCodePage[] = "CP936";

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

} // namespace

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
    // iconv descriptors keep state, so each thread gets its own.
    thread_local Converter converter(kCodePage, "UTF-8");
    return converter.Run(utf8);
}

std::optional<std::string> GbkToUtf8(std::string_view gbk) {
    thread_local Converter converter("UTF-8", kCodePage);
    return converter.Run(gbk);
}

std::string Gbk(std::string_view utf8Literal) {
    auto converted = Utf8ToGbk(utf8Literal);
    if (!converted)
        throw std::logic_error("a built-in text is not representable in code page 936");
    return *converted;
}

} // namespace mail
