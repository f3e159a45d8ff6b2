#pragma once
// The mail core: one SMTP session at a time, driven by the send command, and the attachment worker
// that finishes a session with an attachment. Its owner (the form, a command-line driver, a test)
// holds it as a member, hands it the form as a value and implements FrontEnd, through which the
// mailer reaches back: nothing else of the owner is known here.
//
// Threads: everything runs on the thread that constructed the object (the UI thread), except the
// attachment worker, which owns the session from the moment it starts until it ends and reaches the
// UI thread only through RunOnUiThread.
#include "mail/connection/connection.h"
#include "mail/connection/resolver.h"
#include "mail/constants.h"
#include "mail/message/attachment_file.h"
#include "mail/message/message_stamp.h"
#include "mail/session/extensions.h"
#include "mail/session/form.h"
#include "mail/session/front_end.h"
#include "mail/session/reply_channel.h"
#include "mail/words/catalogue.h"
#include "mail/words/notice.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace mail {

// Time limits of a session. RFC 5321 section 4.5.3.2 asks a client to wait 5 minutes for most
// replies and 10 for the reply to the end of the data. The reply to quit decides nothing (the
// mail was delivered, or refused), so it is not worth a long wait.
struct Timeouts {
    std::chrono::milliseconds connect{std::chrono::seconds(30)};
    std::chrono::milliseconds reply{std::chrono::minutes(5)};
    std::chrono::milliseconds endOfData{std::chrono::minutes(10)};
    std::chrono::milliseconds quit{std::chrono::seconds(10)};
};

// What the session takes from the platform besides the network; tests replace them.
struct Platform {
    // The Date and Message-ID of a message that goes out now.
    std::function<MessageStamp()> stamp = StampNow;
    // How the server's name is looked up (see Resolver).
    Resolver resolve = ResolveWithSystem;
    // Opens the attachment at a path in the file system's own bytes.
    std::function<std::unique_ptr<AttachmentFile>(const std::string&)> openAttachment =
        OpenAttachmentFile;
};

class CMailer {
public:
    explicit CMailer(FrontEnd& frontEnd);
    ~CMailer(); // aborts and joins a running attachment worker
    CMailer(const CMailer&) = delete;
    CMailer& operator=(const CMailer&) = delete;

    // The send command: form check, login, envelope, message, and for an attachment the start of
    // the worker. Never throws; every outcome is reported through FrontEnd::ShowMessage.
    void OnOK(const Form& form);

    // Ends a send command that waits on the network, at the user's request: called on the UI
    // thread from WhileWaiting. The connection is shut down at once, every later step of the
    // command fails at once, and the command returns without another message.
    void AbortSendCommand();

    // --- attachment worker lifecycle (UI thread) ---
    bool IsSending() const { return m_workerRunning.load(); }
    // Shuts the worker's connection down (no end of data goes out), suppresses its messages and
    // waits for it; a message box the worker waits for is closed (CloseMessage) and the worker
    // no longer waits for it. Safe at any point of the worker's life, also from inside the event
    // loop of one of its boxes. Does nothing if no worker exists.
    void AbortAttachmentWorker();
    // Joins a worker that has finished; the front end calls it when told the worker is done.
    void ReapAttachmentWorker();
    // Bytes of the attachment file sent so far, and in all.
    std::uint64_t AttachmentBytesSent() const { return m_attachSent.load(); }
    std::uint64_t AttachmentBytesTotal() const { return m_attachTotal.load(); }

    // --- for tests only: the program always talks to SMTP_HOST:SMTP_PORT ---
    void SetServerForTesting(std::string host, std::uint16_t port);
    void SetTimeoutsForTesting(const Timeouts& timeouts) { m_timeouts = timeouts; }
    void SetTrustedCaFileForTesting(std::string path);
    // Takes a loopback server for a server elsewhere: no secret goes to it in plain text.
    void TreatServerAsRemoteForTesting() { m_loopbackIsLocal = false; }
    Platform& PlatformForTesting() { return m_platform; }
    bool HasReplyBuffer() const { return m_replies.IsOpen(); }
    bool SocketOpen() const { return m_socket.IsOpen(); }
    const CBlockingSocket& SocketForTesting() const { return m_socket; }

private:
    // --- session operations ---
    bool SendCommand(const std::string& text);
    bool ReadReply(std::chrono::milliseconds timeout);
    void EndSession();
    void ReportReceiveFailure();

    // --- the conversation (conversation.cpp), each step false once the session has ended and
    // the user has been told ---
    bool OpenSession();
    bool Hello(ServerExtensions& server);
    bool StartTls(ServerExtensions& server);
    bool LogIn(const std::string& user, const std::string& password,
               const ServerExtensions& server);
    bool SendEnvelope(const Addresses& addresses, std::uint64_t sizeToDeclare);
    void SendMailText(const std::string& headerBlock, const std::string& attachHeader,
                      std::unique_ptr<AttachmentFile> attachment);
    void EndDataAndQuit(bool worker);
    // One step: sends text, reads the one reply. If accepted is not empty the reply's code must be
    // one of them; otherwise the session ends and the user sees `refused` with the reply. A zero
    // timeout is the reply limit.
    bool Step(const std::string& text, Command command,
              std::initializer_list<std::string_view> accepted = {}, Msg refused = Msg::SendFailed,
              std::chrono::milliseconds timeout = {});
    // Sends text; a failed send ends the session and tells the user.
    bool SendOrReport(const std::string& text);
    // Ends a session the server refused or that we refuse to go on with: quit (RFC 5321 section
    // 4.1.1.10), its reply awaited a short while, then the user is told.
    void Refuse(const Notice& notice);
    // Whether a secret may go out in plain text: only to a server on this machine, as named.
    bool ServerIsLocal() const;

    // --- the attachment worker (attachment_worker.cpp) ---
    void StartAttachmentWorker(std::unique_ptr<AttachmentFile> file);
    void AttachmentWorker(std::unique_ptr<AttachmentFile> file);
    enum class DataResult { Sent, ReadFailed, SendFailed };
    DataResult SendAttachmentData(AttachmentFile& file);

    // --- telling the user ---
    // The notice for id, carrying the last reply and its hint: for what a server said.
    Notice AboutReply(Msg id, std::string argument = {}) const;
    // The notice for id, carrying why the connection failed.
    Notice AboutFailure(Msg id) const;
    void Tell(Notice notice);
    void Tell(Msg id); // words that need nothing more
    // Runs fn on the UI thread and waits until it has run; from the UI thread it runs at once.
    // Returns without running fn if the worker is aborted first, and without waiting for fn to
    // end if it is aborted while fn runs: fn keeps what it needs by value, never on the caller's
    // stack.
    void RunOnUiThread(std::function<void()> fn);
    // Keeps why the connection's last call failed, for the next notice about a failure.
    void NoteSocketFailure();

    FrontEnd& m_frontEnd;
    Platform m_platform;
    std::string m_serverHost = SMTP_HOST;
    std::uint16_t m_serverPort = SMTP_PORT;
    Timeouts m_timeouts;
    bool m_loopbackIsLocal = true;

    // --- session state ---
    CBlockingSocket m_socket;
    ReplyChannel m_replies;
    std::string m_strReply;                 // the code of the last reply
    Command m_answered = Command::Greeting; // the command the last reply answered
    // Why the last send, connect or receive failed, and the system's own words for it.
    Cause m_cause = Cause::None;
    std::string m_reason;

    const std::thread::id m_uiThread;
    std::thread m_worker;
    std::atomic<bool> m_workerRunning{false};
    std::atomic<bool> m_abortRequested{false};
    std::atomic<std::uint64_t> m_attachSent{0};
    std::atomic<std::uint64_t> m_attachTotal{0};

    struct UiCall; // one call waiting for the UI thread
    std::mutex m_uiCallMutex;
    std::shared_ptr<UiCall> m_uiCall;
};

} // namespace mail
