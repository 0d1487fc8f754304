// The cosine factor table: the one text format every table writer shares (the
// shading modules, and `quillmere shade`, which casts the grid on a cluster).
//
//   方位角,高度角,<surface 1>,<surface 2>,...      header (azimuth, altitude)
//   <azimuth>,<altitude>,<factor 1>,<factor 2>,...  one row per grid point
//
// Rows run in grid order: altitude outer, azimuth inner, both ascending (the
// 54-point grid: altitudes 0..75 by 15, azimuths 0..360 by 45). Angles [deg]
// are written in their shortest round-trip text ("45", "2.5"), factors [-]
// with six decimals ("%.6f", as the host's format(v, ".6f")). The header's
// names are Chinese because stored tables and their readers rely on them.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "kernels/shading/sun_grid.hpp"

namespace qm::shading {

// The grid's sun positions in table order: altitudes[p], azimuths[p] [deg].
void grid_positions(const SunGrid& grid, std::vector<double>& altitudes, std::vector<double>& azimuths);

// "方位角,高度角,<names joined by ','>\n".
std::string cos_table_header(const std::vector<std::string>& surfaces);

// A factor as a table writes it: six decimals; "nan", "inf", "-inf" as the host writes them.
std::string factor_text(double v);

// "<azimuth>,<altitude>,<factor>,...\n" for n factors.
std::string cos_table_row(double azimuth, double altitude, const double* factors, size_t n);

// The whole table: header, then one row per grid point in grid order;
// factors[p * surfaces.size() + s] belongs to position p of grid_positions().
std::string cos_table_text(const SunGrid& grid, const std::vector<std::string>& surfaces, const double* factors);

}  // namespace qm::shading
