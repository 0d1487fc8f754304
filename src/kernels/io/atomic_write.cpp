#include "kernels/io/atomic_write.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qm::io {
namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::atomic<unsigned> g_counter{0};

}  // namespace

AtomicFile::~AtomicFile() { abandon(); }

bool AtomicFile::fail(const char* step) noexcept {
    error_ = errno;
    step_ = step;
    abandon();
    return false;
}

bool AtomicFile::create(const std::string& target, bool follow_links) {
    abandon();
    follow_ = follow_links;
    error_ = 0;
    step_ = "";
    if (target.empty() || target.find('\0') != std::string::npos || target.back() == '/') {
        errno = target.empty() ? ENOENT : EINVAL;
        error_ = errno;
        step_ = "create";
        return false;
    }
    // A link is followed (unless told not to): the file it names is replaced, the link stays.
    target_ = target;
    struct stat ls;
    if (follow_links && ::lstat(target.c_str(), &ls) == 0 && S_ISLNK(ls.st_mode)) {
        char buf[PATH_MAX];
        if (::realpath(target.c_str(), buf)) target_ = buf;
    }
    // Only a regular file (or a new path) is replaced: a device, FIFO or socket
    // renamed over would vanish from the system (/dev/null as a CSV).
    struct stat ts;
    if (::stat(target_.c_str(), &ts) == 0 && !S_ISREG(ts.st_mode) && !S_ISDIR(ts.st_mode)) {
        errno = EEXIST;
        error_ = errno;
        step_ = "not_regular";
        return false;
    }
    const std::string base = folder_of(target_) + "/." + name_of(target_) + "." + std::to_string(::getpid()) + ".";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + std::to_string(g_counter.fetch_add(1)) + ".tmp";
        const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            fd_ = fd;
            temp_ = std::move(candidate);
            return true;
        }
        if (errno != EEXIST) break;
    }
    error_ = errno;
    step_ = "create";
    return false;
}

bool AtomicFile::write(std::string_view data) {
    if (fd_ < 0) {
        errno = EBADF;
        return fail("write");
    }
    while (!data.empty()) {
        const ssize_t w = ::write(fd_, data.data(), data.size());
        if (w < 0) {
            if (errno == EINTR) continue;
            return fail("write");
        }
        data.remove_prefix(static_cast<size_t>(w));
    }
    return true;
}

bool AtomicFile::commit() {
    if (fd_ < 0) {
        errno = EBADF;
        return fail("flush");
    }
    // The replaced file's permission bits carry over (a new file keeps 0666 & ~umask).
    struct stat old;
    const int got = follow_ ? ::stat(target_.c_str(), &old) : ::lstat(target_.c_str(), &old);
    if (got == 0 && S_ISREG(old.st_mode)) (void)::fchmod(fd_, old.st_mode & 07777);
    if (::fsync(fd_) != 0 && errno != EINVAL) return fail("flush");
    if (::close(fd_) != 0) {
        fd_ = -1;
        return fail("flush");
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return fail("rename");
    temp_.clear();
    // The rename itself reaches the disk with the folder.
    const int dir = ::open(folder_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)::fsync(dir);
        ::close(dir);
    }
    return true;
}

void AtomicFile::abandon() noexcept {
    const int saved = errno;
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!temp_.empty()) ::unlink(temp_.c_str());
    temp_.clear();
    errno = saved;
}

bool write_file_atomic(const std::string& path, std::string_view data, int& error, const char*& step,
                       bool follow_links) {
    AtomicFile f;
    const bool ok = f.create(path, follow_links) && f.write(data) && f.commit();
    error = f.error();
    step = f.failed_step();
    return ok;
}

}  // namespace qm::io
