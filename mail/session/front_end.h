#pragma once
// What the mail core needs of the program in front of it: the form, a command-line driver or a
// test. The mailer calls these and nothing else of its owner.
#include "mail/words/notice.h"

#include <functional>

namespace mail {

// How far a send has come, for a front end that shows it.
enum class Stage {
    Connecting, // looking up the server, connecting, the greeting, EHLO and TLS
    LoggingIn,  // AUTH
    Sending,    // the envelope and the message, the attachment included
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // Shows a message box and returns when the user has closed it. Always called on the UI thread.
    virtual void ShowMessage(const Notice& notice) = 0;
    // The send command has reached stage. Called on the UI thread.
    virtual void OnStage(Stage /*stage*/) {}
    // Called over and over while a socket call on the UI thread waits, the name lookup included.
    virtual void WhileWaiting() {}
    // Queues task to run on the UI thread; the default runs it at once on the calling thread.
    virtual void PostToUiThread(std::function<void()> task) { task(); }
    // Closes the message box that ShowMessage has open for the worker, as if the user had closed
    // it; called on the UI thread when the worker is aborted while it waits for that box.
    virtual void CloseMessage() {}
    // Called on the worker thread as its last act; the front end then has the UI thread call
    // CMailer::ReapAttachmentWorker().
    virtual void OnAttachmentWorkerFinished() {}
};

} // namespace mail
