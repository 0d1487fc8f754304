// The file of a run's exact factors: one line per sun position,
//   altitude,azimuth,<factor of surface 1>,<factor of surface 2>,...
// after a header line "altitude,azimuth,<surface names>". Numbers are written
// in their shortest round-trip form, so a reread file gives the same bits.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qm::shading {

struct FactorTable {
    std::vector<std::string> surfaces;
    std::vector<double> altitudes, azimuths;  // [deg], one per position
    std::vector<double> factors;              // positions x surfaces, row-major
    size_t positions() const noexcept { return altitudes.size(); }
};

std::string factor_table_text(const FactorTable& table);

// Reads what factor_table_text wrote for `surfaces` columns. Returns "" on
// success, otherwise what is wrong with the text (line number included).
std::string parse_factor_table(std::string_view text, size_t surfaces, FactorTable& out);

}  // namespace qm::shading
