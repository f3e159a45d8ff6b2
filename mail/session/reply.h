#pragma once
// Framing of SMTP replies, kept apart from the conversation. A reply is one or more lines; each
// line starts with a three-digit code, continuation lines have "-" after it, and the last line has
// a space or nothing after it. Bytes arrive in any split; the reader says when a reply is whole.
#include <cstddef>
#include <string>
#include <string_view>

namespace mail {

class ReplyReader {
public:
    // Upper bound on one reply, continuation lines included. Far above anything real servers send
    // (RFC 5321 allows 512 bytes a line) and small enough that an endless or hostile reply fails
    // fast with bounded memory.
    static constexpr std::size_t kMaxReply = 64 * 1024;

    enum class State {
        NeedMore,  // the reply is not complete yet
        Complete,  // a whole reply has been read; Code() and Text() hold it
        Malformed, // a line that is no reply line: no three digits, a NUL, a code outside 2xx-5xx
        TooLong,   // more than kMaxReply bytes without the end of the reply
    };

    // Takes bytes; returns how many it used. Bytes after the end of a complete reply are not used:
    // they belong to the next reply. Once Complete, Malformed or TooLong, a reader is done: a new
    // reply takes a new reader.
    std::size_t Feed(std::string_view bytes);
    State state() const { return m_state; }
    // The three-digit code of a complete reply.
    const std::string& Code() const { return m_code; }
    // The whole reply as received, line breaks included.
    const std::string& Text() const { return m_text; }

private:
    State EndOfLine();

    State m_state = State::NeedMore;
    std::string m_code;
    std::string m_text;
    std::size_t m_lineStart = 0;
};

} // namespace mail
