#pragma once
// The mail core: the form values and one SMTP session with the send command that drives it.
// The main dialog derives from CMailer, copies its fields in and presses OnOK; tests derive from it
// too and record what the user would see. The account name, password and recipient are
// code-page-936 bytes, the subject and body GB18030, the attachment path the file system's own
// bytes.
//
// Threads: everything runs on the thread that constructed the object (the UI thread), except the
// attachment worker, which owns the session from the moment it starts until it ends and reaches the
// UI thread only through RunOnUiThread.
#include "mail/message/attachment_file.h"
#include "mail/words/catalogue.h"
#include "mail/constants.h"
#include "mail/session/extensions.h"
#include "mail/message/message_stamp.h"
#include "mail/words/notice.h"
#include "mail/connection/resolver.h"
#include "mail/connection/connection.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
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
// replies and 10 for the reply to the end of the data.
struct Timeouts {
    std::chrono::milliseconds connect{std::chrono::seconds(30)};
    std::chrono::milliseconds reply{std::chrono::minutes(5)};
    std::chrono::milliseconds endOfData{std::chrono::minutes(10)};
};

class CMailer {
public:
    CMailer();
    virtual ~CMailer(); // aborts and joins a running attachment worker
    CMailer(const CMailer&) = delete;
    CMailer& operator=(const CMailer&) = delete;

    // The send command: form check, login, envelope, message, and for an attachment the start of
    // the worker. Never throws; every outcome is reported through ShowMessage.
    void OnOK();

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
    // Joins a worker that has finished; the dialog calls it when told the worker is done.
    void ReapAttachmentWorker();
    // Bytes of the attachment file sent so far, and in all.
    std::uint64_t AttachmentBytesSent() const { return m_attachSent.load(); }
    std::uint64_t AttachmentBytesTotal() const { return m_attachTotal.load(); }

    // --- for tests only: the program always talks to SMTP_HOST:SMTP_PORT ---
    void SetServerForTesting(std::string host, std::uint16_t port);
    void SetTimeoutsForTesting(const Timeouts& timeouts) { m_timeouts = timeouts; }
    bool HasReplyBuffer() const { return m_pReplyBuf != nullptr; }
    bool SocketOpen() const { return m_socket.IsOpen(); }

protected:
    // --- seams to the platform ---
    // Shows a message box and returns when the user has closed it. Always called on the UI thread.
    virtual void ShowMessage(const Notice& notice) = 0;
    // Copies the form into the members; false (after telling the user) if it cannot be sent.
    virtual bool TakeFormValues() { return true; }
    // The Date and Message-ID of a message that goes out now.
    virtual MessageStamp StampMessage() { return StampNow(); }
    // Called over and over while a socket call on the UI thread waits, the name lookup included.
    virtual void WhileWaiting() {}
    // Starts looking up the server's name (see Resolver); the default is the system's resolver.
    virtual void ResolveServer(const std::string& host, std::uint16_t port,
                               std::shared_ptr<Lookup> lookup) {
        ResolveWithSystem(host, port, std::move(lookup));
    }
    // Queues task to run on the UI thread; the default runs it at once on the calling thread.
    virtual void PostToUiThread(std::function<void()> task) { task(); }
    // Opens the attachment at a path in the file system's own bytes.
    virtual std::unique_ptr<AttachmentFile> OpenAttachment(const std::string& path) {
        return OpenAttachmentFile(path);
    }
    // Called on the worker thread as its last act; the dialog schedules ReapAttachmentWorker().
    virtual void OnAttachmentWorkerFinished() {}
    // Closes the message box that ShowMessage has open for the worker, as if the user had closed
    // it; called on the UI thread when the worker is aborted while it waits for that box.
    virtual void CloseMessage() {}

    // Runs fn on the UI thread and waits until it has run; from the UI thread it runs at once.
    // Returns without running fn if the worker is aborted first, and without waiting for fn to
    // end if it is aborted while fn runs: fn keeps what it needs by value, never on the caller's
    // stack.
    void RunOnUiThread(std::function<void()> fn);

    // --- session operations ---
    bool SendCommand(const std::string& text);
    bool ReadReply(std::chrono::milliseconds timeout);
    bool ReadReply() { return ReadReply(m_timeouts.reply); }
    void EndSession();
    void ReportReceiveFailure();

    // sizeToDeclare: the message's size for MAIL FROM's SIZE parameter; 0 declares none.
    void SendEnvelope(std::uint64_t sizeToDeclare);
    void SendMailText();
    void StartAttachmentWorker();
    void AttachmentWorker();

public:
    // --- session state ---
    CBlockingSocket m_socket;
    std::unique_ptr<char[]> m_pReplyBuf;
    std::string m_strReply;     // the code of the last reply
    std::string m_strReplyText; // the whole last reply, shown as a message's detail
    std::string m_strCommand;

    // --- form values ---
    std::string m_strAttachPath;
    std::string m_strAttachName;
    std::string m_strPassword;
    std::string m_strUser;
    std::string m_strSubject;
    std::string m_strRecipient;
    std::string m_strBody;

private:
    enum class DataResult { Sent, ReadFailed, SendFailed };

    bool CheckForm();
    bool OpenSession();
    bool Hello(ServerExtensions& server);
    bool LogIn(const ServerExtensions& server);
    void EndDataAndQuit(bool worker);
    bool SendOrReport(const std::string& text);
    bool SendAndRead(const std::string& text, Command command, std::chrono::milliseconds timeout);
    bool SendAndRead(const std::string& text, Command command) {
        return SendAndRead(text, command, m_timeouts.reply);
    }
    bool Expect(const std::string& text, Command command,
                std::initializer_list<std::string_view> codes, Msg refused,
                std::chrono::milliseconds timeout);
    bool Expect(const std::string& text, Command command,
                std::initializer_list<std::string_view> codes, Msg refused) {
        return Expect(text, command, codes, refused, m_timeouts.reply);
    }
    DataResult SendAttachmentData();
    void ClearAfterSuccess();
    // Tells the user: the reply or the failure that led to it goes with the words.
    void Show(Msg id, std::string argument = {});

    std::string m_serverHost = SMTP_HOST;
    std::uint16_t m_serverPort = SMTP_PORT;
    Timeouts m_timeouts;
    // Keeps why the socket's last call failed, for the next box that tells of a failure.
    void NoteSocketFailure();

    // The message as it goes out after DATA, composed once before MAIL FROM so that the size
    // declared there is the size of what is sent.
    std::string m_headerBlock;
    std::string m_attachHeader;
    Command m_answered = Command::Greeting; // the command the last reply answered

    std::string m_pending; // bytes received after the end of the last reply
    // Why the last send, connect or receive failed, and the system's own words for it.
    Cause m_cause = Cause::None;
    std::string m_reason;
    std::unique_ptr<AttachmentFile> m_attachFile;

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
