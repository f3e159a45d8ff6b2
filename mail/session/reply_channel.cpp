#include "mail/session/reply_channel.h"

#include "mail/constants.h"
#include "mail/session/reply.h"

#include <new>
#include <utility>

namespace mail {

Cause CauseOf(const CBlockingSocket& socket) {
    using Error = CBlockingSocket::Error;
    static constexpr std::pair<Error, Cause> kCauses[] = {
        {Error::Resolve, Cause::Resolve},     {Error::Refused, Cause::Refused},
        {Error::Connect, Cause::Unreachable}, {Error::TimedOut, Cause::TimedOut},
        {Error::Closed, Cause::Closed},       {Error::Secure, Cause::Secure}};
    for (const auto& [error, cause] : kCauses)
        if (socket.LastError() == error)
            return cause;
    return Cause::Network;
}

bool ReplyChannel::Open() {
    m_pReplyBuf.reset(new (std::nothrow) char[REPLY_BUFFER_SIZE]);
    m_pending.clear();
    return m_pReplyBuf != nullptr;
}

void ReplyChannel::Close() {
    m_pReplyBuf.reset();
    m_pending.clear();
}

bool ReplyChannel::ReadReply(CBlockingSocket& socket, std::chrono::milliseconds timeout) {
    const auto deadline = socket.NetworkDeadline(timeout);
    ReplyReader reader;
    m_pending.erase(0, reader.Feed(m_pending));
    while (reader.state() == ReplyReader::State::NeedMore) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline() - CBlockingSocket::Clock::now());
        if (left.count() < 0)
            return Fail(Cause::TimedOut);
        const ssize_t n = socket.Receive(m_pReplyBuf.get(), REPLY_BUFFER_SIZE, left);
        if (n <= 0) // closed, failed or timed out: all the same to the user, the detail tells which
            return Fail(CauseOf(socket), socket.FailureReason());
        const std::string_view got(m_pReplyBuf.get(), static_cast<std::size_t>(n));
        const std::size_t used = reader.Feed(got);
        m_pending.assign(got.substr(used));
    }
    if (reader.state() != ReplyReader::State::Complete)
        return Fail(Cause::NotSmtp); // no reply line, or no end to the reply
    m_code = reader.Code();
    m_text = reader.Text();
    return true;
}

bool ReplyChannel::Fail(Cause cause, std::string reason) {
    m_cause = cause;
    m_reason = std::move(reason);
    return false;
}

} // namespace mail
