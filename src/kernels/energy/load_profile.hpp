// The building's electrical demand per simulation step [kW]: read from a
// table the user brings, or a standard profile scaled to an annual energy.
//
// Load table (CSV, "," or ";" between fields, "#" starts a comment line):
//   - an optional header line (its first field is not a number and not a
//     time stamp); the value column's header may carry its unit in brackets,
//     "demand [kW]": kW, W (power over the step) or kWh, Wh (energy of the step);
//   - then either one value per line, one line per step, or "stamp,value"
//     lines whose stamp "YYYY-MM-DD HH:MM[:SS]" (or with "T") is the START of
//     the step the value describes, in the run's standard time (as the
//     results table's index), one line per step without gaps.
// Values are converted to power [kW]: P = v (kW), v / 1000 (W), v / dt (kWh per
// step of dt hours), v / 1000 / dt (Wh).
//
// Mapping to the run's steps (what the implementation decides):
//   - stamped rows: the file must hold every step of the run, found by its
//     stamp; a file of another year, a gap or a repeated stamp is an error
//     (the line and the stamp expected are reported);
//   - unstamped rows: a file of exactly the run's step count is taken row by
//     row; a file of one whole year at the run's step (365 or 366 days of rows)
//     is taken by the position of the step in its year (row = time of the step
//     since 1 January / dt, wrapping around), like the weather table, so a
//     profile measured in another year can be reused; any other length is an error.
//
// Standard profiles: demand(t) = shape[day type][hour] x F(d) x k, with the day
// type weekday / Saturday / Sunday, d the day of the year and k chosen so
// that the profile's whole start year holds the annual energy [kWh].
//   - "household": the hourly shape values below were written for this package
//     after the published shape of the standard residential profile (night
//     base, morning peak, midday plateau, evening peak, higher at weekends);
//     F(d) = -3.92e-10 d^4 + 3.2e-7 d^3 - 7.02e-5 d^2 + 2.1e-3 d + 1.24 is the
//     dynamisation polynomial of that profile (Fünfgeld & Tiedemann (2000),
//     "Anwendung der Repräsentativen VDEW-Lastprofile", BTU Cottbus), higher in
//     winter (1.24 on 1 January, 0.8 in summer).
//   - "commercial": office hours 8-18 on weekdays, low at weekends and at
//     night; F(d) = 1 + 0.1 cos(2 pi (d - 15) / 365) (lighting and heating aux).
// Sub-hourly steps take the value of the hour they lie in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm::energy {

enum class LoadUnit { kW, W, kWh, Wh };
enum class StandardProfile { household, commercial };

enum class LoadError {
    none,
    empty,             // no value lines
    bad_number,        // a value field is not a number (line, token)
    negative,          // a value below 0 (line, token)
    not_finite,        // NaN or inf (line, token)
    bad_stamp,         // a stamp that cannot be read (line, token)
    mixed_rows,        // some lines stamped, some not (line)
    unit_mismatch,     // the header's unit is a power and the table says energy, or the reverse (token)
    unknown_unit,      // a bracketed unit other than kW, W, kWh, Wh in the header (token)
    gap,               // a stamp that is not the previous one plus the step (line, token, expected)
    other_period,      // stamped file does not cover the run (token: first stamp, expected: first step)
    row_count,         // unstamped rows neither the run's steps nor one year of them (count)
};
const char* load_error_text(LoadError e) noexcept;

struct LoadIssue {
    LoadError error = LoadError::none;
    size_t line = 0;          // 1-based line of the file
    std::string token;        // the field in question
    std::string expected;     // what was expected there
    size_t count = 0;         // rows found (row_count)
};

struct LoadTable {
    std::vector<double> values;   // as written in the file
    std::vector<double> stamps;   // seconds since 1 January 00:00 of stamp_base_year, one per value (or empty)
    std::vector<size_t> lines;    // the line of each value
    int stamp_base_year = 0;
    bool header_unit = false;     // the header named a unit
    LoadUnit unit = LoadUnit::kW; // the header's unit (when header_unit)
};

// Reads the table's lines. Stamps are counted from 1 January of `base_year`.
LoadIssue read_load_table(std::string_view text, int base_year, LoadTable& out);

// The run's steps: `n_steps` steps of `dt_s` seconds, the first at `begin_s`
// seconds after 1 January 00:00 of `start_year`.
struct StepGrid {
    int start_year = 2025;
    double begin_s = 0.0;
    double dt_s = 3600.0;
    size_t n_steps = 0;
};

// Demand of every step [kW] from a table read with read_load_table, whose values
// are in `unit` (the project's unit; a header unit must agree in kind, W/Wh
// are converted), scaled to `annual_energy` [kWh/a] when that is > 0.
LoadIssue load_steps(const LoadTable& table, LoadUnit unit, const StepGrid& grid, double annual_energy,
                     std::vector<double>& demand_kw);

// A standard profile for every step [kW], scaled to `annual_energy` [kWh/a] over its start year.
std::vector<double> standard_profile(StandardProfile kind, const StepGrid& grid, double annual_energy);

// Day of the week of a date, 0 = Monday .. 6 = Sunday.
int day_of_week(int64_t year, int month, int day) noexcept;

}  // namespace qm::energy
