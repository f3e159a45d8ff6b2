#pragma once
// The bytes a form would hand the mail core for a test's UTF-8 literal: code page 936 for the
// account fields, GB18030 for the subject and body. An unrepresentable literal throws.
#include "mail/words/gbk.h"

#include <string>
#include <string_view>

namespace vtest {

inline std::string Gbk(std::string_view utf8) {
    return mail::Utf8ToGbk(utf8).value();
}

inline std::string Gb18030(std::string_view utf8) {
    return mail::Utf8ToGb18030(utf8).value();
}

} // namespace vtest
