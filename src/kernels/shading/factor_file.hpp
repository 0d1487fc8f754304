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

enum class FactorFileError {
    none,
    empty,       // no header line
    header,      // the header is not "altitude,azimuth,<the expected surface names>"
    not_number,  // a field that is not a number
    count,       // a line with another number of fields than 2 + surfaces
    range,       // an angle that is not finite, or a factor outside [0, 1] (NaN included; views may pass 1 by 1e-6)
    surface,     // a views line that names another surface than expected there
};
const char* factor_file_error_text(FactorFileError e) noexcept;

// Reads what factor_table_text wrote for the surfaces `names` (the header must
// name them, in order) and checks every value's range; `line` is the 1-based
// line of the first fault.
FactorFileError read_factor_table(std::string_view text, const std::vector<std::string>& names, FactorTable& out,
                                  size_t& line);

// Reads what factor_table_text wrote for `surfaces` columns (the header's
// names and the values' ranges unchecked). Returns "" on success, otherwise
// what is wrong with the text (developer text, line number included).
std::string parse_factor_table(std::string_view text, size_t surfaces, FactorTable& out);

// The file of the surfaces' views: a header "surface,<view names>" (today
// "surface,sky_view,ground_view"; any number of named views), then one line
// per surface in column order, "<name>,<value>,...", values in [0, 1] written
// with 17 significant digits. A surface name may hold commas: the values are
// the last fields of a line.
struct ViewTable {
    std::vector<std::string> views;     // column names after "surface"
    std::vector<std::string> surfaces;  // one line each
    std::vector<double> values;         // surfaces x views, row-major
};

std::string view_table_text(const ViewTable& table);

// Reads a view file for `surfaces` and `views` (header, names and ranges checked).
FactorFileError read_view_table(std::string_view text, const std::vector<std::string>& surfaces,
                                const std::vector<std::string>& views, ViewTable& out, size_t& line);

}  // namespace qm::shading
