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
    UnsendableCharacter,     // a character that cannot be sent exactly
    AttachmentOpenFailed,    // the path does not name a readable regular file
    AttachmentReadFailed,    // reading failed or the file changed size while it was sent
    AttachmentBusy,          // "send" pressed while the attachment worker runs
    ConfirmQuitWhileSending, // closing the form while the attachment worker runs
    ConfirmQuitMidCommand,   // closing the form while the send command waits on the server
    WorkerStartFailed,       // the attachment worker could not be started
    SubjectTooLong,          // the subject would make a header line longer than SMTP allows
    SecureConnectFailed,     // TLS handshake or certificate check failed
    AuthNotAccepted,         // AUTH not answered with 334, or no way of logging in we know
    MailTooLarge,            // larger than the server's SIZE; %1 is the limit in MiB
    ControlCharacterInPath,  // a line break or other control character in the attachment path
};

// The command a server's reply answered: what the reply means to the user depends on it.
enum class Command {
    Greeting,
    Hello,
    Auth,
    User,
    Password,
    MailFrom,
    RcptTo,
    Data,
    EndOfData,
    Quit
};

// A short hint that tells the user what to do about a refusal.
enum class Hint {
    None,
    AuthorizationCode, // the password is refused: the provider wants the client authorisation code
    EnableSmtp,        // the sender is refused: SMTP may be off for the account
    SenderIsAccount,   // the sender must be the account that logged in
    RecipientRefused,  // the recipient does not exist or is refused
    TooLarge,          // the mail is too large for the server
    Spam,              // the message was taken for spam
};

// The text of an entry in UTF-8, as written in our sources.
std::string_view MessageUtf8(Msg id);

// The text of an entry as code-page-936 bytes, converted once.
const std::string& MessageText(Msg id);

// The hint for a reply to a command (the whole reply, as received), or Hint::None.
Hint ChooseHint(Command answered, std::string_view reply);

// The words of a hint in UTF-8; empty for Hint::None.
std::string_view HintUtf8(Hint hint);

} // namespace mail
