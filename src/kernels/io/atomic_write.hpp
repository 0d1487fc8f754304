// Replacing a file so that it is, at every moment, either the old file or
// the complete new one: the new contents go to a temporary file in the same
// folder (same file system, so the rename is atomic), which is flushed to
// disk and renamed over the target only when it is complete. An interrupted
// or failed write leaves the old file (or none) and removes the temporary.
#pragma once
#include <string>
#include <string_view>

namespace qm::io {

class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();  // abandons an uncommitted temporary file
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file next to `target` (".<name>.<pid>.<n>.tmp",
    // never an existing file). False with error() set when it cannot. A
    // symbolic link at `target` is followed (the file it names is replaced,
    // as a user expects of an output path) unless `follow_links` is false:
    // then the link itself is replaced (generated caches, which must never
    // write through a link into another file).
    bool create(const std::string& target, bool follow_links = true);
    // The temporary file's path: another writer may fill it instead of write().
    const std::string& temp_path() const noexcept { return temp_; }
    bool write(std::string_view data);
    // Flushes the temporary to disk, gives it the permission bits of the file
    // it replaces and renames it over the target.
    bool commit();
    // Closes and removes the temporary file (the target is untouched).
    void abandon() noexcept;

    int error() const noexcept { return error_; }
    // "create", "not_regular" (the target is a device, FIFO or socket), "write", "flush", "rename"
    const char* failed_step() const noexcept { return step_; }

private:
    bool fail(const char* step) noexcept;
    std::string target_, temp_;
    int fd_ = -1;
    bool follow_ = true;
    int error_ = 0;
    const char* step_ = "";
};

// The whole file at once. False with `error` (errno) and `step` set on failure.
bool write_file_atomic(const std::string& path, std::string_view data, int& error, const char*& step,
                       bool follow_links = true);

}  // namespace qm::io
