// The attachment worker: streams the file as base64 in 1000-byte pieces, ends the data, quits and
// reports. It owns the session from its start to its end; the UI thread only watches the progress
// counters and may abort it.
#include "mail/mailer.h"

#include "mail/base64.h"
#include "mail/message.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace mail {
namespace {

// Pieces read, encoded and sent at a time: large batches keep system calls few, and memory stays
// at about 1.2 MB whatever the file's size.
constexpr std::size_t kPiecesPerBatch = 512;
constexpr std::size_t kBatchBytes = kPiecesPerBatch * ATTACH_PIECE_SIZE;

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

void CMailer::StartAttachmentWorker() {
    // The worker's waits must not run the UI's event loop.
    m_socket.SetWaitHook(nullptr);
    m_attachSent = 0;
    m_attachTotal = m_attachFile ? m_attachFile->Length() : 0;
    m_workerRunning = true;
    try {
        m_worker = std::thread(&CMailer::AttachmentWorker, this);
    } catch (const std::system_error&) {
        m_workerRunning = false;
        EndSession();
        Show(Msg::WorkerStartFailed);
    }
}

void CMailer::AttachmentWorker() {
    const DataResult data = SendAttachmentData();
    if (data == DataResult::ReadFailed) {
        // No end of data goes out, so the server drops the partial message.
        EndSession();
        Show(Msg::AttachmentReadFailed);
    } else if (data == DataResult::SendFailed) {
        ReportReceiveFailure();
    } else if (SendAndRead(std::string(ClosingText()), m_timeouts.endOfData)) {
        if (m_strReply != "250") {
            EndSession();
            Show(Msg::SendFailed);
        } else if (SendAndRead("quit\r\n")) {
            // The mail was accepted at the end of the data, so success follows a failed QUIT too.
            EndSession();
            if (m_strReply != "221") {
                ShowText(Msg::ReplyCode, m_strReply);
                Show(Msg::QuitFailed);
            }
            m_strReply.clear();
            m_strCommand.clear();
            RunOnUiThread([this] {
                m_strAttachPath.clear();
                m_strAttachName.clear();
            });
            Show(Msg::SentOk);
        }
    }
    m_workerRunning = false;
    OnAttachmentWorkerFinished();
}

// Streams the file: each 1000-byte piece encoded by its own call, so each carries its own line
// count and padding, exactly as if the pieces were encoded one by one and sent in one go.
// ReadFailed also when the file turns out shorter or longer than its length at opening.
CMailer::DataResult CMailer::SendAttachmentData() {
    if (!m_attachFile)
        return DataResult::ReadFailed;
    AttachmentFile& file = *m_attachFile;
    std::vector<unsigned char> in(kBatchBytes);
    std::vector<char> out(kPiecesPerBatch * Base64EncodedSize(ATTACH_PIECE_SIZE));
    std::uint64_t left = file.Length();
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
        const ssize_t got = ReadFully(file, in.data(), want);
        if (got < 0 || static_cast<std::size_t>(got) < want)
            return DataResult::ReadFailed;
        char* o = out.data();
        for (std::size_t off = 0; off < want; off += ATTACH_PIECE_SIZE)
            o += Base64EncodeTo(in.data() + off, std::min(ATTACH_PIECE_SIZE, want - off), o);
        if (!m_socket.Send(out.data(), static_cast<std::size_t>(o - out.data()),
                           m_timeouts.reply)) {
            m_failure = SocketFailureText();
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
