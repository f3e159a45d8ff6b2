#include "mail/message/message_stamp.h"

#include "mail/constants.h"

#include <locale.h>

#include <random>

namespace mail {

std::string FormatMessageDate(std::time_t t) {
    // The C locale's names, whatever locale the toolkit has set for the process.
    static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    char text[64];
    const std::size_t n =
        strftime_l(text, sizeof text, "%a, %d %b %Y %H:%M:%S %z", &local, cLocale);
    return std::string(text, n);
}

std::string FormatMessageId(std::string_view hex, std::time_t t) {
    std::string id = "<";
    id.append(hex).append(".").append(std::to_string(static_cast<long long>(t)));
    id.append("@").append(MAIL_DOMAIN).append(">");
    return id;
}

std::string RandomHex128() {
    // libstdc++ draws it from the kernel (getrandom or /dev/urandom).
    std::random_device random;
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    while (hex.size() < 32) {
        auto bits = random();
        for (int i = 0; i < 8; ++i, bits >>= 4)
            hex += kHex[bits & 15];
    }
    return hex;
}

MessageStamp StampNow() {
    const std::time_t now = std::time(nullptr);
    return {FormatMessageDate(now), FormatMessageId(RandomHex128(), now)};
}

} // namespace mail
