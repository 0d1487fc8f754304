// Checks of the weather against the project and the run: the site from the
// weather file's LOCATION line and its comparison with [site], the weather
// module's table treated after its awake, and, before the first step, empty
// fields counted per column, a time step longer than the table's hour, a
// table shorter than the period, and a period that reads the table's year
// more than once.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/core/project_values.hpp"
#include "bindings/manager/internal.hpp"
#include "bindings/manager/project_checks.hpp"
#include "bindings/manager/project_schema.hpp"
#include "bindings/core/util.hpp"
#include "kernels/weather/coverage.hpp"
#include "kernels/weather/epw_table.hpp"

namespace qm::py::mgr {
using namespace nb::literals;
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

namespace {
// The LOCATION of the first module's weather file: (location, file, module key).
bool weather_location(nb::handle modules, epw::Location& loc, std::string& file, std::string& key) {
    for (nb::handle mh : modules) {
        nb::dict m = nb::borrow<nb::dict>(mh);
        if (!m.contains("values")) continue;
        ModuleDeclaration decl;
        read_declaration(m["class"], decl);
        const ProjectValue* w = decl.find(ValueKind::weather);
        if (!w) continue;
        nb::object path = get_item(m["values"], w->key.c_str());
        std::string first;
        try {
            nb::object f = import("builtins").attr("open")(path, "r", "encoding"_a = "utf-8", "errors"_a = "replace");
            first = to_text(f.attr("readline")());
            f.attr("close")();
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OSError)) throw;
            continue;
        }
        if (!epw::parse_location(first, loc)) continue;
        file = to_text(path);
        key = to_text(m["key"]) + "." + w->key;
        return true;
    }
    return false;
}
}  // namespace

const std::vector<SiteLightChoice>& site_light_choices() {
    static const std::vector<SiteLightChoice> choices = {{"transposition_model", {"perez", "isotropic"}},
                                                         {"ground_reflection", {"global", "diffuse"}}};
    return choices;
}

nb::object site_from_weather(const Checker& c, nb::handle modules, bool quiet) {
    epw::Location loc;
    std::string file, key;
    if (!weather_location(modules, loc, file, key)) return nb::object();
    if (loc.time_zone != std::round(loc.time_zone))
        c.fail(key, "缺少 [site]，而天气文件 " + file + " 的时区 " + std::to_string(loc.time_zone) +
                        " 不是整小时：请在 [site] 中给出 time_zone");
    nb::dict site;
    site["longitude"] = nb::float_(loc.longitude);
    site["latitude"] = nb::float_(loc.latitude);
    site["time_zone"] = nb::int_((long long)std::lround(loc.time_zone));
    if (!quiet) {
        char line[160];
        std::snprintf(line, sizeof line, "项目未给出 [site]：按天气文件的 LOCATION 行取纬度 %.4f°、经度 %.4f°、时区 %+d: ",
                      loc.latitude, loc.longitude, int(std::lround(loc.time_zone)));
        print(std::string(line) + file);
    }
    return site;
}

void compare_site_with_weather(const Checker&, nb::dict site, nb::handle modules, bool quiet) {
    epw::Location loc;
    std::string file, key;
    if (quiet || !weather_location(modules, loc, file, key)) return;
    double lat = nb::cast<double>(site["latitude"]), lon = nb::cast<double>(site["longitude"]);
    double tz = double(nb::cast<long long>(site["time_zone"]));
    if (std::fabs(lat - loc.latitude) <= 0.5 && std::fabs(lon - loc.longitude) <= 0.5 && std::fabs(tz - loc.time_zone) < 1.0)
        return;
    char line[200];
    std::snprintf(line, sizeof line,
                  "警告：[site]（纬度 %.4f°，经度 %.4f°，时区 %+g）与天气文件的 LOCATION（纬度 %.4f°，经度 %.4f°，时区 %+g）相差超过 0.5° 或 1 小时: ",
                  lat, lon, tz, loc.latitude, loc.longitude, loc.time_zone);
    print(std::string(line) + file);
}

void treat_weather_table(nb::handle unit, const std::string& name, int start_year, int end_year, bool quiet) {
    ModuleDeclaration decl;
    if (!declaration_of_unit(unit, decl) || decl.missing_codes.empty()) return;
    nb::object params = nb::borrow(unit).attr("in_file_params");
    long flag = decl.position(decl.missing_codes_flag);
    bool enabled = true;
    if (flag >= 0 && PyList_Check(params.ptr()) && flag < PyList_GET_SIZE(params.ptr()))
        enabled = PyObject_IsTrue(PyList_GET_ITEM(params.ptr(), flag)) == 1;
    nb::object data = nb::borrow(unit).attr("data");
    nb::object np = import("numpy");
    if (!nb::hasattr(data, "ndim") || nb::cast<long>(data.attr("ndim")) != 2) return;
    long rows = nb::cast<long>(data.attr("shape")[0]), cols = nb::cast<long>(data.attr("shape")[1]);
    std::string file = to_text(nb::borrow(unit).attr("filename"));
    if (enabled) {
        for (size_t k = 0; k < decl.missing_codes.size() && long(k) < cols; ++k) {
            const auto& [output, code] = decl.missing_codes[k];
            nb::object column = data[nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::int_(k))];
            nb::object mask = column.attr("__eq__")(np.attr("float32")(code));
            long count = nb::cast<long>(mask.attr("sum")());
            if (!count) continue;
            long first = nb::cast<long>(np.attr("argmax")(mask));
            column.attr("__setitem__")(mask, np.attr("nan"));  // in place: the module's table
            char when[64];
            nb::object t = np.attr("datetime64")(std::to_string(start_year) + "-01-01T00", "h") +
                           np.attr("timedelta64")(first, "h");
            std::snprintf(when, sizeof when, "%s", to_text(t).c_str());
            std::string w = when;
            for (char& ch : w)
                if (ch == 'T') ch = ' ';
            char code_text[32];
            std::snprintf(code_text, sizeof code_text, "%g", code);
            if (!quiet)
                print("天气文件 " + file + "（模块 " + name + "）的 " + output + " 列有 " + std::to_string(count) +
                      " 个缺测值 " + code_text + "（第一个在 " + w + ":00），按缺测（NaN）处理");
        }
    }
    // A leap year in the period over a table of a common year: the rows run on by hour.
    if (rows == 8760 && !quiet) {
        for (int y = start_year; y <= end_year; ++y) {
            if (!calendar::is_leap_year(y)) continue;
            print("注意：天气文件 " + file + " 有 8760 行（平年），运行期含闰年 " + std::to_string(y) +
                  "：天气按一年中的小时取用，2 月 29 日用 3 月 1 日的数据，此后顺延一天，12 月 31 日用 1 月 1 日的数据");
            break;
        }
    }
}

}  // namespace qm::py::mgr
