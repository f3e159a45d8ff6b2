// The send command: form check, login and envelope. The conversation reads top to bottom like an
// SMTP transcript; each step returns at once if the session has ended.
#include "mail/mailer.h"

#include "mail/base64.h"
#include "mail/gbk.h"
#include "mail/message.h"

#include <cstring>
#include <new>

namespace mail {
namespace {

// A login line that is wiped from memory on every way out of the send command.
class SecretLine {
public:
    explicit SecretLine(std::string text) : m_text(std::move(text)) {}
    ~SecretLine() { explicit_bzero(m_text.data(), m_text.size()); }
    SecretLine(const SecretLine&) = delete;
    SecretLine& operator=(const SecretLine&) = delete;
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

bool HasLineBreakOrNul(const std::string& s) {
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
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

    const SecretLine userLine(Base64Encode(m_strUser) + "\r\n");
    const SecretLine passLine(Base64Encode(m_strPassword) + "\r\n");

    if (!OpenSession())
        return;
    m_strCommand = std::string("HELO ") + SMTP_HOST + "\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    m_strCommand = "AUTH LOGIN\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    if (!SendAndRead(userLine.str()))
        return;
    if (!SendAndRead(passLine.str()))
        return;
    if (m_strReply != "235") {
        EndSession();
        Show(Msg::WrongAccount);
        return;
    }
    m_attachFile = std::move(attachment);
    SendEnvelope();
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
    if (SubjectLineLength(m_strSubject) > kMaxLineLength) {
        Show(Msg::SubjectTooLong);
        return false;
    }
    return true;
}

// Allocates the reply buffer, creates and connects the socket (in the TLS build: and secures it)
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
        m_failure = SocketFailureText();
        ReportReceiveFailure();
        return false;
    }
#if VELLIPOST_TLS
    // Implicit TLS: not a byte of the conversation goes out before the server has proven it is
    // the one we asked for, and a failure never falls back to plain text.
    if (!m_socket.StartTls(m_serverHost, m_timeouts.connect)) {
        m_failure = m_socket.TlsFailureText();
        EndSession();
        Show(Msg::SecureConnectFailed);
        return false;
    }
#endif
    if (!ReadReply()) {
        ReportReceiveFailure();
        return false;
    }
    return true;
}

void CMailer::SendEnvelope() {
    m_strCommand = "MAIL FROM:<" + m_strUser + "@" + MAIL_DOMAIN + ">\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    m_strCommand = "RCPT TO:<" + m_strRecipient + ">\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    m_strCommand = "DATA\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    // Anything but 354 means the server will not take the data: what we would send next would
    // be read as commands.
    if (m_strReply != "354") {
        EndSession();
        Show(Msg::SendFailed);
        return;
    }
    SendMailText();
}

std::unique_ptr<AttachmentFile> CMailer::OpenAttachment(const std::string& path) {
    const auto native = GbkToUtf8(path);
    return native ? OpenAttachmentFile(*native) : nullptr;
}

} // namespace mail
