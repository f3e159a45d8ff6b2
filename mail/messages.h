#pragma once
// The catalogue of every text the user sees from the mail session, named by what happened.
// Code names the entry; the table holds the words. Texts are handed out as code-page-936 bytes.
#include <string>
#include <string_view>

namespace mail {

enum class Msg {
    NeedUserAndPassword,     // user name or password empty
    NeedCompleteContent,     // recipient or subject empty
    NeedBodyOrAttachment,    // body and attachment path both empty
    OutOfMemory,             // reply buffer not allocated
    CreateSocketFailed,      // socket not created
    ReceiveFailed,           // connect failed, a receive failed or timed out, or a send failed
    WrongAccount,            // the password line was not answered with 235
    SendFailed,              // the data was refused (DATA not 354, end of data not 250)
    QuitFailed,              // QUIT not answered with 221
    SentOk,                  // the mail went out
    ReplyCode,               // the bare reply code (text is the code itself)
    LineBreakInField,        // CR, LF or NUL in a one-line field
    UnsendableCharacter,     // a character code page 936 cannot represent
    AttachmentOpenFailed,    // the path does not name a readable regular file
    AttachmentReadFailed,    // reading failed or the file changed size while it was sent
    AttachmentBusy,          // "send" pressed while the attachment worker runs
    ConfirmQuitWhileSending, // closing the form while the attachment worker runs
    ConfirmQuitMidCommand,   // closing the form while the send command waits on the server
    WorkerStartFailed,       // the attachment worker could not be started
    SubjectTooLong,          // the subject would make a header line longer than SMTP allows
    SecureConnectFailed,     // TLS handshake or certificate check failed
};

// The text of an entry in UTF-8, as written in our sources.
std::string_view MessageUtf8(Msg id);

// The text of an entry as code-page-936 bytes, converted once.
const std::string& MessageText(Msg id);

// A short hint for a reply code that users commonly meet (UTF-8), or an empty view.
std::string_view ReplyHintUtf8(std::string_view code);

} // namespace mail
