// Tiles of a city model and the margins that shade them.
//
// A city is published as tiles (one file each). A building near a tile's edge
// is shaded by buildings of the adjacent tiles, so each tile is analysed in a
// scene made of its own triangles and those of other tiles that lie within a
// declared margin distance of its extent:
//   keep triangle T of another tile  <=>  box_xy(T) intersects
//       [lo_x - m, hi_x + m] x [lo_y - m, hi_y + m],
// box_xy(T) the plan-view bounding box of T's vertices [m], (lo, hi) the
// tile's plan-view extent [m], m the margin [m]. Heights are not compared: a
// tall neighbour shades from any height. With a margin at least the farthest
// distance a shadow that matters can reach (building height / tan of the
// lowest sun altitude counted), an edge building gets the same answer as in
// the scene of all tiles together (the casting is exact, so the set of
// triangles hit, not the scene's extent, decides the result).
//
// Frames: every tile's coordinates are relative to its own local origin (the
// readers keep georeferenced coordinates exact that way). Tiles analysed
// together are moved into one shared frame by adding the difference of the
// origins (one rounding per coordinate of a small number), so that a tile
// read alone and the same tile read among its neighbours hold bit-identical
// coordinates.
//
// Decisions: triangles with a non-finite coordinate, or one farther than
// kMaxCoordinate [m] from the frame's origin (wrong units or reference
// system), never enter an extent and are never selected (they cannot shade
// a city's buildings); an empty tile's extent is empty and selects nothing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qm::geom {

// A coordinate beyond this distance from a tile's frame origin [m] is taken
// as a wrong unit or reference system, not as a building.
inline constexpr double kMaxCoordinate = 1.0e7;

enum class TileError {
    none,
    bad_margin,  // margin negative or not finite
    bad_offset,  // a frame offset not finite or beyond kMaxCoordinate
};

// Plan-view extent [m] of a set of triangles.
struct Extent {
    double lo[2] = {0.0, 0.0};
    double hi[2] = {0.0, 0.0};
    bool empty = true;
};

// True when all nine coordinates of a triangle are finite and within kMaxCoordinate.
bool triangle_in_range(const double* tri) noexcept;

// Extent of the in-range triangles of `tris` (9 doubles each, n of them).
Extent xy_extent(const double* tris, size_t n) noexcept;

// Indices (ascending) of the in-range triangles of `tris` whose plan-view box
// comes within `margin` of `tile`. `out` is replaced.
TileError margin_triangles(const double* tris, size_t n, const Extent& tile, double margin,
                           std::vector<uint32_t>& out);

// Adds `offset` (3 doubles [m]: this tile's origin minus the shared frame's)
// to every coordinate of `tris`, in place.
TileError shift_triangles(double* tris, size_t n, const double offset[3]) noexcept;

// Distance between two extents' boxes in plan view [m] (0 when they overlap;
// +inf when either is empty), along the farther axis (the margin is a square
// band): tiles farther apart than the margin need not be read.
double extent_distance(const Extent& a, const Extent& b) noexcept;

}  // namespace qm::geom
