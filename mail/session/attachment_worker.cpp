// The attachment worker: streams the file as base64, ends the data, quits and reports. It owns the
// session from its start to its end; the UI thread only watches the progress counters and may abort
// it.
#include "mail/session/mailer.h"

#include "mail/message/base64.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace mail {
namespace {

// Bytes read, encoded and sent at a time: whole pieces, and whole 57-byte lines of base64 so that
// batches continue one another's lines.
// The least size that is both (57 and 1000 share no factor).
constexpr std::size_t kLinesAndPieces = kBase64LineBytes * ATTACH_PIECE_SIZE;
// Nine of them, 513,000 bytes, keep system calls few while memory stays at about 1.2 MB whatever
// the file's size.
constexpr std::size_t kUnitsPerBatch = 9;
constexpr std::size_t kBatchBytes = kUnitsPerBatch * kLinesAndPieces;
static_assert(kBatchBytes % ATTACH_PIECE_SIZE == 0 && kBatchBytes % kBase64LineBytes == 0);

// Reads until len bytes are in or the file ends. The count, or -1 on a read error.
ssize_t ReadFully(AttachmentFile& file, unsigned char* buf, std::size_t len) {
    std::size_t got = 0;
    while (got < len) {
        const ssize_t n = file.Read(buf + got, len - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

} // namespace

void CMailer::StartAttachmentWorker(std::unique_ptr<AttachmentFile> file) {
    // The worker's waits must not run the UI's event loop.
    m_socket.SetWaitHook(nullptr);
    m_attachSent = 0;
    m_attachTotal = file->Length();
    m_workerRunning = true;
    try {
        m_worker = std::thread(&CMailer::AttachmentWorker, this, std::move(file));
    } catch (const std::system_error&) {
        m_workerRunning = false;
        EndSession();
        Tell(Msg::WorkerStartFailed);
    }
}

void CMailer::AttachmentWorker(std::unique_ptr<AttachmentFile> file) {
    const DataResult data = SendAttachmentData(*file);
    file.reset();
    if (data == DataResult::ReadFailed) {
        // No end of data goes out, so the server drops the partial message.
        EndSession();
        Tell(Msg::AttachmentReadFailed);
    } else if (data == DataResult::SendFailed) {
        ReportReceiveFailure();
    } else {
        EndDataAndQuit(true);
    }
    m_workerRunning = false;
    m_frontEnd.OnAttachmentWorkerFinished();
}

// Streams the file as one continuous base64 text, exactly as if the whole file were encoded in one
// call: 76-character lines, padding only at the very end. (Encoding each piece on its own would
// put padding in the middle of the data, and RFC 2045 decoders may stop at the first "=": they
// would keep only the first piece.) ReadFailed also when the file turns out shorter or longer than
// its length at opening.
CMailer::DataResult CMailer::SendAttachmentData(AttachmentFile& file) {
    std::vector<unsigned char> in(kBatchBytes);
    std::vector<char> out(Base64EncodedSize(kBatchBytes));
    std::uint64_t left = file.Length();
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
        const ssize_t got = ReadFully(file, in.data(), want);
        if (got < 0 || static_cast<std::size_t>(got) < want)
            return DataResult::ReadFailed;
        const std::size_t encoded = Base64EncodeTo(in.data(), want, out.data());
        if (!m_socket.Send(out.data(), encoded, m_timeouts.reply)) {
            NoteSocketFailure();
            return DataResult::SendFailed;
        }
        left -= want;
        m_attachSent += want;
    }
    unsigned char extra;
    if (file.Read(&extra, 1) != 0)
        return DataResult::ReadFailed; // grew while being sent, or a read error at the end
    return DataResult::Sent;
}

} // namespace mail
