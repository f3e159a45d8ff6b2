#pragma once
// The reply side of one session: whole replies from the connection, one at a time, however the
// bytes are split, through the reply buffer that exists only while the session runs. Framing is
// ReplyReader's; this keeps the bytes that arrived after a reply for the next one, and says why a
// reply could not be read.
#include "mail/connection/connection.h"
#include "mail/words/catalogue.h"

#include <chrono>
#include <memory>
#include <string>

namespace mail {

// Why the connection's last call failed, in the words' terms: a broken connection (or an abort,
// which nobody is told of) unless the connection names a cause.
Cause CauseOf(const CBlockingSocket& socket);

class ReplyChannel {
public:
    // Allocates the reply buffer for a new session; false if there is no memory for it.
    bool Open();
    // Frees the buffer and forgets every byte received.
    void Close();
    bool IsOpen() const { return m_pReplyBuf != nullptr; }

    // Receives until one whole reply has arrived, within timeout. False if the connection closed
    // or failed, the time ran out, or the bytes are no SMTP reply; FailureCause() and
    // FailureReason() then say which.
    bool ReadReply(CBlockingSocket& socket, std::chrono::milliseconds timeout);
    // The last whole reply: its three-digit code, and all of it as received.
    const std::string& Code() const { return m_code; }
    const std::string& Text() const { return m_text; }
    // Bytes that came after the last whole reply. A client may pipeline nothing, so before a change
    // of stream (STARTTLS) they can only be an attacker's, injected into the plain text.
    bool HasPending() const { return !m_pending.empty(); }

    Cause FailureCause() const { return m_cause; }
    const std::string& FailureReason() const { return m_reason; }

private:
    bool Fail(Cause cause, std::string reason = {});

    std::unique_ptr<char[]> m_pReplyBuf;
    std::string m_pending;
    std::string m_code;
    std::string m_text;
    Cause m_cause = Cause::None;
    std::string m_reason;
};

} // namespace mail
