// The send command: form check, login and envelope. The conversation reads top to bottom like an
// SMTP transcript; each step returns at once if the session has ended.
#include "mail/session/mailer.h"

#include "mail/message/base64.h"
#include "mail/session/extensions.h"
#include "mail/message/message.h"

#include <cstring>
#include <new>
#include <string>

namespace mail {
namespace {

// A secret (a login line, or what it is made of) that is wiped from memory on every way out.
class Secret {
public:
    explicit Secret(std::string text) : m_text(std::move(text)) {}
    ~Secret() { explicit_bzero(m_text.data(), m_text.size()); }
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

// prefix, then the base64 of bytes on one line, whatever its length, then CR LF (RFC 4954 section
// 4): a line break inside would reach the server as a second line, answered on its own. Built in
// one buffer, so no copy of the secret is left behind.
Secret LoginLine(std::string_view prefix, const std::string& bytes) {
    std::string line(prefix.size() + Base64EncodedSize(bytes.size()) + 2, '\0');
    prefix.copy(line.data(), prefix.size());
    const std::size_t encoded = Base64EncodeTo(reinterpret_cast<const unsigned char*>(bytes.data()),
                                               bytes.size(), line.data() + prefix.size());
    line.resize(prefix.size() + encoded);
    std::erase_if(line, [](char c) { return c == '\r' || c == '\n'; });
    line += "\r\n";
    return Secret(std::move(line));
}

// RFC 4616: NUL, the user, NUL, the password.
Secret PlainCredentials(const std::string& user, const std::string& password) {
    std::string credentials;
    credentials.reserve(user.size() + password.size() + 2);
    credentials.append(1, '\0').append(user).append(1, '\0').append(password);
    return Secret(std::move(credentials));
}

// bytes in units of 1,048,576 with one decimal, rounded ("9.8"), the same in every locale.
std::string MebibytesText(std::uint64_t bytes) {
    constexpr std::uint64_t kMiB = 1 << 20;
    const std::uint64_t tenths = bytes / kMiB * 10 + ((bytes % kMiB) * 10 + kMiB / 2) / kMiB;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

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

void CMailer::OnOK() {
    if (IsSending()) {
        Show(Msg::AttachmentBusy);
        return;
    }
    ReapAttachmentWorker();
    m_abortRequested = false; // a new command: an earlier one's abort is over
    if (!TakeFormValues() || !CheckForm())
        return;

    std::unique_ptr<AttachmentFile> attachment;
    if (!m_strAttachPath.empty()) {
        attachment = OpenAttachment(m_strAttachPath);
        if (!attachment) {
            Show(Msg::AttachmentOpenFailed);
            return;
        }
        m_strAttachName = LastPathComponent(m_strAttachPath);
    }

    ServerExtensions server;
    if (!OpenSession() || !Hello(server))
        return;
    const MessageStamp stamp = StampMessage();
    m_headerBlock = ComposeHeaderBlock(
        {m_strUser, m_strRecipient, m_strSubject, m_strBody, stamp.date, stamp.messageId});
    if (attachment)
        m_attachHeader = ComposeAttachmentHeader(m_strAttachName);
    // Every byte that goes out after the 354, up to and including the final ".\r\n".
    const std::uint64_t size = m_headerBlock.size() + m_attachHeader.size() +
                               (attachment ? Base64EncodedSize(attachment->Length()) : 0) +
                               ClosingText().size();
    // RFC 1870: a server that states its limit is told the size, and a mail above it is not even
    // offered; the user learns it before any secret is sent.
    if (server.sizeLimit > 0 && size > server.sizeLimit) {
        EndSession();
        Show(Msg::MailTooLarge, MebibytesText(server.sizeLimit));
        return;
    }
    if (!LogIn(server))
        return;
    m_attachFile = std::move(attachment);
    SendEnvelope(server.sizeLimit > 0 ? size : 0);
}

// EHLO, and HELO where the server does not answer EHLO with 250 (RFC 5321 section 4.1.4); a
// server greeted with HELO lists no extensions. False once the session has ended.
bool CMailer::Hello(ServerExtensions& server) {
    const std::string domain = std::string(SMTP_HOST) + "\r\n";
    if (!SendAndRead("EHLO " + domain, Command::Hello))
        return false;
    if (m_strReply == "250") {
        server = ParseEhloReply(m_strReplyText);
        return true;
    }
    return SendAndRead("HELO " + domain, Command::Hello);
}

// Logs in the way the server offers, and sends each secret only when the server has asked for
// it. Without an AUTH line (and after HELO) AUTH LOGIN is tried: its 334 check keeps the secrets
// safe. False once the session has ended and the user has been told.
bool CMailer::LogIn(const ServerExtensions& server) {
    if (!server.authListed || server.Offers("LOGIN")) {
        const Secret user = LoginLine("", m_strUser);
        const Secret password = LoginLine("", m_strPassword);
        return Expect("AUTH LOGIN\r\n", Command::Auth, {"334"}, Msg::AuthNotAccepted) &&
               Expect(user.str(), Command::User, {"334"}, Msg::WrongAccount) &&
               Expect(password.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    if (server.Offers("PLAIN")) {
        const Secret credentials = PlainCredentials(m_strUser, m_strPassword);
        const Secret line = LoginLine("AUTH PLAIN ", credentials.str()); // the initial response
        return Expect(line.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    EndSession();
    Show(Msg::AuthNotAccepted);
    return false;
}

// The form check, first failure wins. Only emptiness is tested for presence: a field of spaces is
// present. One-line fields must not carry line breaks or NULs, which would inject commands or
// headers.
bool CMailer::CheckForm() {
    if (m_strUser.empty() || m_strPassword.empty()) {
        Show(Msg::NeedUserAndPassword);
        return false;
    }
    if (m_strRecipient.empty() || m_strSubject.empty()) {
        Show(Msg::NeedCompleteContent);
        return false;
    }
    if (m_strBody.empty() && m_strAttachPath.empty()) {
        Show(Msg::NeedBodyOrAttachment);
        return false;
    }
    if (HasLineBreakOrNul(m_strUser) || HasLineBreakOrNul(m_strPassword) ||
        HasLineBreakOrNul(m_strRecipient) || HasLineBreakOrNul(m_strSubject)) {
        Show(Msg::LineBreakInField);
        return false;
    }
    if (!SubjectFitsInAHeader(m_strSubject)) {
        Show(Msg::SubjectTooLong);
        return false;
    }
    if (HasControlCharacter(m_strAttachPath)) {
        Show(Msg::ControlCharacterInPath);
        return false;
    }
    return true;
}

// Allocates the reply buffer, creates and connects the socket, opens the build's transport on it
// and reads the greeting.
bool CMailer::OpenSession() {
    m_pReplyBuf.reset(new (std::nothrow) char[REPLY_BUFFER_SIZE]);
    if (!m_pReplyBuf) {
        Show(Msg::OutOfMemory);
        return false;
    }
    m_pending.clear();
    if (!m_socket.Create()) {
        Show(Msg::CreateSocketFailed);
        m_pReplyBuf.reset();
        return false;
    }
    m_socket.SetWaitHook([this] { WhileWaiting(); });
    if (!m_socket.Connect(m_serverHost, m_serverPort, m_timeouts.connect)) {
        NoteSocketFailure();
        ReportReceiveFailure();
        return false;
    }
    // In the TLS build the handshake: not a byte of the conversation goes out before the server
    // has proven it is the one we asked for, and a failure never falls back to plain text.
    if (!m_socket.OpenStream(m_serverHost, m_timeouts.connect)) {
        NoteSocketFailure();
        EndSession();
        Show(Msg::SecureConnectFailed);
        return false;
    }
    if (!ReadReply()) {
        ReportReceiveFailure();
        return false;
    }
    return true;
}

void CMailer::SendEnvelope(std::uint64_t sizeToDeclare) {
    const std::string size = sizeToDeclare > 0 ? " SIZE=" + std::to_string(sizeToDeclare) : "";
    const std::string from = "MAIL FROM:<" + m_strUser + "@" + MAIL_DOMAIN + ">" + size + "\r\n";
    const std::string to = "RCPT TO:<" + m_strRecipient + ">\r\n";
    // Anything but 354 to DATA means the server will not take the data: what we would send next
    // would be read as commands.
    if (Expect(from, Command::MailFrom, {"250"}, Msg::SendFailed) &&
        Expect(to, Command::RcptTo, {"250", "251"}, Msg::SendFailed) &&
        Expect("DATA\r\n", Command::Data, {"354"}, Msg::SendFailed))
        SendMailText();
}

} // namespace mail
