#include "kernels/io/file_read.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace qm::io {
namespace {

void fill_stamp(const struct stat& st, FileStamp& stamp) {
    stamp.size = static_cast<uint64_t>(st.st_size);
    stamp.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    stamp.ctime_ns = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    stamp.dev = static_cast<uint64_t>(st.st_dev);
    stamp.ino = static_cast<uint64_t>(st.st_ino);
}

std::string resolved(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

// Closes the descriptor on every way out.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

FileText::~FileText() { release(); }

void FileText::release() noexcept {
    if (data_ && capacity_) ::munmap(data_, capacity_);
    data_ = nullptr;
    size_ = capacity_ = 0;
}

bool FileText::allocate(size_t n) {
    release();
    if (n == 0) return true;
    void* p = ::mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        error_ = errno;
        return false;
    }
#ifdef MADV_HUGEPAGE
    if (n >= (size_t(4) << 20)) (void)::madvise(p, n, MADV_HUGEPAGE);
#endif
    data_ = static_cast<char*>(p);
    capacity_ = n;
    return true;
}

bool stat_stamp(const std::string& path, FileStamp& stamp) {
    struct stat st;
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &st) != 0) return false;
    stamp.path = resolved(path);
    fill_stamp(st, stamp);
    return true;
}

ReadStatus FileText::open(const std::string& path, FileStamp& stamp) {
    release();
    error_ = 0;
    if (path.find('\0') != std::string::npos) {
        error_ = EINVAL;
        return ReadStatus::open_failed;
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; regular files ignore it.
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (f.fd < 0) {
        error_ = errno;
        return ReadStatus::open_failed;
    }
    struct stat before;
    if (::fstat(f.fd, &before) != 0) {
        error_ = errno;
        return ReadStatus::open_failed;
    }
    if (S_ISDIR(before.st_mode)) {
        error_ = EISDIR;
        return ReadStatus::directory;
    }
    if (!S_ISREG(before.st_mode)) return ReadStatus::not_regular;
    stamp.path = resolved(path);
    fill_stamp(before, stamp);

    // Exactly the size fstat gave, then one more byte to see that the file
    // has not grown; a short read means it shrank.
    const size_t size = static_cast<size_t>(before.st_size);
    if (!allocate(size)) return ReadStatus::read_failed;
    size_t got = 0;
    while (got < size) {
        const ssize_t r = ::read(f.fd, data_ + got, size - got);
        if (r < 0) {
            if (errno == EINTR) continue;
            error_ = errno;
            release();
            return ReadStatus::read_failed;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    char extra;
    ssize_t more;
    do more = ::read(f.fd, &extra, 1);
    while (more < 0 && errno == EINTR);
    struct stat after;
    const bool same = got == size && more == 0 && ::fstat(f.fd, &after) == 0 && after.st_size == before.st_size &&
                      after.st_mtim.tv_sec == before.st_mtim.tv_sec &&
                      after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
                      after.st_ctim.tv_sec == before.st_ctim.tv_sec && after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
    if (!same) {
        release();
        return ReadStatus::changed;
    }
    size_ = size;
    return ReadStatus::ok;
}

}  // namespace qm::io
