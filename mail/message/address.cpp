#include "mail/message/address.h"

#include "mail/words/gbk.h"

#include <algorithm>

namespace mail {
namespace {

bool IsControl(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7F;
}

std::string_view TrimSpaces(std::string_view text) {
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    return text;
}

bool IsAddress(std::string_view address) {
    const bool allowed = std::all_of(address.begin(), address.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u > 0x20 && u < 0x7F &&
               std::string_view("<>,;\"'`").find(c) == std::string_view::npos;
    });
    const auto at = address.find('@');
    if (!allowed || at == std::string_view::npos ||
        address.find('@', at + 1) != std::string_view::npos)
        return false;
    const std::size_t local = at, domain = address.size() - at - 1;
    return local >= 1 && local <= kMaxLocalPart && domain >= 1 && domain <= kMaxDomain &&
           address.size() <= kMaxAddress;
}

// A display name between double quotes: its text with the quoted pairs resolved, or nothing if
// the quotes do not enclose the whole of it. Walks whole code-page-936 characters, whose second
// byte may be a backslash or a quote's neighbour.
std::optional<std::string> Unquoted(std::string_view quoted) {
    if (quoted.size() < 2 || quoted.front() != '"')
        return std::nullopt;
    std::string out;
    for (std::size_t i = 1; i < quoted.size();) {
        const std::size_t n = Gb18030CharLength(quoted.substr(i));
        if (n == 1 && quoted[i] == '"')
            return i + 1 == quoted.size() ? std::optional(out) : std::nullopt;
        if (n == 1 && quoted[i] == '\\') {
            if (i + 1 >= quoted.size())
                return std::nullopt;
            ++i;
            const std::size_t escaped = Gb18030CharLength(quoted.substr(i));
            out.append(quoted.substr(i, escaped));
            i += escaped;
            continue;
        }
        out.append(quoted.substr(i, n));
        i += n;
    }
    return std::nullopt; // no closing quote
}

// An unquoted display name may not hold what would make it a second address or a broken one.
bool IsPlainDisplayName(std::string_view name) {
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = Gb18030CharLength(name.substr(i));
        if (n == 1 && std::string_view("\"<>,;@\\").find(name[i]) != std::string_view::npos)
            return false;
        i += n;
    }
    return true;
}

} // namespace

std::optional<Mailbox> ParseRecipient(std::string_view typed) {
    if (std::any_of(typed.begin(), typed.end(), IsControl))
        return std::nullopt;
    typed = TrimSpaces(typed);
    if (typed.empty() || typed.back() != '>') {
        if (!IsAddress(typed))
            return std::nullopt;
        return Mailbox{{}, std::string(typed)};
    }
    // The address's "<" is the last one: a display name cannot hold one unquoted, and a quoted
    // one that does is found by walking the name below.
    const auto open = typed.rfind('<');
    if (open == std::string_view::npos)
        return std::nullopt;
    const std::string_view address = typed.substr(open + 1, typed.size() - open - 2);
    const std::string_view name = TrimSpaces(typed.substr(0, open));
    if (!IsAddress(address))
        return std::nullopt;
    Mailbox mailbox{{}, std::string(address)};
    if (!name.empty() && name.front() == '"') {
        auto unquoted = Unquoted(name);
        if (!unquoted)
            return std::nullopt;
        mailbox.displayName = std::string(TrimSpaces(*unquoted));
    } else {
        if (!IsPlainDisplayName(name))
            return std::nullopt;
        mailbox.displayName = std::string(name);
    }
    return mailbox;
}

std::optional<std::string> AccountLocalPart(std::string_view typed, std::string_view mailDomain) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    // The "@"s of the text, found character by character: 0x40 is also the second byte of many
    // code-page-936 characters.
    std::size_t ats = 0, lastAt = 0;
    for (std::size_t i = 0; i < typed.size();) {
        const std::size_t n = Gb18030CharLength(typed.substr(i));
        if (n == 1 && typed[i] == '@') {
            ++ats;
            lastAt = i;
        }
        i += n;
    }
    const std::string_view domain = ats > 0 ? typed.substr(lastAt + 1) : std::string_view();
    if (ats > 0 && domain.size() == mailDomain.size() &&
        std::equal(domain.begin(), domain.end(), mailDomain.begin(),
                   [&](char a, char b) { return lower(a) == lower(b); })) {
        typed = typed.substr(0, lastAt);
        --ats;
    }
    const bool refused = std::any_of(typed.begin(), typed.end(), [](char c) {
        return IsControl(c) || c == ' ' || c == '<' || c == '>';
    });
    if (typed.empty() || ats > 0 || refused || typed.size() > kMaxLocalPart)
        return std::nullopt;
    return std::string(typed);
}

} // namespace mail
