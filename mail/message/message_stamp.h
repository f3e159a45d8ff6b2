#pragma once
// When and under which id a message goes out: its Date and Message-ID fields.
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace mail {

struct MessageStamp {
    std::string date;      // RFC 5322 date-time, e.g. "Mon, 07 Dec 2026 13:12:01 +0800"
    std::string messageId; // RFC 5322 msg-id, angle brackets included
};

// The local time at t in RFC 5322 form: English day and month names whatever the locale, and the
// machine's real offset from UTC at that moment (so a summer time is counted).
std::string FormatMessageDate(std::time_t t);

// "<" hex "." the Unix time "@" MAIL_DOMAIN ">": unique as long as hex is random, and it tells a
// postmaster when and from where the message came.
std::string FormatMessageId(std::string_view hex, std::time_t t);

// 32 hex digits from the kernel's random generator (128 bits: no two messages share an id). Never
// throws: without the kernel's bytes, FallbackHex128 of the time, the process and a count.
std::string RandomHex128();

// 32 hex digits that differ for every message this machine sends, though they are not secret (a
// Message-ID need not be): the time in nanoseconds, the process id and the process's own count.
std::string FallbackHex128(std::uint64_t nanoseconds, std::uint32_t processId,
                           std::uint32_t serial);

// The stamp of a message sent now.
MessageStamp StampNow();

} // namespace mail
