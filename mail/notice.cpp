#include "mail/notice.h"

#include "mail/gbk.h"

namespace mail {
namespace {

std::string Latin1ToUtf8(std::string_view bytes) {
    std::string out;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool IsUtf8(std::string_view bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = c < 0x80                ? 1
                              : c >= 0xC2 && c < 0xE0 ? 2
                              : c >= 0xE0 && c < 0xF0 ? 3
                              : c >= 0xF0 && c < 0xF5 ? 4
                                                      : 0;
        if (n == 0 || i + n > bytes.size())
            return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(bytes[i + k]) & 0xC0) != 0x80)
                return false;
        i += n;
    }
    return true;
}

// Servers answer in UTF-8 or in the provider's code page 936; anything else still shows byte for
// byte.
std::string ServerWords(std::string_view reply) {
    std::string text;
    if (IsUtf8(reply))
        text = reply;
    else if (auto gbk = GbkToUtf8(reply))
        text = std::move(*gbk);
    else
        text = Latin1ToUtf8(reply);
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out += text[i];
    const auto first = out.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return out.substr(first, out.find_last_not_of(" \t\r\n") - first + 1);
}

} // namespace

std::string NoticeText(const Notice& notice) {
    return WordsWith(notice.id, notice.argument);
}

std::string NoticeDetail(const Notice& notice) {
    std::string detail;
    if (!notice.reply.empty()) {
        detail = ServerWords(notice.reply);
    } else if (notice.cause != Cause::None) {
        detail = Words(notice.cause);
        if (!notice.reason.empty())
            detail.append("：").append(notice.reason);
    }
    if (notice.hint != Hint::None)
        detail.append(detail.empty() ? "" : "\n\n").append(Words(notice.hint));
    return detail;
}

} // namespace mail
