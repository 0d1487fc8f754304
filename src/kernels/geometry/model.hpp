// A parsed STL model ready for ray casting, and a small cache of models keyed
// by file identity (resolved path, size, inode, modification and status
// change times), so that repeated calls on an unchanged file parse and build
// the tree once.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/io/file_read.hpp"

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
    // Triangles after the named solids' that only cast shade (earlier solids of a repeated name).
    size_t shade_only = 0;
    size_t non_finite_facets = 0;   // facets left out: a vertex coordinate is NaN or infinite
    size_t non_finite_normals = 0;  // facets whose NaN or infinite normal was taken from their vertices
    // Per solid (replaced ones included), the facets with a coordinate beyond
    // ±kMaxTracedCoordinate; the model's users refuse such a model (see below).
    std::vector<std::pair<std::string, size_t>> far_facets;
    // World coordinates of the local origin the coordinates are relative to
    // (a georeferenced CityJSON model's first vertex; zeros for the others).
    double origin[3] = {0.0, 0.0, 0.0};

    // Triangles of the named solids (the scene also holds the shade_only ones after them).
    size_t triangles() const noexcept { return normals.size() / 3 - shade_only; }
};

// The largest coordinate magnitude the occlusion tests take [model units].
// They multiply two coordinate differences (determinant, barycentric
// numerators), which overflow near 1e154: a shading object at 1e300 would
// cast no shade while the same object at 1e30 does. 1e100 leaves a wide
// margin and is far beyond any building or city (1e7 m is the Earth's size).
inline constexpr double kMaxTracedCoordinate = 1e100;

// Builds the combined triangle list (solids in dictionary order) and its tree
// on up to `threads` threads (0: hardware concurrency).
// `origin` (3 doubles, may be null): the model's local origin (Model::origin).
std::shared_ptr<const Model> make_model(const stl::Solids& solids, unsigned threads = 0,
                                        const double* origin = nullptr);

// The status change time is part of the key: a rewrite that restores size
// and modification time (cp -p, tar, rsync -t) is still seen.
using FileKey = io::FileStamp;

// Models by file identity. Time stamps tell two versions apart only when
// they are further apart than the file system's clock granularity, so an
// entry read less than `kRecent` after the file last changed is also checked
// against a hash of the contents before it is trusted.
class ModelCache {
public:
    static constexpr int64_t kRecentNs = 2'000'000'000;

    struct Hit {
        std::shared_ptr<const Model> model;  // null: no entry for this key
        bool verify = false;                 // compare content_hash before use
        uint64_t hash = 0;
    };

    explicit ModelCache(size_t capacity) : capacity_(capacity) {}
    // `variant`: how the file was read (a CityJSON model's level of detail):
    // one file read two ways is two entries.
    Hit find(const FileKey& key, const std::string& variant = {});
    // `now_ns`: the wall-clock time (same clock as the file times) the contents were read.
    void put(const FileKey& key, std::shared_ptr<const Model> model, uint64_t hash, int64_t now_ns,
             const std::string& variant = {});
    // The contents matched the hash: trust the entry from now on when its change is old enough.
    void confirm(const FileKey& key, int64_t now_ns, const std::string& variant = {});
    void clear();

private:
    struct Entry {
        FileKey key;
        std::string variant;
        std::shared_ptr<const Model> model;
        uint64_t hash;
        bool verify;
    };
    std::mutex mutex_;
    size_t capacity_;
    std::vector<Entry> entries_;  // most recent last
};

// A fast 64-bit hash of a text (word at a time; not cryptographic).
uint64_t content_hash(std::string_view text) noexcept;

// The wall-clock time in nanoseconds (the clock of file time stamps).
int64_t wall_clock_ns() noexcept;

}  // namespace qm::geom
