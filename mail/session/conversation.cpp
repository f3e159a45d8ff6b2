// The send command and the conversation it holds, top to bottom as it goes over the wire: connect,
// greeting, EHLO or HELO, the size check, the login, MAIL FROM, RCPT TO, DATA, the header block,
// then either the end of the data and quit, or the attachment part header and the hand-over to the
// worker. Each step returns false once the session has ended and the user has been told.
#include "mail/session/mailer.h"

#include "mail/message/base64.h"
#include "mail/message/message.h"

#include <cstring>
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

} // namespace

void CMailer::OnOK(const Form& form) {
    if (IsSending()) {
        Tell(Msg::AttachmentBusy);
        return;
    }
    ReapAttachmentWorker();
    m_abortRequested = false; // a new command: an earlier one's abort is over
    if (const auto refusal = CheckForm(form)) {
        Tell(*refusal);
        return;
    }
    std::unique_ptr<AttachmentFile> attachment;
    if (!form.m_strAttachPath.empty() &&
        !(attachment = m_platform.openAttachment(form.m_strAttachPath))) {
        Tell(Msg::AttachmentOpenFailed);
        return;
    }

    m_frontEnd.OnStage(Stage::Connecting);
    ServerExtensions server;
    if (!OpenSession() || !Hello(server))
        return;
    // The message is composed once, before MAIL FROM, so that the size declared there is the size
    // of what is sent.
    const MessageStamp stamp = m_platform.stamp();
    const std::string headerBlock =
        ComposeHeaderBlock({form.m_strUser, form.m_strRecipient, form.m_strSubject, form.m_strBody,
                            stamp.date, stamp.messageId});
    const std::string attachHeader =
        attachment ? ComposeAttachmentHeader(LastPathComponent(form.m_strAttachPath)) : "";
    // Every byte that goes out after the 354, up to and including the final ".\r\n".
    const std::uint64_t size = headerBlock.size() + attachHeader.size() +
                               (attachment ? Base64EncodedSize(attachment->Length()) : 0) +
                               ClosingText().size();
    // RFC 1870: a server that states its limit is told the size, and a mail above it is not even
    // offered; the user learns it before any secret is sent.
    if (server.sizeLimit > 0 && size > server.sizeLimit) {
        EndSession();
        Tell(AboutReply(Msg::MailTooLarge, MebibytesText(server.sizeLimit)));
        return;
    }
    m_frontEnd.OnStage(Stage::LoggingIn);
    if (!LogIn(form, server))
        return;
    m_frontEnd.OnStage(Stage::Sending);
    if (!SendEnvelope(form, server.sizeLimit > 0 ? size : 0))
        return;
    SendMailText(headerBlock, attachHeader, std::move(attachment));
}

// Allocates the reply buffer, creates and connects the socket, in the implicit-TLS build makes the
// handshake, and reads the greeting.
bool CMailer::OpenSession() {
    if (!m_replies.Open()) {
        Tell(Msg::OutOfMemory);
        return false;
    }
    if (!m_socket.Create()) {
        Tell(Msg::CreateSocketFailed);
        m_replies.Close();
        return false;
    }
    m_socket.SetWaitHook([this] { m_frontEnd.WhileWaiting(); });
    if (!m_socket.Connect(m_serverHost, m_serverPort, m_timeouts.connect)) {
        NoteSocketFailure();
        ReportReceiveFailure();
        return false;
    }
    // Not a byte of the conversation goes out before the server has proven it is the one we
    // asked for, and a failure never falls back to plain text.
    if (IMPLICIT_TLS && !m_socket.StartTls(m_serverHost, m_timeouts.connect)) {
        NoteSocketFailure();
        EndSession();
        Tell(AboutFailure(Msg::SecureConnectFailed));
        return false;
    }
    m_answered = Command::Greeting;
    if (!ReadReply(m_timeouts.reply)) {
        ReportReceiveFailure();
        return false;
    }
    return true;
}

// EHLO, and HELO where the server does not answer EHLO with 250 (RFC 5321 section 4.1.4); a
// server greeted with HELO lists no extensions.
bool CMailer::Hello(ServerExtensions& server) {
    const std::string domain = std::string(SMTP_HOST) + "\r\n";
    if (!Step("EHLO " + domain, Command::Hello))
        return false;
    if (m_strReply == "250") {
        server = ParseEhloReply(m_replies.Text());
        return true;
    }
    return Step("HELO " + domain, Command::Hello);
}

// Logs in the way the server offers, and sends each secret only when the server has asked for
// it. Without an AUTH line (and after HELO) AUTH LOGIN is tried: its 334 check keeps the secrets
// safe.
bool CMailer::LogIn(const Form& form, const ServerExtensions& server) {
    if (!server.authListed || server.Offers("LOGIN")) {
        const Secret user = LoginLine("", form.m_strUser);
        const Secret password = LoginLine("", form.m_strPassword);
        return Step("AUTH LOGIN\r\n", Command::Auth, {"334"}, Msg::AuthNotAccepted) &&
               Step(user.str(), Command::User, {"334"}, Msg::WrongAccount) &&
               Step(password.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    if (server.Offers("PLAIN")) {
        const Secret credentials = PlainCredentials(form.m_strUser, form.m_strPassword);
        const Secret line = LoginLine("AUTH PLAIN ", credentials.str()); // the initial response
        return Step(line.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    EndSession();
    Tell(AboutReply(Msg::AuthNotAccepted));
    return false;
}

// sizeToDeclare: the message's size for MAIL FROM's SIZE parameter; 0 declares none. Anything but
// 354 to DATA means the server will not take the data: what we would send next would be read as
// commands.
bool CMailer::SendEnvelope(const Form& form, std::uint64_t sizeToDeclare) {
    const std::string size = sizeToDeclare > 0 ? " SIZE=" + std::to_string(sizeToDeclare) : "";
    return Step("MAIL FROM:<" + form.m_strUser + "@" + MAIL_DOMAIN + ">" + size + "\r\n",
                Command::MailFrom, {"250"}) &&
           Step("RCPT TO:<" + form.m_strRecipient + ">\r\n", Command::RcptTo, {"250", "251"}) &&
           Step("DATA\r\n", Command::Data, {"354"});
}

// Sends the blocks composed before MAIL FROM, exactly as they were measured there; the open file
// decides the road.
void CMailer::SendMailText(const std::string& headerBlock, const std::string& attachHeader,
                           std::unique_ptr<AttachmentFile> attachment) {
    if (!SendOrReport(headerBlock))
        return;
    if (!attachment) {
        EndDataAndQuit(false);
        return;
    }
    if (SendOrReport(attachHeader))
        StartAttachmentWorker(std::move(attachment));
}

// The end of the data and quit, for both roads. The mail is accepted at the end of the data; a
// quit that is not answered with 221 is reported differently: the text road says only that
// leaving failed, the worker shows the code and that leaving failed, then the success.
void CMailer::EndDataAndQuit(bool worker) {
    if (!Step(std::string(ClosingText()), Command::EndOfData, {"250"}, Msg::SendFailed,
              m_timeouts.endOfData) ||
        !Step("quit\r\n", Command::Quit))
        return;
    EndSession();
    if (m_strReply != "221") {
        if (worker)
            Tell(AboutReply(Msg::ReplyCode, m_strReply));
        Tell(AboutReply(Msg::QuitFailed));
        if (!worker)
            return;
    }
    Tell(Msg::SentOk);
}

bool CMailer::Step(const std::string& text, Command command,
                   std::initializer_list<std::string_view> accepted, Msg refused,
                   std::chrono::milliseconds timeout) {
    m_answered = command;
    if (!SendOrReport(text))
        return false;
    if (!ReadReply(timeout.count() > 0 ? timeout : m_timeouts.reply)) {
        ReportReceiveFailure();
        return false;
    }
    if (accepted.size() == 0)
        return true;
    for (const std::string_view code : accepted)
        if (m_strReply == code)
            return true;
    EndSession();
    Tell(AboutReply(refused));
    return false;
}

bool CMailer::SendOrReport(const std::string& text) {
    if (SendCommand(text))
        return true;
    ReportReceiveFailure();
    return false;
}

} // namespace mail
