#include "mail/session/extensions.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace mail {
namespace {

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

// The words of text, split at spaces.
std::vector<std::string_view> Tokens(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        if (space != 0)
            words.push_back(text.substr(0, space));
        if (space == std::string_view::npos)
            break;
        text.remove_prefix(space + 1);
    }
    return words;
}

} // namespace

bool ServerExtensions::Offers(std::string_view mechanism) const {
    return std::find(authMechanisms.begin(), authMechanisms.end(), mechanism) !=
           authMechanisms.end();
}

ServerExtensions ParseEhloReply(std::string_view reply) {
    ServerExtensions found;
    bool firstLine = true;
    while (!reply.empty()) {
        std::size_t end = reply.find('\n');
        std::string_view line = reply.substr(0, end);
        reply.remove_prefix(end == std::string_view::npos ? reply.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (std::exchange(firstLine, false) || line.size() < 4)
            continue;          // the first line is the server's name, not an extension
        line.remove_prefix(4); // the code and its separator
        const std::size_t split = line.find_first_of(" =");
        const std::string keyword = Upper(line.substr(0, split));
        const std::string_view params =
            split == std::string_view::npos ? std::string_view() : line.substr(split + 1);
        if (keyword == "AUTH") {
            found.authListed = true;
            for (const std::string_view word : Tokens(params))
                found.authMechanisms.push_back(Upper(word));
        } else if (keyword == "STARTTLS") {
            found.startTls = true;
        } else if (keyword == "SIZE") {
            // Only a number that is all digits: "12abc" is no limit rather than one of 12 bytes.
            std::uint64_t limit = 0;
            const auto words = Tokens(params);
            if (!words.empty()) {
                const char* end = words[0].data() + words[0].size();
                const auto [stop, ec] = std::from_chars(words[0].data(), end, limit);
                found.sizeLimit = ec == std::errc() && stop == end ? limit : 0;
            }
        }
    }
    return found;
}

} // namespace mail
