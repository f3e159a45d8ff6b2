#pragma once
// The form as the send command takes it: six values, copied in by the front end at its boundary.
// The account name, password and recipient are code-page-936 bytes, the subject and body GB18030,
// the attachment path the file system's own bytes (empty: no attachment).
#include "mail/message/address.h"
#include "mail/words/catalogue.h"

#include <optional>
#include <string>

namespace mail {

struct Form {
    std::string m_strUser;
    std::string m_strPassword;
    std::string m_strRecipient;
    std::string m_strSubject;
    std::string m_strBody;
    std::string m_strAttachPath;
};

// What the conversation takes from a form that passed the check.
struct Addresses {
    std::string user;  // the account's local part: the login name and the sender's local part
    Mailbox recipient; // the envelope's address and the "To:" field's
};

// The form check, first failure wins: the message to show, or nothing if the form can be sent;
// then `addresses` holds what the address fields say.
std::optional<Msg> CheckForm(const Form& form, Addresses& addresses);

} // namespace mail
