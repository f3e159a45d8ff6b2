#include "mail/words/notice.h"

#include "mail/words/gbk.h"

namespace mail {
namespace {

// The reply's words, CR LF as LF, without the space around them.
std::string ServerWords(std::string_view reply) {
    const std::string text = ServerTextToUtf8(reply);
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

std::string NoticeReply(const Notice& notice) {
    std::string detail;
    if (!notice.reply.empty()) {
        detail = ServerWords(notice.reply);
    } else if (notice.cause != Cause::None) {
        detail = Words(notice.cause);
        if (!notice.reason.empty())
            detail.append("：").append(notice.reason);
    }
    return detail;
}

std::string NoticeHint(const Notice& notice) {
    return std::string(Words(notice.hint));
}

std::string NoticeDetail(const Notice& notice) {
    std::string detail = NoticeReply(notice);
    const std::string hint = NoticeHint(notice);
    if (!hint.empty())
        detail.append(detail.empty() ? "" : "\n\n").append(hint);
    return detail;
}

} // namespace mail
