// Whole-file reading for the parsers: regular files only, plain read(2)
// calls into an owned buffer (never a memory map: a file truncated by another
// process while it is mapped kills the reader with SIGBUS), and a file that
// changes while it is read is reported instead of being half taken.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace qm::io {

// Identity of a file's contents as the file system shows it: a rewrite that
// restores size and modification time (cp -p, tar, rsync -t) still changes
// the status change time, which no ordinary call can set back.
struct FileStamp {
    std::string path;  // resolved (realpath), or as given when it cannot be resolved
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    int64_t ctime_ns = 0;
    uint64_t dev = 0, ino = 0;
    bool operator==(const FileStamp&) const = default;
};

enum class ReadStatus {
    ok,
    open_failed,  // open(2) or fstat(2) failed: `error` holds errno
    directory,    // a directory (the host's IsADirectoryError)
    not_regular,  // a device, FIFO or socket: never read (it may never end)
    changed,      // the file's size or times changed while it was read
    read_failed,  // read(2) failed: `error` holds errno
};

class FileText {
public:
    FileText() = default;
    ~FileText();
    FileText(const FileText&) = delete;
    FileText& operator=(const FileText&) = delete;

    // Reads the whole file at `path` (a FIFO is not waited for: it is opened
    // without blocking and refused). On ok, text() holds the contents and
    // `stamp` the identity they belong to.
    ReadStatus open(const std::string& path, FileStamp& stamp);
    std::string_view text() const noexcept { return {data_, size_}; }
    int error() const noexcept { return error_; }

private:
    // The buffer: private anonymous memory (not backed by the file, so no
    // change to the file can fault it), in huge pages where the system
    // offers them, and not zero-filled before the read fills it.
    bool allocate(size_t n);
    void release() noexcept;
    char* data_ = nullptr;
    size_t size_ = 0, capacity_ = 0;
    int error_ = 0;
};

// The stamp of a file without reading it (false when stat fails).
bool stat_stamp(const std::string& path, FileStamp& stamp);

// Length of a UTF-8 byte-order mark at the start of `text` (0 or 3).
inline size_t utf8_bom_length(std::string_view text) noexcept {
    return text.size() >= 3 && text[0] == '\xEF' && text[1] == '\xBB' && text[2] == '\xBF' ? 3 : 0;
}

}  // namespace qm::io
