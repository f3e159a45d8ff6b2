#pragma once
// The two address fields of the form as the mail needs them: the recipient as one mailbox (the
// envelope takes its address, "To:" its display name too), and the account as the local part of
// the sender's address. Pure functions of what was typed; the form refuses what they refuse.
#include <optional>
#include <string>
#include <string_view>

namespace mail {

struct Mailbox {
    std::string displayName; // code page 936 bytes, quotes and quoted pairs taken off; may be empty
    std::string address;     // local@domain, printable ASCII
};

// RFC 5321 section 4.5.3.1: the longest local part, domain and path a server must take.
inline constexpr std::size_t kMaxLocalPart = 64;
inline constexpr std::size_t kMaxDomain = 255;
inline constexpr std::size_t kMaxAddress = 254;

// The one mailbox of a typed recipient (code page 936 bytes): a bare address, or a display name
// (as it is, or between double quotes with quoted pairs) followed by the address in angle
// brackets, with spaces around either. The address is "local@domain" of printable ASCII without
// spaces, "<", ">", ",", ";" or quotes, within the lengths above. Anything else, a second address
// or a control character anywhere included, gives nothing: it could not go into the envelope and
// "To:" as the one address the user meant.
std::optional<Mailbox> ParseRecipient(std::string_view typed);

// The account's local part: a trailing "@" and mailDomain (in any letter case) is taken off, as
// users type their whole address. Nothing if what is left is empty, longer than kMaxLocalPart
// bytes, or holds another "@", a space, a control character, "<" or ">".
std::optional<std::string> AccountLocalPart(std::string_view typed, std::string_view mailDomain);

} // namespace mail
