#include "kernels/shading/cos_table.hpp"

#include <cmath>
#include <cstdio>

namespace qm::shading {

void grid_positions(const SunGrid& grid, std::vector<double>& altitudes, std::vector<double>& azimuths) {
    altitudes.clear(), azimuths.clear();
    altitudes.reserve(grid.size()), azimuths.reserve(grid.size());
    for (double h : grid.altitudes)
        for (double a : grid.azimuths) altitudes.push_back(h), azimuths.push_back(a);
}

std::string cos_table_header(const std::vector<std::string>& surfaces) {
    std::string text = "方位角,高度角";
    for (const auto& n : surfaces) text.append(1, ',').append(n);
    return text.append(1, '\n');
}

std::string factor_text(double v) {
    // printf writes a negative NaN as "-nan"; the host writes "nan".
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
    char buf[400];  // %.6f of the largest double has 309 digits before the point
    std::snprintf(buf, sizeof buf, "%.6f", v);
    return buf;
}

std::string cos_table_row(double azimuth, double altitude, const double* factors, size_t n) {
    std::string text = angle_text(azimuth);
    text.append(1, ',').append(angle_text(altitude));
    for (size_t k = 0; k < n; ++k) text.append(1, ',').append(factor_text(factors[k]));
    return text.append(1, '\n');
}

std::string cos_table_text(const SunGrid& grid, const std::vector<std::string>& surfaces, const double* factors) {
    std::string text = cos_table_header(surfaces);
    const size_t S = surfaces.size();
    size_t p = 0;
    for (double h : grid.altitudes)
        for (double a : grid.azimuths) text += cos_table_row(a, h, factors + S * p++, S);
    return text;
}

}  // namespace qm::shading
