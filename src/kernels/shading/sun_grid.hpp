// Sun positions of a cosine factor table: azimuths 0..360 and altitudes
// 0..90 [deg] with free steps.
//
// The 54-point grid (azimuth step 45, altitude step 15, altitudes 0..75) is
// the one the shading module writes itself; its highest altitude is 75, so
// every lookup above 75 deg falls outside the table. A grid with explicit
// steps runs from 0 by the step up to 360 (azimuth) and 90 (altitude)
// inclusive; when a step does not divide the range, the range's end is added
// as the last point, so every sun above the horizon lies inside the table.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace qm::shading {

struct SunGrid {
    std::vector<double> azimuths;   // [deg], ascending (inner order of a table)
    std::vector<double> altitudes;  // [deg], ascending (outer order)
    size_t size() const noexcept { return azimuths.size() * altitudes.size(); }
};

SunGrid specified_grid();

// Largest number of sun positions a grid may have (a 0.5 deg grid is 131,221).
constexpr size_t kMaxGridPoints = 200000;

enum class GridError {
    none,
    azimuth_step,     // not finite, not positive or above 360
    altitude_step,    // not finite, not positive or above 90
    too_many_points,  // more than kMaxGridPoints
};
const char* grid_error_text(GridError e) noexcept;

// Grid with the given steps [deg]: a step must be finite, positive and at most
// its range (360 or 90), and the grid must stay within kMaxGridPoints
// (`points`, when given, receives the number the steps would make).
GridError grid_for_steps(double azimuth_step, double altitude_step, SunGrid& out, size_t* points = nullptr);

// The same, "" on success, otherwise grid_error_text (developer text).
std::string make_grid(double azimuth_step, double altitude_step, SunGrid& out);

// Points 0, step, 2 step, ... up to `end`, with `end` itself as the last point.
std::vector<double> axis_points(double step, double end);

// An angle as a table writes it: shortest text that reads back to the same
// double ("45", "2.5", "0.1").
std::string angle_text(double deg);

}  // namespace qm::shading
