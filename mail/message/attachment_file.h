#pragma once
// The attachment file as the worker sees it: a length fixed when it was opened, and reads.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

namespace mail {

class AttachmentFile {
public:
    virtual ~AttachmentFile() = default;
    // The length in bytes when the file was opened; the worker sends exactly this many.
    virtual std::uint64_t Length() const = 0;
    // Reads up to len bytes: the count, 0 at the end of the file, -1 on a read error.
    virtual ssize_t Read(void* buf, std::size_t len) = 0;
};

// Opens a regular file for reading. Nothing for a missing file, a folder, a FIFO or device, or a
// file the user may not read. The path is in the file system's own encoding (UTF-8 here).
std::unique_ptr<AttachmentFile> OpenAttachmentFile(const std::string& path);

// The last component of a path, as the attachment's name in the part header.
std::string LastPathComponent(const std::string& path);

} // namespace mail
