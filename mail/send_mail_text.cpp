// Message composition and closing: the header block and text part, then either the end of the
// data and QUIT, or the attachment part header and the hand-over to the worker.
#include "mail/mailer.h"

#include "mail/message.h"

namespace mail {

void CMailer::SendMailText() {
    m_strCommand =
        ComposeHeaderBlock({m_strUser, m_strRecipient, m_strSubject, m_strBody, LocalTimeText()});
    if (!SendOrReport(m_strCommand))
        return;
    m_strCommand.clear();

    if (!m_strAttachPath.empty()) {
        m_strCommand += ComposeAttachmentHeader(m_strAttachName);
        if (!SendOrReport(m_strCommand))
            return;
        m_strCommand.clear();
        StartAttachmentWorker();
        return;
    }

    m_strCommand += ClosingText();
    if (!SendAndRead(m_strCommand, m_timeouts.endOfData))
        return;
    if (m_strReply != "250") {
        EndSession();
        Show(Msg::SendFailed);
        return;
    }
    m_strCommand = "quit\r\n";
    if (!SendAndRead(m_strCommand))
        return;
    if (m_strReply != "221") {
        EndSession();
        Show(Msg::QuitFailed);
        return;
    }
    EndSession();
    m_strReply.clear();
    m_strCommand.clear();
    m_strAttachPath.clear();
    m_strAttachName.clear();
    Show(Msg::SentOk);
}

} // namespace mail
