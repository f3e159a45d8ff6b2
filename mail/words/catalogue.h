#pragma once
// The catalogue of every word the user reads: the boxes of the mail session and of the form, why a
// connection failed, the hints about a server's refusal, and the front end's own words (the form,
// the About box, the menu, the help and credit texts). Code names the entry by what happened; the
// table holds the words, in UTF-8, every one of them representable in code page 936 like all
// built-in texts of the program. No Qt here: the command-line drivers print the same words.
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
    ReplyCode,               // the bare reply code (%1 is the code)
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
    RecipientNotOneAddress,  // the recipient is not one mailbox (ParseRecipient gave nothing)
    AccountNotLocalPart, // the account is more than a local part (AccountLocalPart gave nothing)
    NoEncryption,        // a server elsewhere offers no STARTTLS: no secret goes out
    MailTooLargeKb,      // larger than a SIZE under 1 MiB; %1 is the limit in KiB
};

// Why the connection to the server failed, shown with the system's own reason after it.
enum class Cause {
    None,
    Resolve,     // the server's name has no address
    Refused,     // nothing listens at the server's address and port
    Unreachable, // any other failure to connect
    TimedOut,    // the server (or its name server) did not answer in time
    Closed,      // the server closed the connection
    NotSmtp,     // what the server sent is no SMTP reply (or an endless one)
    Secure,      // the secure connection could not be made or its certificate is wrong
    Network,     // the connection broke while sending or receiving
};

// The front end's own words.
enum class Word {
    Caption,    // the form's and every box's title
    SendButton, // IDOK
    ExitButton, // IDCANCEL
    UserLabel,  // the labels of the form's fields
    PasswordLabel,
    RecipientLabel,
    SubjectLabel,
    BodyLabel,
    AttachButton,      // IDC_ATTACH
    AttachmentFilter,  // the chooser's one filter
    Progress,          // IDC_BLANK while the attachment goes out; %1 is the percentage
    BannerDescription, // what the banner shows, for a screen reader
    AboutCaption,      // IDD_ABOUTBOX
    AboutVersionLine,  // %1 is the version, major and minor
    AboutSecondLine,
    AboutOk,
    AboutItem,  // IDS_ABOUTBOX, the About item with its access key
    MenuAuthor, // IDR_MAINMENU's two commands
    MenuHelp,
    HelpText, // the texts the two commands show
    CreditText,
    RememberAccount,   // the check box that keeps the account in the desktop's keyring
    CancelSend,        // the button that stops a send in flight
    AttachPathName,    // the path field, for a screen reader
    StatusDescription, // the status line, for a screen reader
    StatusConnecting,  // the status line while the send command has come that far
    StatusLoggingIn,
    StatusSending,
    StatusUploading, // %1 the percentage, %2 bytes sent, %3 the file's size, %4 the rate
    StatusSent,
    StatusCancelled,
    StatusDraftRestored,
    StatusNoKeyring,
    StatusDropRefused, // a drop that is not one local file
};

// The command a server's reply answered: what the reply means to the user depends on it.
enum class Command {
    Greeting,
    Hello,
    StartTls,
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

// The words of an entry; "%1" stands where an argument goes. Empty for Cause::None and
// Hint::None.
std::string_view Words(Msg id);
std::string_view Words(Cause cause);
std::string_view Words(Hint hint);
std::string_view Words(Word word);

// The words of an entry with "%1" replaced by argument.
std::string WordsWith(Msg id, std::string_view argument);
std::string WordsWith(Word word, std::string_view argument);

// The hint for a reply to a command (the whole reply, as received), or Hint::None.
Hint ChooseHint(Command answered, std::string_view reply);

} // namespace mail
