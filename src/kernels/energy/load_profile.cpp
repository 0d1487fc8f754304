#include "kernels/energy/load_profile.hpp"

#include <cmath>
#include <cstdio>

#include "kernels/text/lines.hpp"
#include "kernels/text/number_parse.hpp"
#include "kernels/time/calendar.hpp"

namespace qm::energy {

const char* load_error_text(LoadError e) noexcept {
    switch (e) {
        case LoadError::none: return "none";
        case LoadError::empty: return "no values";
        case LoadError::bad_number: return "value is not a number";
        case LoadError::negative: return "value below 0";
        case LoadError::not_finite: return "value not finite";
        case LoadError::bad_stamp: return "time stamp cannot be read";
        case LoadError::mixed_rows: return "stamped and unstamped lines mixed";
        case LoadError::unit_mismatch: return "header unit is not of the table's kind (power or energy)";
        case LoadError::unknown_unit: return "header unit unknown";
        case LoadError::gap: return "stamps not consecutive at the step";
        case LoadError::other_period: return "stamps do not cover the run";
        case LoadError::row_count: return "row count neither the steps nor one year";
    }
    return "unknown";
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (the days-from-civil algorithm).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool digits(std::string_view s, size_t at, size_t n, int& out) {
    if (at + n > s.size()) return false;
    int v = 0;
    for (size_t i = at; i < at + n; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + (s[i] - '0');
    }
    out = v;
    return true;
}

// "YYYY-MM-DD HH:MM[:SS]" (or "T" between) -> seconds since 1 January of base_year.
bool parse_stamp(std::string_view s, int base_year, double& out) {
    int y, mo, d, h, mi, se = 0;
    if (s.size() != 16 && s.size() != 19) return false;
    if (!digits(s, 0, 4, y) || s[4] != '-' || !digits(s, 5, 2, mo) || s[7] != '-' || !digits(s, 8, 2, d)) return false;
    if ((s[10] != ' ' && s[10] != 'T') || !digits(s, 11, 2, h) || s[13] != ':' || !digits(s, 14, 2, mi)) return false;
    if (s.size() == 19 && (s[16] != ':' || !digits(s, 17, 2, se))) return false;
    if (mo < 1 || mo > 12 || d < 1 || d > calendar::days_in_month(y, mo) || h > 23 || mi > 59 || se > 59) return false;
    const int64_t days = days_from_civil(y, mo, d) - days_from_civil(base_year, 1, 1);
    out = double(days) * 86400.0 + h * 3600.0 + mi * 60.0 + se;
    return true;
}

std::string stamp_text(int base_year, double seconds) {
    const int64_t day0 = days_from_civil(base_year, 1, 1);
    const int64_t total = int64_t(std::floor(seconds));
    int64_t days = total >= 0 ? total / 86400 : -((-total + 86399) / 86400);
    int64_t rest = total - days * 86400;
    // civil-from-days
    int64_t z = day0 + days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp + (mp < 10 ? 3 : -9);
    const int64_t y = yoe + era * 400 + (m <= 2);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld", (long long)y, (long long)m, (long long)d,
                  (long long)(rest / 3600), (long long)(rest % 3600 / 60));
    return buf;
}

bool read_unit(std::string_view field, LoadUnit& unit, std::string& token) {
    size_t a = field.find('['), b = field.find(']');
    if (a == std::string_view::npos || b == std::string_view::npos || b < a) return false;
    std::string_view u = py_strip(field.substr(a + 1, b - a - 1));
    token = std::string(u);
    if (u == "kW") unit = LoadUnit::kW;
    else if (u == "W") unit = LoadUnit::W;
    else if (u == "kWh") unit = LoadUnit::kWh;
    else if (u == "Wh") unit = LoadUnit::Wh;
    else return true;  // a unit we do not know: reported by the caller (token set, kind unchanged)
    token.clear();
    return true;
}

bool is_energy(LoadUnit u) { return u == LoadUnit::kWh || u == LoadUnit::Wh; }

LoadIssue issue(LoadError e, size_t line = 0, std::string token = {}, std::string expected = {}) {
    LoadIssue i;
    i.error = e;
    i.line = line;
    i.token = std::move(token);
    i.expected = std::move(expected);
    return i;
}

// Hourly shapes [relative], Monday-Friday, Saturday, Sunday.
constexpr double kHousehold[3][24] = {
    {0.45, 0.38, 0.34, 0.33, 0.34, 0.42, 0.70, 0.95, 0.85, 0.72, 0.68, 0.70,
     0.78, 0.74, 0.66, 0.64, 0.72, 0.95, 1.20, 1.30, 1.25, 1.10, 0.85, 0.60},
    {0.50, 0.42, 0.37, 0.35, 0.35, 0.38, 0.48, 0.68, 0.90, 1.00, 1.02, 1.05,
     1.08, 0.98, 0.86, 0.80, 0.84, 1.00, 1.18, 1.25, 1.20, 1.08, 0.88, 0.65},
    {0.52, 0.44, 0.38, 0.35, 0.34, 0.36, 0.42, 0.55, 0.78, 0.98, 1.10, 1.22,
     1.28, 1.05, 0.88, 0.82, 0.86, 1.00, 1.15, 1.22, 1.16, 1.02, 0.82, 0.62},
};
constexpr double kCommercial[3][24] = {
    {0.30, 0.28, 0.28, 0.28, 0.28, 0.32, 0.45, 0.80, 1.20, 1.35, 1.40, 1.40,
     1.30, 1.35, 1.38, 1.35, 1.25, 1.00, 0.70, 0.50, 0.40, 0.35, 0.32, 0.30},
    {0.28, 0.27, 0.27, 0.27, 0.27, 0.28, 0.32, 0.42, 0.55, 0.62, 0.65, 0.65,
     0.60, 0.52, 0.45, 0.40, 0.36, 0.33, 0.31, 0.30, 0.29, 0.28, 0.28, 0.28},
    {0.27, 0.27, 0.27, 0.27, 0.27, 0.27, 0.28, 0.30, 0.32, 0.33, 0.34, 0.34,
     0.33, 0.32, 0.31, 0.30, 0.30, 0.29, 0.29, 0.28, 0.28, 0.28, 0.27, 0.27},
};

// Unscaled demand of the standard profile at `seconds` after 1 January of `year`.
double shape_at(StandardProfile kind, int year, double seconds) {
    const int64_t day_index = int64_t(std::floor(seconds / 86400.0));
    const int hour = int(std::floor((seconds - double(day_index) * 86400.0) / 3600.0));
    const int wd = int(((days_from_civil(year, 1, 1) + day_index) % 7 + 7 + 3) % 7);  // 1970-01-01 was a Thursday
    const int type = wd < 5 ? 0 : wd == 5 ? 1 : 2;
    const double d = double(day_index % 366 + 1);
    if (kind == StandardProfile::household) {
        const double f = (((-3.92e-10 * d + 3.2e-7) * d - 7.02e-5) * d + 2.1e-3) * d + 1.24;
        return kHousehold[type][hour] * f;
    }
    return kCommercial[type][hour] * (1.0 + 0.1 * std::cos(2.0 * 3.141592653589793 * (d - 15.0) / 365.0));
}

}  // namespace

int day_of_week(int64_t year, int month, int day) noexcept {
    return int(((days_from_civil(year, month, day) % 7) + 7 + 3) % 7);
}

LoadIssue read_load_table(std::string_view text, int base_year, LoadTable& out) {
    out = LoadTable{};
    out.stamp_base_year = base_year;
    text::LineCutter cut(text);
    std::string_view line;
    size_t n = 0;
    bool first = true;
    int stamped = -1;  // unknown, 0 or 1
    while (cut.next(line)) {
        ++n;
        std::string_view s = py_strip(line);
        if (s.empty() || s.front() == '#') continue;
        size_t sep = s.find_first_of(",;");
        std::string_view stamp, value = s;
        if (sep != std::string_view::npos) {
            stamp = py_strip(s.substr(0, sep));
            value = py_strip(s.substr(sep + 1));
            if (value.find_first_of(",;") != std::string_view::npos) {
                // A trailing empty field ("v,") is allowed; more columns are not.
                std::string_view rest = value.substr(value.find_first_of(",;"));
                if (py_strip(rest.substr(1)).empty()) value = py_strip(value.substr(0, value.find_first_of(",;")));
                else return issue(LoadError::bad_number, n, std::string(s), "一列数值或 时间,数值 两列");
            }
        }
        double v = 0.0, t = 0.0;
        bool number = parse_py_float(value, v);
        if (first) {
            first = false;
            bool stamp_ok = sep != std::string_view::npos && parse_stamp(stamp, base_year, t);
            if (!number && !stamp_ok) {  // the header
                std::string unknown;
                if (read_unit(value, out.unit, unknown)) {
                    if (!unknown.empty()) return issue(LoadError::unknown_unit, n, unknown, "kW, W, kWh 或 Wh");
                    out.header_unit = true;
                }
                continue;
            }
        }
        const int this_stamped = sep != std::string_view::npos ? 1 : 0;
        if (stamped >= 0 && this_stamped != stamped) return issue(LoadError::mixed_rows, n, std::string(s));
        stamped = this_stamped;
        if (this_stamped) {
            if (!parse_stamp(stamp, base_year, t)) return issue(LoadError::bad_stamp, n, std::string(stamp), "YYYY-MM-DD HH:MM");
            out.stamps.push_back(t);
        }
        if (!number) return issue(LoadError::bad_number, n, std::string(value));
        if (!std::isfinite(v)) return issue(LoadError::not_finite, n, std::string(value));
        if (v < 0.0) return issue(LoadError::negative, n, std::string(value));
        out.values.push_back(v);
        out.lines.push_back(n);
    }
    if (out.values.empty()) return issue(LoadError::empty);
    return {};
}

LoadIssue load_steps(const LoadTable& table, LoadUnit unit, const StepGrid& grid, double annual_energy,
                     std::vector<double>& demand_kw) {
    demand_kw.assign(grid.n_steps, 0.0);
    if (!(grid.dt_s > 0.0) || !std::isfinite(grid.dt_s)) return issue(LoadError::row_count);  // no steps to map to
    LoadUnit effective = unit;
    if (table.header_unit) {
        if (is_energy(table.unit) != is_energy(unit))
            return issue(LoadError::unit_mismatch, 0,
                         table.unit == LoadUnit::kW ? "kW" : table.unit == LoadUnit::W ? "W"
                         : table.unit == LoadUnit::kWh ? "kWh" : "Wh",
                         is_energy(unit) ? "kWh" : "kW");
        effective = table.unit;
    }
    const double dt_h = grid.dt_s / 3600.0;
    double to_kw = 1.0;
    switch (effective) {
        case LoadUnit::kW: to_kw = 1.0; break;
        case LoadUnit::W: to_kw = 1e-3; break;
        case LoadUnit::kWh: to_kw = 1.0 / dt_h; break;
        case LoadUnit::Wh: to_kw = 1e-3 / dt_h; break;
    }
    const size_t rows = table.values.size();
    std::vector<size_t> row_of(grid.n_steps, 0);
    if (!table.stamps.empty()) {
        const double t0 = table.stamps.front();
        for (size_t i = 1; i < rows; ++i) {
            const double want = t0 + double(i) * grid.dt_s;
            if (std::fabs(table.stamps[i] - want) > 0.5)
                return issue(LoadError::gap, table.lines[i], stamp_text(table.stamp_base_year, table.stamps[i]),
                             stamp_text(table.stamp_base_year, want));
        }
        const double k0 = (grid.begin_s - t0) / grid.dt_s;
        const double k0r = std::round(k0);
        if (k0 < -1e-9 || std::fabs(k0 - k0r) > 1e-6 || k0r + double(grid.n_steps) > double(rows))
            return issue(LoadError::other_period, table.lines.front(),
                         stamp_text(table.stamp_base_year, t0) + " .. " + stamp_text(table.stamp_base_year, table.stamps.back()),
                         stamp_text(table.stamp_base_year, grid.begin_s) + " .. " +
                             stamp_text(table.stamp_base_year, grid.begin_s + double(grid.n_steps - (grid.n_steps > 0)) * grid.dt_s));
        for (size_t k = 0; k < grid.n_steps; ++k) row_of[k] = size_t(k0r) + k;
    } else if (rows == grid.n_steps) {
        for (size_t k = 0; k < grid.n_steps; ++k) row_of[k] = k;
    } else {
        const double span_days = double(rows) * grid.dt_s / 86400.0;
        if (std::fabs(span_days - 365.0) > 1e-6 && std::fabs(span_days - 366.0) > 1e-6) {
            LoadIssue i = issue(LoadError::row_count);
            i.count = rows;
            return i;
        }
        for (size_t k = 0; k < grid.n_steps; ++k) {
            const double pos = std::floor((grid.begin_s + double(k) * grid.dt_s) / grid.dt_s + 1e-9);
            row_of[k] = size_t(std::fmod(pos, double(rows)));
        }
    }
    double factor = to_kw;
    if (annual_energy > 0.0) {
        double sum = 0.0;
        for (double v : table.values) sum += v * to_kw * dt_h;
        const double per_year = sum * (365.0 * 24.0) / (double(rows) * dt_h);
        factor = per_year > 0.0 && std::isfinite(per_year) ? to_kw * annual_energy / per_year : 0.0;
        if (!std::isfinite(factor)) factor = 0.0;
    }
    for (size_t k = 0; k < grid.n_steps; ++k) {
        demand_kw[k] = table.values[row_of[k]] * factor;
        // A value that overflows once converted (1e308 kWh per quarter hour) is not a demand.
        if (!std::isfinite(demand_kw[k]))
            return issue(LoadError::not_finite, table.lines[row_of[k]], std::to_string(table.values[row_of[k]]));
    }
    return {};
}

std::vector<double> standard_profile(StandardProfile kind, const StepGrid& grid, double annual_energy) {
    std::vector<double> out(grid.n_steps, 0.0);
    if (!(grid.dt_s > 0.0) || !std::isfinite(grid.dt_s)) return out;
    const double dt_h = grid.dt_s / 3600.0;
    // The profile's energy over its whole start year at the run's step.
    const double year_s = (calendar::is_leap_year(grid.start_year) ? 366.0 : 365.0) * 86400.0;
    double sum = 0.0;
    for (double t = 0.0; t < year_s - 1e-6; t += grid.dt_s) sum += shape_at(kind, grid.start_year, t) * dt_h;
    const double k = sum > 0.0 ? annual_energy / sum : 0.0;
    for (size_t i = 0; i < grid.n_steps; ++i)
        out[i] = shape_at(kind, grid.start_year, grid.begin_s + double(i) * grid.dt_s) * k;
    return out;
}

}  // namespace qm::energy
