#pragma once
// Message ids as the words the user reads, so that a failed comparison says what was shown.
#include "mail/words/catalogue.h"

#include <string>
#include <vector>

namespace vtest {

inline std::vector<std::string> Words(const std::vector<mail::Msg>& ids) {
    std::vector<std::string> words;
    for (const mail::Msg id : ids)
        words.emplace_back(id == mail::Msg::ReplyCode ? "(the reply code)"
                                                      : std::string(mail::Words(id)));
    return words;
}

} // namespace vtest
