// Modules laid out on a surface of the building model, their cells, and the
// assignment of modules to strings and strings to MPP trackers.
//
// Surface frame: normal n = the area-weighted mean of the surface's facet
// normals (right-handed vertex order), up = the up-slope direction (world z
// projected on the plane, normalised; +y, north, for a level surface),
// right = up x n (east on a south-facing roof, seen from the front). A point
// of the plane is origin + u * right + w * up [model units, metres]; origin
// is the surface's lowest-left corner of its bounds in (u, w), so every
// vertex has u, w >= 0.
//
// Modules: size module_length x module_width [m]; portrait puts the long side
// up the slope, landscape along the level line. `rows` x `columns` are placed
// from (setback + offset_u, setback + offset_w) with gaps gap_u, gap_w
// between them; `fill` places every module of that grid that lies on the
// surface with the setback all round (for a non-rectangular surface: the
// module grown by the setback must lie on it). Modules are numbered row by
// row from the lower left; strings take consecutive modules
// (modules_per_string, 0: one string), trackers consecutive strings
// (strings_per_tracker, 0: one tracker).
//
// Cells tile the module without margins: cells_across on the short side,
// cells_along on the long side; cell (a, b) is number a * cells_along + b
// (the order ModuleCircuit in strings.hpp uses). Each cell has
// samples x samples points at the centres of its equal sub-squares.
//
// "Lies on the surface": every test point of the module (corners, edge
// midpoints, cell sample points) lies in a facet of the surface: within
// `tolerance` of the facet's plane and inside its edges (barycentric
// coordinates >= -tolerance / facet size). The check names the first module
// that does not; a run refuses it. Tolerance: 1e-6 times the surface's
// extent (a module placed flush with an edge lies on it).
#pragma once
#include <span>
#include <vector>

namespace qm::pv {

struct LayoutSettings {
    double module_length = 1.70, module_width = 1.00;  // [m]
    bool portrait = true;
    bool fill = false;
    int rows = 1, columns = 1;                 // the grid (a bound on it when filling: 0 = no bound)
    double setback = 0.0;                      // from the surface's edges [m]
    double gap_u = 0.02, gap_w = 0.02;         // between modules along the level line / up the slope [m]
    double offset_u = 0.0, offset_w = 0.0;     // of the first module beyond the setback [m]
    int cells_across = 6, cells_along = 10;
    int samples = 1;                           // per cell and side
    int modules_per_string = 0;                // 0: all modules in one string
    int strings_per_tracker = 0;               // 0: all strings on one tracker
};

struct SurfaceFrame {
    double origin[3]{}, right[3]{}, up[3]{}, normal[3]{};
    double u_max = 0.0, w_max = 0.0;  // bounds of the surface in the frame (minimum 0)
};

struct PlacedModule {
    double u = 0.0, w = 0.0;     // lower-left corner in the frame [m]
    double du = 0.0, dw = 0.0;   // size along right and up [m]
    int row = 0, column = 0;     // in the grid, from the lower left
};

struct Layout {
    SurfaceFrame frame;
    std::vector<PlacedModule> modules;
    std::vector<int> string_of_module, tracker_of_string;
    int strings = 0, trackers = 0;
};

enum class LayoutError {
    none,
    no_surface,             // no facet with an area
    settings_out_of_range,  // a size, count or distance out of range
    nothing_fits,           // fill found no place for a module
    module_off_surface,     // a module does not lie on its surface (see `offending`)
};
const char* layout_error_text(LayoutError e) noexcept;

// Turns each facet (9 numbers) whose vertex order disagrees with its normal
// (3 numbers; (v1 - v0) x (v2 - v0) . n < 0) by swapping its last two
// vertices, so that the surface's frame faces where the file's normals say.
void orient_facets(std::span<double> triangles, std::span<const double> normals) noexcept;

// `triangles`: 9 numbers per facet (three vertices), the surface's facets.
LayoutError surface_frame(std::span<const double> triangles, SurfaceFrame& out) noexcept;

// Places the modules and assigns strings and trackers. A grid that leaves
// the surface gives module_off_surface with `offending` its first module.
LayoutError place_modules(std::span<const double> triangles, const LayoutSettings& s, Layout& out,
                          int& offending);

// The first module of `layout` that does not lie on the surface, or -1.
int module_off_surface(std::span<const double> triangles, const Layout& layout, const LayoutSettings& s);

// Sample points of every cell: modules * cells * samples^2 points, 3 numbers
// each (module-major, then cell, then sample row by row), and for each point
// the facet of `triangles` it lies in (-1 if none).
void cell_points(std::span<const double> triangles, const Layout& layout, const LayoutSettings& s,
                 std::vector<double>& xyz, std::vector<int>& facet);

}  // namespace qm::pv
