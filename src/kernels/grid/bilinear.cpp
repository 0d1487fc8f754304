#include "kernels/grid/bilinear.hpp"

#include "kernels/check.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qm::grid {
namespace {

// none when the axis is strictly ascending with finite points.
GridError check_axis(const std::vector<double>& a, GridError not_finite, GridError not_ascending) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!std::isfinite(a[i])) return not_finite;
        if (i && !(a[i - 1] < a[i])) return not_ascending;
    }
    return GridError::none;
}

}  // namespace

const char* grid_error_text(GridError e) noexcept {
    switch (e) {
        case GridError::none: return "";
        case GridError::empty_axis: return "grid axes must not be empty";
        case GridError::first_axis_not_finite: return "first axis holds a non-finite point";
        case GridError::first_axis_not_ascending: return "first axis is not strictly ascending";
        case GridError::second_axis_not_finite: return "second axis holds a non-finite point";
        case GridError::second_axis_not_ascending: return "second axis is not strictly ascending";
        case GridError::value_count: return "value count does not match the grid";
    }
    return "unknown grid error";
}

GridError Grid2D::set(std::vector<double> x, std::vector<double> y, std::vector<double> values) {
    x_.clear();
    y_.clear();
    v_.clear();
    if (x.empty() || y.empty()) return GridError::empty_axis;
    if (GridError e = check_axis(x, GridError::first_axis_not_finite, GridError::first_axis_not_ascending);
        e != GridError::none)
        return e;
    if (GridError e = check_axis(y, GridError::second_axis_not_finite, GridError::second_axis_not_ascending);
        e != GridError::none)
        return e;
    if (values.size() / x.size() != y.size() || values.size() % x.size() != 0) return GridError::value_count;
    x_ = std::move(x);
    y_ = std::move(y);
    v_ = std::move(values);
    return GridError::none;
}

std::size_t find_interval(const std::vector<double>& axis, double v) noexcept {
    const std::size_t n = axis.size();
    if (n < 2) return 0;
    // First point greater than v, minus one, kept within the n-1 intervals.
    auto it = std::upper_bound(axis.begin(), axis.end(), v);
    std::size_t i = it == axis.begin() ? 0 : static_cast<std::size_t>(it - axis.begin()) - 1;
    return std::min(i, n - 2);
}

bool Grid2D::contains(double x, double y) const noexcept {
    if (empty()) return false;
    return x >= x_.front() && x <= x_.back() && y >= y_.front() && y <= y_.back();
}

double Grid2D::operator()(double x, double y) const noexcept {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (!contains(x, y)) return nan;
    const std::size_t ny = y_.size();
    // Lower corner index and normalised distance along one axis.
    auto locate = [](const std::vector<double>& a, double v, std::size_t& lo, std::size_t& hi, double& t) {
        if (a.size() == 1) {
            lo = hi = 0;
            t = 0.0;
            return;
        }
        lo = find_interval(a, v);
        hi = lo + 1;
        t = (v - a[lo]) / (a[hi] - a[lo]);
    };
    std::size_t i0, i1, j0, j1;
    double t0, t1;
    locate(x_, x, i0, i1, t0);
    locate(y_, y, j0, j1, t1);
    QM_DCHECK(i1 * ny + j1 < v_.size());
    const double v00 = v_[i0 * ny + j0], v01 = v_[i0 * ny + j1];
    const double v10 = v_[i1 * ny + j0], v11 = v_[i1 * ny + j1];
    return v00 * (1 - t0) * (1 - t1) + v01 * (1 - t0) * t1 + v10 * t0 * (1 - t1) + v11 * t0 * t1;
}

}  // namespace qm::grid
