// Session state and server replies: send a text, read one whole reply, end the session, report a
// failed receive; and the road by which any thread shows the user a message.
#include "mail/session/mailer.h"

#include "mail/session/reply.h"

#include <new>
#include <utility>

namespace mail {

struct CMailer::UiCall {
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable cv;
    bool running = false;
    bool done = false;
    bool cancelled = false;
};

CMailer::CMailer() : m_uiThread(std::this_thread::get_id()) {
    m_socket.SetResolver(
        [this](const std::string& host, std::uint16_t port, std::shared_ptr<Lookup> lookup) {
            ResolveServer(host, port, std::move(lookup));
        });
}

CMailer::~CMailer() {
    AbortAttachmentWorker();
}

void CMailer::SetServerForTesting(std::string host, std::uint16_t port) {
    m_serverHost = std::move(host);
    m_serverPort = port;
}

bool CMailer::SendCommand(const std::string& text) {
    if (m_socket.Send(text.data(), text.size(), m_timeouts.reply))
        return true;
    NoteSocketFailure();
    return false;
}

void CMailer::NoteSocketFailure() {
    using Error = CBlockingSocket::Error;
    static constexpr std::pair<Error, Cause> kCauses[] = {
        {Error::Resolve, Cause::Resolve},     {Error::Refused, Cause::Refused},
        {Error::Connect, Cause::Unreachable}, {Error::TimedOut, Cause::TimedOut},
        {Error::Closed, Cause::Closed},       {Error::Secure, Cause::Secure}};
    // Anything else is a broken connection (or an abort, which nobody is told of).
    m_cause = Cause::Network;
    for (const auto& [error, cause] : kCauses)
        if (m_socket.LastError() == error)
            m_cause = cause;
    m_reason = m_socket.FailureReason();
}

// Receives until one whole reply has arrived, however it is split; keeps its code in m_strReply.
// False if the connection closed or failed, the time ran out, or the bytes are no SMTP reply.
bool CMailer::ReadReply(std::chrono::milliseconds timeout) {
    const auto deadline = CBlockingSocket::Clock::now() + timeout;
    ReplyReader reader;
    std::size_t used = reader.Feed(m_pending);
    m_pending.erase(0, used);
    while (reader.state() == ReplyReader::State::NeedMore) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - CBlockingSocket::Clock::now());
        if (left.count() <= 0) {
            m_cause = Cause::TimedOut;
            m_reason.clear();
            return false;
        }
        const ssize_t n = m_socket.Receive(m_pReplyBuf.get(), REPLY_BUFFER_SIZE, left);
        if (n <= 0) {
            // Closed, failed or timed out: all the same to the user, but the detail tells which.
            NoteSocketFailure();
            return false;
        }
        const std::string_view got(m_pReplyBuf.get(), static_cast<std::size_t>(n));
        used = reader.Feed(got);
        m_pending.assign(got.substr(used)); // belongs to the next reply, if any
    }
    if (reader.state() != ReplyReader::State::Complete) {
        m_cause = Cause::NotSmtp; // no reply line, or no end to the reply
        m_reason.clear();
        return false;
    }
    m_strReply = reader.Code();
    m_strReplyText = reader.Text();
    return true;
}

void CMailer::EndSession() {
    m_socket.Close();
    m_pReplyBuf.reset();
    m_pending.clear();
    m_attachFile.reset();
    m_headerBlock.clear();
    m_attachHeader.clear();
}

void CMailer::ReportReceiveFailure() {
    Show(Msg::ReceiveFailed);
    EndSession();
}

bool CMailer::SendOrReport(const std::string& text) {
    if (SendCommand(text))
        return true;
    ReportReceiveFailure();
    return false;
}

// One step of the conversation: send, then read the one reply. On failure the session is over
// and the user has been told.
bool CMailer::SendAndRead(const std::string& text, Command command,
                          std::chrono::milliseconds timeout) {
    m_answered = command;
    if (!SendOrReport(text))
        return false;
    if (ReadReply(timeout))
        return true;
    ReportReceiveFailure();
    return false;
}

// A checked step: as SendAndRead, and the reply's code must be one of codes. Otherwise the session
// ends and the user sees `refused`, with the reply and its hint as the detail.
bool CMailer::Expect(const std::string& text, Command command,
                     std::initializer_list<std::string_view> codes, Msg refused,
                     std::chrono::milliseconds timeout) {
    if (!SendAndRead(text, command, timeout))
        return false;
    for (const std::string_view code : codes)
        if (m_strReply == code)
            return true;
    EndSession();
    Show(refused);
    return false;
}

// After the mail was accepted: the session's texts and the attachment are spent. The path and name
// belong to the form, so they are cleared on the UI thread.
void CMailer::ClearAfterSuccess() {
    m_strReply.clear();
    m_strCommand.clear();
    RunOnUiThread([this] {
        m_strAttachPath.clear();
        m_strAttachName.clear();
    });
}

void CMailer::Show(Msg id, std::string argument) {
    if (m_abortRequested)
        return; // the user closed the form: nobody is left to tell
    Notice notice;
    notice.id = id;
    notice.argument = std::move(argument);
    // Messages that follow a server's reply carry it, so the user can see what the server said;
    // those that follow a failed connection carry why it failed.
    if (id == Msg::WrongAccount || id == Msg::SendFailed || id == Msg::QuitFailed ||
        id == Msg::ReplyCode || id == Msg::AuthNotAccepted || id == Msg::MailTooLarge) {
        notice.reply = m_strReplyText;
        notice.hint = ChooseHint(m_answered, m_strReplyText);
    } else if (id == Msg::ReceiveFailed || id == Msg::SecureConnectFailed) {
        notice.cause = m_cause;
        notice.reason = m_reason;
    }
    RunOnUiThread([this, notice] { ShowMessage(notice); });
}

void CMailer::RunOnUiThread(std::function<void()> fn) {
    if (std::this_thread::get_id() == m_uiThread) {
        fn();
        return;
    }
    auto call = std::make_shared<UiCall>();
    call->fn = std::move(fn);
    {
        std::lock_guard lock(m_uiCallMutex);
        if (m_abortRequested)
            return;
        m_uiCall = call;
    }
    PostToUiThread([call] {
        {
            std::lock_guard lock(call->mutex);
            if (call->cancelled)
                return;
            call->running = true;
        }
        call->fn();
        {
            std::lock_guard lock(call->mutex);
            call->done = true;
        }
        call->cv.notify_all();
    });
    // Cancelled, the worker stops waiting even while fn runs: the UI thread may be aborting it
    // from inside fn (a close that arrives while the worker's box is open), and would wait for
    // it in turn. The call owns fn, so fn may outlive this frame.
    std::unique_lock lock(call->mutex);
    call->cv.wait(lock, [&] { return call->done || call->cancelled; });
    lock.unlock();
    std::lock_guard guard(m_uiCallMutex);
    m_uiCall.reset();
}

void CMailer::AbortSendCommand() {
    m_abortRequested = true;
    m_socket.Abort();
}

void CMailer::AbortAttachmentWorker() {
    if (!m_worker.joinable())
        return;
    m_abortRequested = true;
    bool callRunning = false;
    {
        std::lock_guard lock(m_uiCallMutex);
        if (m_uiCall) {
            std::lock_guard callLock(m_uiCall->mutex);
            m_uiCall->cancelled = true;
            callRunning = m_uiCall->running && !m_uiCall->done;
            m_uiCall->cv.notify_all();
        }
    }
    m_socket.Abort();
    if (callRunning) // a box the worker waits for: the dialog has it open further up this stack
        CloseMessage();
    m_worker.join();
    m_abortRequested = false;
}

void CMailer::ReapAttachmentWorker() {
    if (m_worker.joinable() && !m_workerRunning)
        m_worker.join();
}

} // namespace mail
