// A parsed STL model ready for ray casting, and a small cache of models keyed
// by file identity (resolved path, size, modification time), so that repeated
// calls on an unchanged file parse and build the tree once.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/stl_read.hpp"

namespace qm::geom {

struct Model {
    std::vector<std::string> names;        // solids in dictionary order
    std::vector<size_t> first;             // per solid: first triangle in the combined list
    std::vector<size_t> count;             // per solid: number of facets
    std::vector<double> normals;           // 3 per triangle, unit when their length > 0
    std::unique_ptr<Scene> scene;          // null when the model is irregular
    // Set when some facet lacks three vertices of three numbers (or a 3-number normal):
    bool irregular = false;
    std::string irregular_solid;
    size_t irregular_facet = 0;

    size_t triangles() const noexcept { return normals.size() / 3; }
};

// Builds the combined triangle list (solids in dictionary order) and its tree
// on up to `threads` threads (0: hardware concurrency).
std::shared_ptr<const Model> make_model(const stl::Solids& solids, unsigned threads = 0);

struct FileKey {
    std::string path;  // resolved
    uint64_t size = 0;
    int64_t mtime_ns = 0;
    uint64_t dev = 0, ino = 0;
    bool operator==(const FileKey&) const = default;
};

class ModelCache {
public:
    explicit ModelCache(size_t capacity) : capacity_(capacity) {}
    std::shared_ptr<const Model> find(const FileKey& key);
    void put(const FileKey& key, std::shared_ptr<const Model> model);
    void clear();

private:
    std::mutex mutex_;
    size_t capacity_;
    std::vector<std::pair<FileKey, std::shared_ptr<const Model>>> entries_;  // most recent last
};

// Maps a whole regular file read-only. Fails (ok() false) on any error.
class FileMap {
public:
    FileMap() = default;
    // Opens `path`; on success fills `key` from the open descriptor.
    bool open(const std::string& path, FileKey& key);
    ~FileMap();
    FileMap(const FileMap&) = delete;
    FileMap& operator=(const FileMap&) = delete;
    std::string_view text() const noexcept { return {static_cast<const char*>(data_), size_}; }

private:
    void* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::string buffer_;
};

}  // namespace qm::geom
