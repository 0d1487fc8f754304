// Bilinear lookup on a rectilinear 2-D grid: the per-step evaluation of the
// shading table (cosine factor over sun azimuth x sun altitude).
//
// Arithmetic follows the common "linear regular-grid interpolator" scheme so
// that results equal it to rounding:
//   * along each axis the interval i is the largest one with x[i] <= v
//     (so v == x[n-1] uses the last interval, weight 1 on its upper end);
//   * t = (v - x[i]) / (x[i+1] - x[i]);
//   * f = v00*(1-t0)*(1-t1) + v01*(1-t0)*t1 + v10*t0*(1-t1) + v11*t0*t1,
//     summed left to right;
//   * an axis with a single point uses that point for both corners, t = 0;
//   * a NaN cell poisons every lookup whose four corners include it, even
//     with weight 0 (0 * NaN is NaN).
// The grid holds no Python objects; lookups are const and thread-safe.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace qm::grid {

enum class GridError { none, empty_axis, first_axis_not_finite, first_axis_not_ascending, second_axis_not_finite,
                       second_axis_not_ascending, value_count };
const char* grid_error_text(GridError e) noexcept;  // "" for none

class Grid2D {
public:
    Grid2D() = default;

    // Axes must be strictly ascending and finite; `values` is row-major with
    // the first axis outermost (values[i * y.size() + j] = f(x[i], y[j])).
    // A refused grid is left empty.
    GridError set(std::vector<double> x, std::vector<double> y, std::vector<double> values);
    // set() with the error as its text: empty on success.
    std::string assign(std::vector<double> x, std::vector<double> y, std::vector<double> values) {
        return grid_error_text(set(std::move(x), std::move(y), std::move(values)));
    }

    bool empty() const noexcept { return x_.empty() || y_.empty(); }
    const std::vector<double>& x() const noexcept { return x_; }
    const std::vector<double>& y() const noexcept { return y_; }

    // True when (x, y) lies on or inside the grid's bounds (NaN is outside).
    bool contains(double x, double y) const noexcept;

    // Interpolated value; the caller checks `contains` first. Points outside
    // (or an empty grid) give NaN.
    double operator()(double x, double y) const noexcept;

private:
    std::vector<double> x_, y_, v_;
};

// Index of the interval of an ascending axis holding v (v inside the axis
// bounds): largest i in [0, n-2] with axis[i] <= v; 0 for a one-point axis.
std::size_t find_interval(const std::vector<double>& axis, double v) noexcept;

}  // namespace qm::grid
