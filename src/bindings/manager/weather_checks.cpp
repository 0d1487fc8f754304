// Checks of a weather table against the run, made after the weather module's
// awake and before the first step: empty fields counted per column, a time
// step longer than the table's hour, a table shorter than the period, and a
// period that reads the table's year more than once.
#include <cmath>
#include <string>

#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_checks.hpp"
#include "bindings/manager/project_schema.hpp"
#include "kernels/weather/coverage.hpp"

namespace qm::py::mgr {
namespace {

// "2025-03-02 07:00" for row `row` of a table whose first row is 1 January 00:00 of `year`.
std::string row_date(int year, long long row) {
    nb::object np = import("numpy");
    nb::object t = np.attr("datetime64")(std::to_string(year) + "-01-01T00", "h") + np.attr("timedelta64")(row, "h");
    std::string w = to_text(nb::str(t));
    for (char& ch : w)
        if (ch == 'T') ch = ' ';
    return w + ":00";
}

}  // namespace

void check_weather_period(nb::handle unit, const std::string& name, const std::string& key, const std::string& where,
                          const SimClock& clock, bool quiet) {
    ModuleDeclaration decl;
    if (!declaration_of_unit(unit, decl) || decl.missing_codes.empty()) return;  // not an hourly weather table
    nb::object data = nb::borrow(unit).attr("data");
    if (!nb::hasattr(data, "ndim") || nb::cast<long>(data.attr("ndim")) != 2) return;
    const long long rows = nb::cast<long long>(data.attr("shape")[0]);
    const long long cols = nb::cast<long long>(data.attr("shape")[1]);
    const std::string file = to_text(nb::borrow(unit).attr("filename"));
    const ProjectValue* file_value = decl.find(ValueKind::weather);
    const std::string file_key = key + "." + (file_value ? file_value->key : std::string("file"));
    const std::string subject = where.empty() ? "" : where + ": ";

    // A step longer than the table's hour samples one instant per step (a step
    // of a day would take every step's weather at midnight).
    if (clock.time_step > 3600.0) {
        char text[64];
        std::snprintf(text, sizeof text, "%g", clock.time_step);
        raise(project_error(), subject + "键 time_step: 时间步长 " + text + " 秒长于天气文件 " + file +
                                   " 的一小时：每步只取一个时刻的天气（一天的步长每步都取午夜），结果不代表整个步长；"
                                   "请用不超过 3600 秒的步长");
    }
    const double n = std::ceil(clock.end_time / clock.time_step - 1e-9);
    const epw::Coverage cover = epw::period_coverage(clock.begin_time, clock.time_step, (long long)n);
    if (cover.last_row >= rows)
        raise(project_error(), subject + "键 " + file_key + ": 天气文件 " + file + " 只有 " + std::to_string(rows) +
                                   " 行（" + (rows ? "到 " + row_date(clock.start_year, rows - 1) : std::string("无数据")) +
                                   "），运行期需要到第 " + std::to_string(cover.last_row + 1) + " 行（" +
                                   row_date(clock.start_year, cover.last_row) +
                                   "）；请给出覆盖整个运行期的天气文件，或缩短运行期");
    if (quiet) return;
    if (cover.wraps && clock.end_year > clock.start_year)
        print("注意：运行期 " + std::to_string(clock.start_year) + "–" + std::to_string(clock.end_year) +
              " 长于天气文件 " + file + " 的一年（" + std::to_string(rows) + " 行）：每年重复使用这一年的天气");
    // Empty fields (NaN as read), counted before the missing-value codes join them.
    nb::object np = import("numpy");
    for (size_t k = 0; k < decl.missing_codes.size() && (long long)k < cols; ++k) {
        nb::object column = data[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::int_(k))];
        nb::object mask = np.attr("isnan")(column);
        const long long count = nb::cast<long long>(mask.attr("sum")());
        if (!count) continue;
        const long long first = nb::cast<long long>(np.attr("argmax")(mask));
        print("天气文件 " + file + "（模块 " + name + "）的 " + decl.missing_codes[k].first + " 列有 " +
              std::to_string(count) + " 个空值（第一个在 " + row_date(clock.start_year, first) + "），按缺测（NaN）处理");
    }
}

}  // namespace qm::py::mgr
