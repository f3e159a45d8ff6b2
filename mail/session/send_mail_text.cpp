// Message composition and closing: the header block and text part, then either the end of the
// data and QUIT, or the attachment part header and the hand-over to the worker.
#include "mail/session/mailer.h"

#include "mail/message/message.h"

namespace mail {

// Sends the blocks composed before MAIL FROM, exactly as they were measured there.
void CMailer::SendMailText() {
    m_strCommand = std::move(m_headerBlock);
    if (!SendOrReport(m_strCommand))
        return;
    m_strCommand.clear();

    if (!m_strAttachPath.empty()) {
        m_strCommand = std::move(m_attachHeader);
        if (!SendOrReport(m_strCommand))
            return;
        m_strCommand.clear();
        StartAttachmentWorker();
        return;
    }
    EndDataAndQuit(false);
}

// The end of the data and QUIT, for both roads. The mail is accepted at the end of the data; a
// QUIT that is not answered with 221 is reported differently: the text road says only that
// leaving failed, the worker shows the code and that leaving failed, then the success.
void CMailer::EndDataAndQuit(bool worker) {
    if (!Expect(std::string(ClosingText()), Command::EndOfData, {"250"}, Msg::SendFailed,
                m_timeouts.endOfData) ||
        !SendAndRead("quit\r\n", Command::Quit))
        return;
    EndSession();
    if (m_strReply != "221") {
        if (worker)
            Show(Msg::ReplyCode, m_strReply);
        Show(Msg::QuitFailed);
        if (!worker)
            return;
    }
    ClearAfterSuccess();
    Show(Msg::SentOk);
}

} // namespace mail
