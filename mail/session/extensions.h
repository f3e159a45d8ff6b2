#pragma once
// What a server's reply to EHLO says it can do (RFC 5321 section 4.1.1.1): the first line names
// the server, every further line one extension keyword with its parameters.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace mail {

struct ServerExtensions {
    bool authListed = false;                 // an AUTH line is there, with or without mechanisms
    std::vector<std::string> authMechanisms; // upper case, from every AUTH line
    std::uint64_t sizeLimit = 0;             // SIZE's number (RFC 1870); 0: no limit given
    bool startTls = false;                   // STARTTLS (RFC 3207)

    bool Offers(std::string_view mechanism) const;
};

// Reads a whole 250 reply to EHLO. Mechanisms are taken from "AUTH LOGIN PLAIN" and from the
// older "AUTH=LOGIN PLAIN" alike; keywords are compared without regard to case. A SIZE number
// that is not all digits, or too large for 64 bits, counts as no limit.
ServerExtensions ParseEhloReply(std::string_view reply);

} // namespace mail
