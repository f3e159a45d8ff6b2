#include "mail/message/message_stamp.h"

#include "mail/constants.h"

#include <locale.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace mail {
namespace {

void AppendHex(std::string& hex, std::uint64_t value, int digits) {
    static constexpr char kHex[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        hex += kHex[(value >> shift) & 15];
}

} // namespace

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

std::string FallbackHex128(std::uint64_t nanoseconds, std::uint32_t processId,
                           std::uint32_t serial) {
    std::string hex;
    AppendHex(hex, nanoseconds, 16);
    AppendHex(hex, processId, 8);
    AppendHex(hex, serial, 8);
    return hex;
}

std::string RandomHex128() {
    // Straight from the kernel: std::random_device may use RDRAND here, and throws when it fails.
    // GRND_NONBLOCK: a send must not wait for the entropy pool early in a boot.
    unsigned char bytes[16];
    ssize_t got = 0;
    do
        got = getrandom(bytes, sizeof bytes, GRND_NONBLOCK);
    while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof bytes)) {
        std::string hex;
        for (const unsigned char byte : bytes)
            AppendHex(hex, byte, 2);
        return hex;
    }
    static std::atomic<std::uint32_t> serial{0};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return FallbackHex128(static_cast<std::uint64_t>(now.tv_sec) * 1000000000u +
                              static_cast<std::uint64_t>(now.tv_nsec),
                          static_cast<std::uint32_t>(getpid()), serial++);
}

MessageStamp StampNow() {
    const std::time_t now = std::time(nullptr);
    return {FormatMessageDate(now), FormatMessageId(RandomHex128(), now)};
}

} // namespace mail
