#pragma once
// A message box as the mail session reports it: what happened, as ids into the catalogue, with the
// server's reply or the system's reason that led to it. The front ends turn it into words with the
// same two functions, so the form and the command-line drivers say the same thing.
#include "mail/words/catalogue.h"

#include <string>

namespace mail {

struct Notice {
    Msg id = Msg::SentOk;
    std::string argument;      // fills the words' "%1": the reply code, the size limit
    std::string reply;         // the server's reply that led to it, as received; may be empty
    Hint hint = Hint::None;    // what the user can do about that reply
    Cause cause = Cause::None; // why the connection failed, where it did
    std::string reason;        // the system's own words for the cause (errno text, OpenSSL's)
};

// The box's text, in UTF-8.
std::string NoticeText(const Notice& notice);

// The box's detail in UTF-8: the server's reply (decoded as UTF-8, else as code page 936, else
// byte for byte as Latin-1; without controls or bidirectional formatting characters, see
// ShowableText; CR LF as LF; trimmed), or the cause's words with the system's reason
// after them; then the hint after an empty line. Empty if there is none of these. Never a command
// that went out, so neither a password nor its base64 can reach a box.
std::string NoticeDetail(const Notice& notice);

// The two halves of NoticeDetail, for a front end that shows the hint apart from the reply: the
// reply or the cause with its reason, and the hint's words (empty for none).
std::string NoticeReply(const Notice& notice);
std::string NoticeHint(const Notice& notice);

} // namespace mail
