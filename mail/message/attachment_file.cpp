#include "mail/message/attachment_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mail {
namespace {

class PosixFile final : public AttachmentFile {
public:
    PosixFile(int fd, std::uint64_t length) : m_fd(fd), m_length(length) {}
    ~PosixFile() override { ::close(m_fd); }
    PosixFile(const PosixFile&) = delete;
    PosixFile& operator=(const PosixFile&) = delete;

    std::uint64_t Length() const override { return m_length; }
    ssize_t Read(void* buf, std::size_t len) override {
        while (true) {
            const ssize_t n = ::read(m_fd, buf, len);
            if (n >= 0 || errno != EINTR)
                return n < 0 ? -1 : n;
        }
    }

private:
    int m_fd;
    std::uint64_t m_length;
};

} // namespace

std::unique_ptr<AttachmentFile> OpenAttachmentFile(const std::string& path) {
    if (path.empty())
        return nullptr;
    // O_NONBLOCK so that opening a FIFO does not wait for a writer; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return std::make_unique<PosixFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

std::string LastPathComponent(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace mail
