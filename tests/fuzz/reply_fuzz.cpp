// The reply reader in any split: a stream of server bytes read reply by reply, as the session does
// (a reply's leftover bytes begin the next one; reading stops at the first bad or overlong reply),
// must give the same verdicts whether the bytes arrive at once or in pieces of any size, and the
// reader never holds more than kMaxReply bytes. Whatever a reply holds, the detail a box would show
// for it is well-formed UTF-8 without controls or bidirectional formatting characters.
//
// Input: one options byte, then the piece sizes, then the bytes the server sends.
//   options bits 0-2: how many piece-size bytes follow (0: pieces of one byte);
//   options bits 3-7: 10000 repeats the bytes until they pass kMaxReply, so that the cap is reached
//                     from small inputs (one value in 32, and in pieces 64 times as big: long
//                     streams are slow to read byte by byte under the sanitizers).
//   piece-size byte b: a piece of b + 1 bytes; the sizes are used in turn, over and over.
#include "fuzz_check.h"
#include "mail/session/reply.h"
#include "mail/words/notice.h"
#include "utf8_check.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using mail::ReplyReader;
using State = ReplyReader::State;

// The reply's text is checked against the stream where it is read, so two equal verdicts also
// mean equal texts.
struct Verdict {
    State state;
    std::string code;
    std::size_t end; // offset in the stream just after the bytes the reader used

    bool operator==(const Verdict&) const = default;
};

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The reply grammar, checked line by line on what the reader called a complete reply: every line
// but the last is "ddd-...", the last is "ddd" or "ddd ...", each code 2xx-5xx, no NUL anywhere.
void CheckCompleteReply(const ReplyReader& reader) {
    const std::string& text = reader.Text();
    FUZZ_CHECK(!text.empty() && text.back() == '\n');
    FUZZ_CHECK(text.find('\0') == std::string::npos);
    std::size_t start = 0;
    std::string_view lastCode;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        std::string_view line(text.data() + start, lf - start);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const bool last = lf + 1 == text.size();
        FUZZ_CHECK(line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]));
        FUZZ_CHECK(line[0] >= '2' && line[0] <= '5');
        if (last)
            FUZZ_CHECK(line.size() == 3 || line[3] == ' ');
        else
            FUZZ_CHECK(line.size() > 3 && line[3] == '-');
        lastCode = line.substr(0, 3);
        start = lf + 1;
    }
    FUZZ_CHECK(reader.Code() == lastCode);
}

// What the reader's verdict says about the bytes from start to end of the stream.
void CheckVerdict(const ReplyReader& reader, std::string_view stream, std::size_t start,
                  std::size_t end) {
    const std::string& text = reader.Text();
    FUZZ_CHECK(text.size() <= ReplyReader::kMaxReply);
    FUZZ_CHECK(end > start);
    const bool endsInNul = stream[end - 1] == '\0';
    // The reader keeps what it read, except a NUL, which ends reading at once.
    FUZZ_CHECK(text == stream.substr(start, end - start - (endsInNul ? 1 : 0)));
    switch (reader.state()) {
    case State::Complete:
        CheckCompleteReply(reader);
        break;
    case State::Malformed:
        FUZZ_CHECK(endsInNul || text.back() == '\n');
        break;
    case State::TooLong:
        // Never before the cap: a reply shorter than kMaxReply is judged on its merits.
        FUZZ_CHECK(text.size() == ReplyReader::kMaxReply);
        break;
    case State::NeedMore:
        FUZZ_CHECK(!endsInNul && end == stream.size());
        break;
    }
}

// The detail a box would show for the reply: once for each reply, as the pieces give the same
// texts.
void CheckDetail(const ReplyReader& reader) {
    mail::Notice notice;
    notice.reply = reader.Text();
    const std::string detail = mail::NoticeDetail(notice);
    FUZZ_CHECK(vtest::IsShowable(detail));
    FUZZ_CHECK(detail.find('\r') == std::string::npos);
}

// Every reply in the stream, each fed all the bytes that are left at once.
std::vector<Verdict> ReadAtOnce(std::string_view stream) {
    std::vector<Verdict> verdicts;
    ReplyReader reader;
    std::size_t pos = 0;
    while (pos < stream.size()) {
        reader = ReplyReader{}; // a new reader for every reply, as the session has it
        const std::size_t start = pos;
        const std::size_t used = reader.Feed(stream.substr(pos));
        FUZZ_CHECK(used <= stream.size() - pos);
        pos += used;
        CheckVerdict(reader, stream, start, pos);
        CheckDetail(reader);
        verdicts.push_back({reader.state(), reader.Code(), pos});
        if (reader.state() != State::Complete)
            break;
    }
    return verdicts;
}

// The same stream arriving in pieces of the given sizes, each piece fed as it comes, with the
// unused rest of a piece fed again to the next reply, as the session's receive buffer does.
std::vector<Verdict> ReadInPieces(std::string_view stream, const std::vector<std::size_t>& sizes) {
    std::vector<Verdict> verdicts;
    ReplyReader reader;
    std::size_t pos = 0;      // bytes used by the reader
    std::size_t received = 0; // bytes that have arrived
    std::size_t next = 0;
    std::size_t start = 0; // where the reply being read begins
    while (true) {
        if (pos == received) {
            if (received == stream.size())
                break;
            received = std::min(stream.size(), received + sizes[next]);
            next = (next + 1) % sizes.size();
        }
        const std::size_t offered = received - pos;
        const std::size_t used = reader.Feed(stream.substr(pos, offered));
        FUZZ_CHECK(used <= offered);
        FUZZ_CHECK(reader.Text().size() <= ReplyReader::kMaxReply);
        pos += used;
        if (reader.state() == State::NeedMore) {
            FUZZ_CHECK(used == offered);
            continue;
        }
        CheckVerdict(reader, stream, start, pos);
        verdicts.push_back({reader.state(), reader.Code(), pos});
        if (reader.state() != State::Complete)
            return verdicts;
        reader = ReplyReader{}; // a new reader for every reply, as the session has it
        start = pos;
    }
    if (pos > start) {
        CheckVerdict(reader, stream, start, pos);
        verdicts.push_back({reader.state(), reader.Code(), pos});
    }
    return verdicts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    const std::uint8_t options = data[0];
    std::size_t sizeBytes = options & 7;
    if (sizeBytes > size - 1)
        sizeBytes = size - 1;
    std::vector<std::size_t> sizes;
    for (std::size_t i = 0; i < sizeBytes; ++i)
        sizes.push_back(std::size_t{data[1 + i]} + 1);
    if (sizes.empty())
        sizes.push_back(1);

    const std::string_view payload(reinterpret_cast<const char*>(data) + 1 + sizeBytes,
                                   size - 1 - sizeBytes);
    std::string stream(payload);
    if ((options & 0xF8) == 0x80 && !payload.empty()) {
        while (stream.size() <= ReplyReader::kMaxReply)
            stream.append(payload);
        for (auto& s : sizes)
            s *= 64;
    }

    const std::vector<Verdict> whole = ReadAtOnce(stream);
    const std::vector<Verdict> pieces = ReadInPieces(stream, sizes);
    FUZZ_CHECK(whole == pieces);
    return 0;
}
