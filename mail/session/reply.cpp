#include "mail/session/reply.h"

namespace mail {

std::size_t ReplyReader::Feed(std::string_view bytes) {
    std::size_t used = 0;
    while (used < bytes.size() && m_state == State::NeedMore) {
        const char c = bytes[used++];
        if (c == '\0') {
            m_state = State::Malformed;
            break;
        }
        m_text.push_back(c);
        if (c == '\n')
            m_state = EndOfLine();
        else if (m_text.size() >= kMaxReply)
            m_state = State::TooLong;
    }
    return used;
}

// Judges the line that has just ended with LF (a CR before it is allowed and expected).
ReplyReader::State ReplyReader::EndOfLine() {
    std::string_view line(m_text);
    line.remove_prefix(m_lineStart);
    line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    m_lineStart = m_text.size();

    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (line.size() < 3 || !digit(line[0]) || !digit(line[1]) || !digit(line[2]))
        return State::Malformed;
    if (line[0] < '2' || line[0] > '5')
        return State::Malformed;
    m_code.assign(line.substr(0, 3)); // the last line's code is the reply's
    if (line.size() == 3 || line[3] == ' ')
        return State::Complete;
    if (line[3] == '-')
        return m_text.size() >= kMaxReply ? State::TooLong : State::NeedMore;
    return State::Malformed;
}

} // namespace mail
