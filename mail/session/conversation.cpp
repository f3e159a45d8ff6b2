// The send command and the conversation it holds, top to bottom as it goes over the wire: connect,
// greeting, EHLO or HELO, the size check, the login, MAIL FROM, RCPT TO, DATA, the header block,
// then either the end of the data and quit, or the attachment part header and the hand-over to the
// worker. Each step returns false once the session has ended and the user has been told.
#include "mail/session/mailer.h"

#include "mail/message/base64.h"
#include "mail/message/message.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>
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

// The limit in the words' units: under one mebibyte in whole kibibytes, from one on in mebibytes
// with one decimal, rounded ("9.8"), the same in every locale.
Notice SizeLimitNotice(Notice notice, std::uint64_t limit) {
    constexpr std::uint64_t kKiB = 1 << 10;
    constexpr std::uint64_t kMiB = 1 << 20;
    if (limit < kMiB) {
        notice.id = Msg::MailTooLargeKb;
        notice.argument = std::to_string(limit / kKiB);
        return notice;
    }
    const std::uint64_t tenths = limit / kMiB * 10 + ((limit % kMiB) * 10 + kMiB / 2) / kMiB;
    notice.argument = std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
    return notice;
}

// The size of dot-stuffed wire text as RFC 1870 counts it: without the dots that transparency added
// (every line that starts with "." on the wire has one) and without the end of the data, ".\r\n".
std::uint64_t MessageSize(std::string_view wire) {
    std::uint64_t size = wire.size();
    for (std::size_t line = 0; line < wire.size();) {
        if (wire[line] == '.')
            --size;
        const std::size_t end = wire.find("\r\n", line);
        if (end == std::string_view::npos)
            break;
        line = end + 2;
    }
    if (wire.ends_with("\r\n.\r\n"))
        size -= 2; // the final "." went above; its line break goes too
    return size;
}

// A server on this machine, by the name the session connects to (not the address it resolves
// to): "localhost", 127.0.0.0/8 or ::1.
bool IsLoopbackName(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1)
        return IN6_IS_ADDR_LOOPBACK(&v6);
    return host == "localhost";
}

} // namespace

void CMailer::OnOK(const Form& form) {
    if (IsSending()) {
        Tell(Msg::AttachmentBusy);
        return;
    }
    ReapAttachmentWorker();
    m_abortRequested = false; // a new command: an earlier one's abort is over
    Addresses addresses;
    if (const auto refusal = CheckForm(form, addresses)) {
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
    if (!OpenSession() || !Hello(server) || !StartTls(server))
        return;
    // The message is composed once, before MAIL FROM, so that the size declared there is the size
    // of what is sent.
    const MessageStamp stamp = m_platform.stamp();
    const std::string headerBlock = ComposeHeaderBlock(
        {addresses.user, addresses.recipient.address, form.m_strSubject, form.m_strBody, stamp.date,
         stamp.messageId, addresses.recipient.displayName});
    const std::string attachHeader =
        attachment ? ComposeAttachmentHeader(LastPathComponent(form.m_strAttachPath)) : "";
    const std::uint64_t size = MessageSize(headerBlock) + attachHeader.size() +
                               (attachment ? Base64EncodedSize(attachment->Length()) : 0) +
                               MessageSize(ClosingText());
    // RFC 1870: a server that states its limit is told the size, and a mail above it is not even
    // offered; the user learns it before any secret is sent.
    if (server.sizeLimit > 0 && size > server.sizeLimit) {
        Refuse(SizeLimitNotice(AboutReply(Msg::MailTooLarge), server.sizeLimit));
        return;
    }
    m_frontEnd.OnStage(Stage::LoggingIn);
    if (!LogIn(addresses.user, form.m_strPassword, server))
        return;
    m_frontEnd.OnStage(Stage::Sending);
    if (!SendEnvelope(addresses, server.sizeLimit > 0 ? size : 0))
        return;
    SendMailText(headerBlock, attachHeader, std::move(attachment));
}

// Allocates the reply buffer, creates and connects the socket, in the implicit-TLS build makes the
// handshake, and reads the greeting, which must be 220: a server that greets with 554 wants no
// mail from us.
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
    if (m_strReply != "220") {
        Refuse(AboutReply(Msg::SendFailed));
        return false;
    }
    return true;
}

// EHLO, and HELO where the server does not answer EHLO with 250 (RFC 5321 section 4.1.4); a
// server greeted with HELO lists no extensions. Outside TLS a server elsewhere must answer EHLO:
// one that knows only HELO cannot offer STARTTLS, and a man in the middle can pretend to be one.
bool CMailer::Hello(ServerExtensions& server) {
    const std::string domain = std::string(SMTP_HOST) + "\r\n";
    server = {};
    if (!Step("EHLO " + domain, Command::Hello))
        return false;
    if (m_strReply == "250") {
        server = ParseEhloReply(m_replies.Text());
        return true;
    }
    if (!m_socket.IsSecure() && !ServerIsLocal()) {
        Refuse(AboutReply(Msg::NoEncryption));
        return false;
    }
    return Step("HELO " + domain, Command::Hello, {"250"});
}

// STARTTLS (RFC 3207) wherever the server offers it; no secret in plain text to a server elsewhere
// that does not. Nothing said before the handshake counts after it: bytes that came after the 220
// can only be injected, and only the EHLO inside TLS says what the server offers.
bool CMailer::StartTls(ServerExtensions& server) {
    if (m_socket.IsSecure())
        return true;
    if (!server.startTls) {
        if (ServerIsLocal())
            return true;
        Refuse(AboutReply(Msg::NoEncryption));
        return false;
    }
    if (!Step("STARTTLS\r\n", Command::StartTls, {"220"}, Msg::NoEncryption))
        return false;
    if (m_replies.HasPending()) {
        m_cause = Cause::Secure;
        m_reason = "data after the STARTTLS reply";
        EndSession();
        Tell(AboutFailure(Msg::SecureConnectFailed));
        return false;
    }
    if (!m_socket.StartTls(m_serverHost, m_timeouts.connect)) {
        NoteSocketFailure();
        EndSession();
        Tell(AboutFailure(Msg::SecureConnectFailed));
        return false;
    }
    return Hello(server);
}

// Logs in the way the server offers, and sends each secret only when the server has asked for
// it. Without an AUTH line (and after HELO) AUTH LOGIN is tried: its 334 check keeps the secrets
// safe.
bool CMailer::LogIn(const std::string& user, const std::string& password,
                    const ServerExtensions& server) {
    if (!server.authListed || server.Offers("LOGIN")) {
        const Secret userLine = LoginLine("", user);
        const Secret passwordLine = LoginLine("", password);
        return Step("AUTH LOGIN\r\n", Command::Auth, {"334"}, Msg::AuthNotAccepted) &&
               Step(userLine.str(), Command::User, {"334"}, Msg::WrongAccount) &&
               Step(passwordLine.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    if (server.Offers("PLAIN")) {
        const Secret credentials = PlainCredentials(user, password);
        const Secret line = LoginLine("AUTH PLAIN ", credentials.str()); // the initial response
        return Step(line.str(), Command::Password, {"235"}, Msg::WrongAccount);
    }
    Refuse(AboutReply(Msg::AuthNotAccepted));
    return false;
}

// sizeToDeclare: the message's size for MAIL FROM's SIZE parameter; 0 declares none. Anything but
// 354 to DATA means the server will not take the data: what we would send next would be read as
// commands.
bool CMailer::SendEnvelope(const Addresses& addresses, std::uint64_t sizeToDeclare) {
    const std::string size = sizeToDeclare > 0 ? " SIZE=" + std::to_string(sizeToDeclare) : "";
    return Step("MAIL FROM:<" + addresses.user + "@" + MAIL_DOMAIN + ">" + size + "\r\n",
                Command::MailFrom, {"250"}) &&
           Step("RCPT TO:<" + addresses.recipient.address + ">\r\n", Command::RcptTo,
                {"250", "251"}) &&
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

// The end of the data and quit, for both roads. Once the end of the data is answered 250 the mail
// is delivered, and the outcome is a success whatever quit brings: a user told otherwise would
// send it again. A reply to quit other than 221 is still shown: on the text road that leaving
// failed, from the worker the code and that leaving failed. A server that closes or stays silent
// after the 250 ends the session quietly.
void CMailer::EndDataAndQuit(bool worker) {
    if (!Step(std::string(ClosingText()), Command::EndOfData, {"250"}, Msg::SendFailed,
              m_timeouts.endOfData))
        return;
    m_answered = Command::Quit;
    const bool answered = SendCommand("quit\r\n") && ReadReply(m_timeouts.quit);
    EndSession();
    if (answered && m_strReply != "221") {
        if (worker)
            Tell(AboutReply(Msg::ReplyCode, m_strReply));
        Tell(AboutReply(Msg::QuitFailed));
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
    Refuse(AboutReply(refused));
    return false;
}

bool CMailer::SendOrReport(const std::string& text) {
    if (SendCommand(text))
        return true;
    ReportReceiveFailure();
    return false;
}

void CMailer::Refuse(const Notice& notice) {
    if (SendCommand("quit\r\n"))
        ReadReply(m_timeouts.quit);
    EndSession();
    Tell(notice);
}

bool CMailer::ServerIsLocal() const {
    return m_loopbackIsLocal && IsLoopbackName(m_serverHost);
}

} // namespace mail
