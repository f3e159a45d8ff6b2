#pragma once
// The bytes a form would hand the mail core for a UTF-8 literal of a test: code page 936 for the
// account fields, GB18030 for the subject and body. The literal must be representable.
#include "mail/words/gbk.h"

#include <stdexcept>
#include <string>
#include <string_view>

namespace vtest {

inline std::string Gbk(std::string_view utf8Literal) {
    const auto bytes = mail::Utf8ToGbk(utf8Literal);
    if (!bytes)
        throw std::logic_error("a test's literal is not representable in code page 936");
    return *bytes;
}

inline std::string Gb18030(std::string_view utf8Literal) {
    const auto bytes = mail::Utf8ToGb18030(utf8Literal);
    if (!bytes)
        throw std::logic_error("a test's literal is not representable in GB18030");
    return *bytes;
}

} // namespace vtest
