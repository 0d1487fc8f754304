#include "kernels/geometry/model.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace qm::geom {

std::shared_ptr<const Model> make_model(const stl::Solids& solids, unsigned threads) {
    auto m = std::make_shared<Model>();
    const size_t T = solids.facet_count();
    std::vector<double> tris;
    tris.reserve(9 * T);
    m->normals.reserve(3 * T);
    for (const auto& s : solids.solids) {
        m->names.push_back(s.name);
        m->first.push_back(m->normals.size() / 3);
        m->count.push_back(s.shapes.size());
        if (!s.regular && !m->irregular) {
            size_t k = 0;
            while (k < s.shapes.size()) {
                const auto& sh = s.shapes[k];
                if (sh.normal_n != 3 || sh.nverts != 3 || sh.vert_n[0] != 3 || sh.vert_n[1] != 3 ||
                    sh.vert_n[2] != 3)
                    break;
                ++k;
            }
            m->irregular = true;
            m->irregular_solid = s.name;
            m->irregular_facet = k;
        }
        if (m->irregular) continue;
        const double* v = s.values.data();
        for (size_t k = 0; k < s.shapes.size(); ++k, v += 12) {
            m->normals.insert(m->normals.end(), v, v + 3);
            tris.insert(tris.end(), v + 3, v + 12);
        }
    }
    if (!m->irregular) m->scene = std::make_unique<Scene>(std::move(tris), threads);
    return m;
}

std::shared_ptr<const Model> ModelCache::find(const FileKey& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i].first == key) {
            auto hit = entries_[i];
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(i));
            entries_.push_back(hit);
            return hit.second;
        }
    }
    return nullptr;
}

void ModelCache::put(const FileKey& key, std::shared_ptr<const Model> model) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A path holds one model at a time: an older version of the file is dropped.
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const auto& e) { return e.first.path == key.path; }),
                   entries_.end());
    entries_.emplace_back(key, std::move(model));
    while (entries_.size() > capacity_) entries_.erase(entries_.begin());
}

void ModelCache::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

bool FileMap::open(const std::string& path, FileKey& key) {
    if (path.find('\0') != std::string::npos) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    char resolved[PATH_MAX];
    key.path = ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
    key.size = static_cast<uint64_t>(st.st_size);
    key.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    key.dev = static_cast<uint64_t>(st.st_dev);
    key.ino = static_cast<uint64_t>(st.st_ino);
    size_ = static_cast<size_t>(st.st_size);
    bool ok = true;
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            data_ = p;
            mapped_ = true;
            ::madvise(p, size_, MADV_SEQUENTIAL);
        } else {
            // Fall back to reading the file.
            buffer_.resize(size_);
            size_t got = 0;
            while (got < size_) {
                const ssize_t r = ::read(fd, buffer_.data() + got, size_ - got);
                if (r <= 0) break;
                got += static_cast<size_t>(r);
            }
            ok = got == size_;
            data_ = buffer_.data();
        }
    }
    ::close(fd);
    return ok;
}

FileMap::~FileMap() {
    if (mapped_) ::munmap(data_, size_);
}

}  // namespace qm::geom
