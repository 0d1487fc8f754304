// The two ASCII STL readers.
//
// Block reader: one entry per named solid (first line "solid <name>", last
// line "endsolid ..."), each facet's normal scaled to unit length and its
// vertex lines read at fixed offsets after the "facet normal" line.
// Statistics reader: a token-by-token scan accumulating per-solid area and
// the mean facet normal.
//
// Both compare lines after trimming whitespace and split them at runs of
// whitespace; a solid's name is the rest of its "solid" line, fields joined
// with single spaces ("" for a bare "solid" line). Numbers follow the host's
// float() syntax; text outside ASCII is handed to a caller-supplied converter.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kernels/geometry/stl_text.hpp"

namespace qm::stl {

// Converts a non-ASCII token with the host's rules; returns false when the
// host rejects it. May be null (non-ASCII tokens are then rejected).
struct NumberFallback {
    bool (*fn)(void* ctx, std::string_view token, double& out) = nullptr;
    void* ctx = nullptr;
};

// Why a reader stopped.
struct ParseError {
    enum class Kind { none, bad_number, too_many_vertices } kind = Kind::none;
    std::string token;  // the offending token (bad_number)
    size_t line = 0;    // 1-based line number
    int index = 0;      // vertex row that did not exist (too_many_vertices)
};

// Converts one token as float() does (fallback for non-ASCII text).
bool to_double(std::string_view token, const NumberFallback& fb, double& out);

// ---------------------------------------------------------------- block reader

// Shape of one facet: how many numbers its normal and each vertex line held.
struct FacetShape {
    uint32_t normal_n = 0;
    uint32_t nverts = 0;         // 0..3 vertex lines (fewer when the solid ends first)
    uint32_t vert_n[3] = {0, 0, 0};
};

struct SolidData {
    std::string name;
    std::vector<FacetShape> shapes;  // one per facet
    std::vector<double> values;      // per facet: normal (unit when its length > 0), then vertices
    bool regular = true;             // every facet: 3-number normal, three 3-number vertices
};

// The host's dictionary rule for solids and statistics records: a repeated
// name replaces the earlier entry and keeps its position.
template <typename T>
void put_by_name(std::vector<T>& items, std::unordered_map<std::string, size_t>& slot, T&& item) {
    auto it = slot.find(item.name);
    if (it == slot.end()) {
        slot.emplace(item.name, items.size());
        items.push_back(std::move(item));
    } else {
        items[it->second] = std::move(item);
    }
}

struct Solids;
// put_by_name for solids: the replaced solid is kept in `out.replaced`.
void put_solid(Solids& out, std::unordered_map<std::string, size_t>& slot, SolidData&& item);

struct Solids {
    std::vector<SolidData> solids;  // dictionary order: first occurrence of each name
    // Earlier solids of a repeated name (many exporters name every part alike):
    // replaced as surfaces by the dictionary rule, their triangles still cast shade.
    std::vector<SolidData> replaced;
    size_t facet_count() const noexcept {
        size_t n = 0;
        for (const auto& s : solids) n += s.shapes.size();
        return n;
    }
};

// Reads the text of a whole file. Returns false with `err` set on a number
// that does not convert (the solids read so far are left in `out`).
bool read_blocks(std::string_view text, const NumberFallback& fb, Solids& out, ParseError& err);

// The same result, with large texts cut after "endsolid" lines (where the
// reader is always outside a solid) and the pieces read on up to `threads`
// threads (0: hardware concurrency). Error: the first in text order.
bool read_blocks_parallel(std::string_view text, const NumberFallback& fb, Solids& out, ParseError& err,
                          unsigned threads = 0);

// ----------------------------------------------------------- statistics reader

struct SolidStats {
    std::string name;
    bool has_triangles = false;  // false: integer zeros for area and normal
    double area = 0.0;
    bool zero_normal = true;     // mean normal of length 0 (or not > 0): integer zeros
    double normal[3] = {0.0, 0.0, 0.0};
};

class StatsReader {
public:
    // Processes one line (without its line end). Returns false on failure.
    bool feed(std::string_view line, const NumberFallback& fb, ParseError& err);
    // Ends the input: finishes the current solid. Call once.
    void finish();
    // Records in dictionary order; a repeated name overwrites in place.
    const std::vector<SolidStats>& result() const noexcept { return records_; }

private:
    void finish_solid();

    std::vector<SolidStats> records_;
    std::unordered_map<std::string, size_t> index_;
    std::vector<std::string_view> parts_;
    std::string current_solid_;
    double total_area_ = 0.0, total_nx_ = 0.0, total_ny_ = 0.0, total_nz_ = 0.0;
    int64_t triangle_count_ = 0;
    double tri_[3][3] = {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}};
    double normal_[3] = {0.0, 0.0, 0.0};  // before any facet line: (0, 0, 0)
    int vertex_index_ = 0;
    size_t line_no_ = 0;
};

// A binary STL rather than text: an 80-byte header, a 32-bit triangle count n
// and exactly 50 n bytes after it, with a NUL byte somewhere or a header that
// is not UTF-8 (an ASCII file of that exact size is still text). The one test
// every caller uses.
bool looks_binary(std::string_view text) noexcept;

// Area of a triangle: half the length of (v1 - v0) x (v2 - v0).
double triangle_area(const double* v0, const double* v1, const double* v2) noexcept;

}  // namespace qm::stl
