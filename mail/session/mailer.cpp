// The session's state and operations: send a text, read one whole reply, end the session, report a
// failed receive; and the road by which any thread tells the user something.
#include "mail/session/mailer.h"

#include <condition_variable>
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

CMailer::CMailer(FrontEnd& frontEnd)
    : m_frontEnd(frontEnd), m_uiThread(std::this_thread::get_id()) {
    m_socket.SetResolver(
        [this](const std::string& host, std::uint16_t port, std::shared_ptr<Lookup> lookup) {
            m_platform.resolve(host, port, std::move(lookup));
        });
}

CMailer::~CMailer() {
    AbortAttachmentWorker();
}

void CMailer::SetServerForTesting(std::string host, std::uint16_t port) {
    m_serverHost = std::move(host);
    m_serverPort = port;
}

void CMailer::SetTrustedCaFileForTesting(std::string path) {
    m_socket.SetTrustedCaFileForTesting(std::move(path));
}

bool CMailer::SendCommand(const std::string& text) {
    if (m_socket.Send(text.data(), text.size(), m_timeouts.reply))
        return true;
    NoteSocketFailure();
    return false;
}

// Keeps the reply's code in m_strReply.
bool CMailer::ReadReply(std::chrono::milliseconds timeout) {
    if (!m_replies.ReadReply(m_socket, timeout)) {
        m_cause = m_replies.FailureCause();
        m_reason = m_replies.FailureReason();
        return false;
    }
    m_strReply = m_replies.Code();
    return true;
}

void CMailer::EndSession() {
    m_socket.Close();
    m_replies.Close();
}

void CMailer::ReportReceiveFailure() {
    Tell(AboutFailure(Msg::ReceiveFailed));
    EndSession();
}

void CMailer::NoteSocketFailure() {
    m_cause = CauseOf(m_socket);
    m_reason = m_socket.FailureReason();
}

Notice CMailer::AboutReply(Msg id, std::string argument) const {
    Notice notice;
    notice.id = id;
    notice.argument = std::move(argument);
    notice.reply = m_replies.Text();
    notice.hint = ChooseHint(m_answered, m_replies.Text());
    return notice;
}

Notice CMailer::AboutFailure(Msg id) const {
    Notice notice;
    notice.id = id;
    notice.cause = m_cause;
    notice.reason = m_reason;
    return notice;
}

void CMailer::Tell(Notice notice) {
    if (m_abortRequested)
        return; // the user closed the form: nobody is left to tell
    RunOnUiThread([this, notice = std::move(notice)] { m_frontEnd.ShowMessage(notice); });
}

void CMailer::Tell(Msg id) {
    Notice notice;
    notice.id = id;
    Tell(std::move(notice));
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
    m_frontEnd.PostToUiThread([call] {
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
    if (callRunning) // a box the worker waits for: the front end has it open further up this stack
        m_frontEnd.CloseMessage();
    m_worker.join();
    m_abortRequested = false;
}

void CMailer::ReapAttachmentWorker() {
    if (m_worker.joinable() && !m_workerRunning)
        m_worker.join();
}

} // namespace mail
