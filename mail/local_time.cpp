#include "mail/mailer.h"

#include <ctime>
#include <locale.h>

namespace mail {

// The C locale's names and 24-hour clock, whatever locale the toolkit has set for the process.
std::string CMailer::LocalTimeText() {
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64];
    const std::size_t n = strftime_l(text, sizeof text, "%a %d %b %Y %X", &local, cLocale);
    return std::string(text, n);
}

} // namespace mail
