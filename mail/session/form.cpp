#include "mail/session/form.h"

#include "mail/constants.h"
#include "mail/message/message.h"

#include <string_view>

namespace mail {
namespace {

bool HasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
}

// A C0 control character (NUL, CR and LF among them), DEL or a C1 control character (U+0080 to
// U+009F, in UTF-8 C2 80 to C2 9F) in a UTF-8 path. None belongs in a name a user picks, and a
// line break in a name would end the attachment's header.
bool HasControlCharacter(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if (c < 0x20 || c == 0x7F)
            return true;
        if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(utf8[i + 1]) <= 0x9F)
            return true;
    }
    return false;
}

} // namespace

// Only emptiness is tested for presence: a field of spaces is present. One-line fields must not
// carry line breaks or NULs, which would inject commands or headers.
std::optional<Msg> CheckForm(const Form& form, Addresses& addresses) {
    if (form.m_strUser.empty() || form.m_strPassword.empty())
        return Msg::NeedUserAndPassword;
    if (form.m_strRecipient.empty() || form.m_strSubject.empty())
        return Msg::NeedCompleteContent;
    if (form.m_strBody.empty() && form.m_strAttachPath.empty())
        return Msg::NeedBodyOrAttachment;
    if (HasLineBreakOrNul(form.m_strUser) || HasLineBreakOrNul(form.m_strPassword) ||
        HasLineBreakOrNul(form.m_strRecipient) || HasLineBreakOrNul(form.m_strSubject))
        return Msg::LineBreakInField;
    if (!SubjectFitsInAHeader(form.m_strSubject))
        return Msg::SubjectTooLong;
    if (HasControlCharacter(form.m_strAttachPath))
        return Msg::ControlCharacterInPath;
    auto user = AccountLocalPart(form.m_strUser, MAIL_DOMAIN);
    if (!user)
        return Msg::AccountNotLocalPart;
    auto recipient = ParseRecipient(form.m_strRecipient);
    if (!recipient)
        return Msg::RecipientNotOneAddress;
    addresses = {std::move(*user), std::move(*recipient)};
    return std::nullopt;
}

} // namespace mail
