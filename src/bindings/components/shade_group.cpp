// The surface shading module: cosine-factor table generation, reading and
// per-surface bilinear lookup.
//
// Start-up work (statistics, table generation, reading and cleaning the CSV
// table, checking each surface column) goes through the host's numerical
// libraries, so the table is read and cleaned exactly as pandas reads it and
// each surface grid is validated by the library interpolator. The per-step
// lookup never calls the host: each validated grid is copied into a native
// bilinear grid (kernels/grid_interp) and evaluated in C++.
#include <nanobind/nanobind.h>

#include <cerrno>
#include <cmath>
#include <string>

#include "bindings/support/common.hpp"
#include "bindings/components/shade_group.hpp"
#include "bindings/shadow_calc/occlusion_scan.hpp"
#include "bindings/core/project_values.hpp"
#include "bindings/core/sim_clock.hpp"
#include "bindings/core/sim_unit.hpp"
#include "bindings/core/util.hpp"
#include "kernels/io/file_read.hpp"
#include "kernels/shading/cos_table.hpp"

namespace qm::py {
namespace {

nb::handle g_type;

constexpr const char* kAzimuth = "方位角";
constexpr const char* kAltitude = "高度角";

// Functions of the other parts of the package used here.
nb::object util_convert_to_valid_path(nb::handle raw) { return convert_to_valid_path(raw); }
nb::object geometry_stl_statistics(nb::handle path, const std::string& lod) { return stl_statistics(path, lod); }
nb::object geometry_calculate_shadow(nb::handle path, nb::handle names, int altitude, int azimuth,
                                     bool from_vertices, const std::string& lod) {
    return model_shadow(path, names, nb::int_(altitude), nb::int_(azimuth), from_vertices, lod);
}

nb::object str_obj(const char* s) { return check(PyUnicode_FromString(s)); }


// A number the bounds cache may hold: host ints and floats, numpy reals.
bool plain_real(nb::handle o, nb::handle np) {
    if (PyFloat_Check(o.ptr()) || PyLong_Check(o.ptr())) return true;
    int rc = PyObject_IsInstance(o.ptr(), np.attr("integer").ptr());
    if (rc < 0) throw_pending();
    if (rc) return true;
    rc = PyObject_IsInstance(o.ptr(), np.attr("floating").ptr());
    if (rc < 0) throw_pending();
    return rc == 1;
}

// A 1-D or 2-D float64 array's elements as doubles, or false when the
// array is not plain float64.
bool float64_values(nb::handle array, nb::handle np, std::vector<double>& out) {
    nb::object dtype = array.attr("dtype");
    if (!dtype.equal(np.attr("dtype")("float64"))) return false;
    nb::object flat = np.attr("ascontiguousarray")(array).attr("ravel")().attr("tolist")();
    Py_ssize_t n = PyList_GET_SIZE(flat.ptr());
    out.resize(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = PyFloat_AsDouble(PyList_GET_ITEM(flat.ptr(), i));
    return true;
}

// The points of a grid axis as the library interpolator takes them: integer
// and float64 axes as doubles; false for any other dtype.
bool axis_values(nb::handle array, nb::handle np, std::vector<double>& out) {
    std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    if (kind != "i" && kind != "u") return float64_values(array, np, out);
    return float64_values(np.attr("asarray")(array, nb::arg("dtype") = "float64"), np, out);
}

}  // namespace

nb::handle surface_shadow_type() { return g_type; }

nb::object SurfaceShadowModule::_get_module_info() {
    return module_info_record("SurfaceShadow",
                              {{1, "param", "stl_file_path", "string", nb::str(""), ""},
                               {2, "param", "csv_file_path", "string", nb::str(""), ""}},
                              2, "表面阴影计算模块");
}

void SurfaceShadowModule::update(nb::handle, nb::handle) {}

void SurfaceShadowModule::set_data(nb::handle frame) {
    data = nb::borrow(frame);
    bounds_.reset();
}

// Encodings a cosine table is read with, in this order (TABLE_ENCODINGS; the report reads tables the same way).
constexpr const char* kTableEncodings[] = {"utf-8", "gbk", "gb2312", "latin1"};

// The project values awake reads, in in_file_params order: the model, the
// table (generated when absent) and the surfaces to tabulate.
ModuleDeclaration shade_group_declaration() {
    ModuleDeclaration d;
    d.values = {required_value("model", ValueKind::model), required_value("table", ValueKind::path_out),
                required_value("surfaces", ValueKind::surfaces)};
    d.generated = {"table"};
    d.settings = {normals_setting()};
    return d;
}

void SurfaceShadowModule::awake(nb::handle) {
    try {
        load_table();
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_FileNotFoundError)) {
            print("错误：未找到文件 " + to_text(csv_file_path));
            return;
        }
        if (e.matches(PyExc_Exception)) {
            print("读取文件时发生错误：" + exception_text(e));
            return;
        }
        throw;
    }
}

void SurfaceShadowModule::load_table() {
    nb::module_ os_path = nb::module_::import_("os.path");
    // Paths, through the package's path normaliser.
    nb::object stl = util_convert_to_valid_path(get_item(in_file_params, nb::int_(0)));
    set_record_value(params, str_obj("stl_file_path"), stl);
    nb::object csv = util_convert_to_valid_path(get_item(in_file_params, nb::int_(1)));
    set_record_value(params, str_obj("csv_file_path"), csv);
    stl = record_value(params, str_obj("stl_file_path"));
    if (!stl.is_none() && !PyUnicode_Check(stl.ptr())) raise_expected("str", stl);
    stl_file_path = stl;
    csv = record_value(params, str_obj("csv_file_path"));
    if (!csv.is_none() && !PyUnicode_Check(csv.ptr())) raise_expected("str", csv);
    csv_file_path = csv;

    // Surfaces to tabulate: the project values after the two paths (after
    // the options, in derived types).
    nb::object rest = check(PySequence_GetSlice(in_file_params.ptr(), first_surface_, PY_SSIZE_T_MAX));
    surfs_analyze_name = check(PySequence_List(rest.ptr()));

    // Statistics of every surface; each record must hold an area and a normal.
    nb::object stats = geometry_stl_statistics(stl_file_path, model_lod());
    if (!stats.is_none() && !PyDict_Check(stats.ptr())) raise_expected("dict", stats);
    surface_stats = stats;
    {
        nb::object items = check(PySequence_List(check(PyObject_CallMethod(stats.ptr(), "items", nullptr)).ptr()));
        nb::object area = str_obj("area"), normal = str_obj("normal");
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
            nb::handle pair = PyList_GET_ITEM(items.ptr(), i);
            nb::object record = check(PySequence_GetItem(pair.ptr(), 1));
            get_item(record, area);
            get_item(record, normal);
        }
    }

    // Table generation when the file is absent (or a regeneration was asked
    // for). A path without a folder part is written in the current folder.
    // Something that exists but is not a file (a folder, a device, a FIFO) is
    // neither read nor replaced.
    const bool exists = nb::cast<bool>(os_path.attr("exists")(csv_file_path));
    const bool is_file = exists && nb::cast<bool>(os_path.attr("isfile")(csv_file_path));
    if (exists && !is_file && !nb::cast<bool>(os_path.attr("isdir")(csv_file_path))) {
        nb::object shown = check(PyObject_Repr(csv_file_path.ptr()));
        raise(PyExc_OSError, "阴影表路径不是普通文件: " + to_text(shown));
    }
    if (!is_file || regenerate_table) {
        nb::object folder = os_path.attr("dirname")(csv_file_path);
        int has_folder = PyObject_IsTrue(folder.ptr());
        if (has_folder < 0) throw_pending();
        if (has_folder && !nb::bool_(os_path.attr("exists")(folder)))
            nb::module_::import_("os").attr("makedirs")(folder);
        replace_table_ = is_file;  // a regenerated table replaces the old one, whole
        try {
            shadow_analyze_output(csv_file_path);
        } catch (...) {
            replace_table_ = false;
            throw;
        }
        replace_table_ = false;
    }

    // Reading, with the encoding fallbacks.
    nb::module_ pd = nb::module_::import_("pandas");
    nb::module_ np = nb::module_::import_("numpy");
    bool read = false;
    for (const char* encoding : kTableEncodings) {
        try {
            nb::object frame = pd.attr("read_csv")(csv_file_path, nb::arg("encoding") = encoding);
            set_data(frame);
            read = true;
            break;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        }
    }
    if (!read) {
        print("错误：无法用任何支持的编码格式读取文件 " + to_text(csv_file_path) + "。");
        return;
    }

    // Both angle columns must be present.
    nb::object az = str_obj(kAzimuth), alt = str_obj(kAltitude);
    for (nb::handle column : {az, alt}) {
        if (!contains(data.attr("columns"), column)) {
            print("错误：数据中缺少 " + to_text(column) + " 列。");
            return;
        }
    }

    // Cleaning: rows without angles go, angles become numbers (text that is
    // not a number becomes missing), rows without angles go again.
    nb::list subset;
    subset.append(az);
    subset.append(alt);
    set_data(data.attr("dropna")(nb::arg("subset") = subset));
    // The column is replaced as a whole: an in-place assignment into a text
    // column is refused by current pandas (and would keep the text dtype).
    for (nb::handle column : {az, alt}) {
        nb::object numeric = pd.attr("to_numeric")(data[column], nb::arg("errors") = "coerce");
        set_item(data, column, numeric);
    }
    set_data(data.attr("dropna")(nb::arg("subset") = subset));

    // Grid axes from the values found.
    nb::object azimuths = np.attr("sort")(np.attr("unique")(data[az]));
    nb::object altitudes = np.attr("sort")(np.attr("unique")(data[alt]));

    interp_index = nb::steal(PyDict_New());
    interps.clear();
    build_interpolators(np, azimuths, altitudes);
}

void SurfaceShadowModule::build_interpolators(nb::handle np, nb::handle azimuths, nb::handle altitudes) {
    nb::object az = str_obj(kAzimuth), alt = str_obj(kAltitude);
    nb::object rgi_type;  // the library interpolator, imported on first need
    nb::object columns = check(PySequence_List(data.attr("columns").ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(columns.ptr()); ++i) {
        nb::object column = nb::borrow(PyList_GET_ITEM(columns.ptr(), i));
        if (column.equal(az) || column.equal(alt)) continue;
        try {
            nb::object pivot = data.attr("pivot_table")(nb::arg("index") = alt, nb::arg("columns") = az,
                                                        nb::arg("values") = column);
            nb::object values = pivot.attr("values");
            nb::object expected = nb::make_tuple(nb::len(altitudes), nb::len(azimuths));
            if (!values.attr("shape").equal(expected))
                raise(PyExc_ValueError, "表面 " + to_text(column) + " 的数值数组形状与方位角和高度角网格不匹配");
            // Plain grids (float64 axes of two or more finite ascending points,
            // float64 values) go straight to the native grid: the library
            // interpolator accepts every such grid, so scipy is imported only
            // for the others, which it validates (and may refuse) itself.
            Interp entry;
            std::vector<double> x, y, v;
            bool plain = nb::len(azimuths) >= 2 && nb::len(altitudes) >= 2 && axis_values(azimuths, np, x) &&
                         axis_values(altitudes, np, y) && float64_values(values.attr("T"), np, v) &&
                         entry.grid.set(x, y, v) == qm::grid::GridError::none;
            if (!plain) {
                if (!rgi_type.is_valid())
                    rgi_type = nb::module_::import_("scipy.interpolate").attr("RegularGridInterpolator");
                nb::object interpolator =
                    rgi_type(nb::make_tuple(azimuths, altitudes), values.attr("T"), nb::arg("method") = "linear");
                entry = Interp();
                nb::object grid = interpolator.attr("grid");
                x.clear(), y.clear(), v.clear();
                plain = nb::len(grid) == 2 && float64_values(grid[0], np, x) && float64_values(grid[1], np, y) &&
                        float64_values(interpolator.attr("values"), np, v) && entry.grid.set(x, y, v) == qm::grid::GridError::none;
                if (!plain) entry.fallback = interpolator;
            }
            nb::object index = nb::int_(static_cast<Py_ssize_t>(interps.size()));
            interps.push_back(std::move(entry));
            set_item(interp_index, column, index);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_Exception)) throw;
            print("创建 " + to_text(column) + " 列的插值函数时出错：" + exception_text(e));
        }
    }
}

bool SurfaceShadowModule::outside_bounds(double altitude, double azimuth) {
    if (!bounds_) {
        // Bounds of the table's angle columns; errors (no table, no column,
        // an empty table) reach the caller.
        nb::module_ np = nb::module_::import_("numpy");
        nb::object az_values = data[str_obj(kAzimuth)].attr("values");
        nb::object alt_values = data[str_obj(kAltitude)].attr("values");
        nb::object bounds[4] = {np.attr("min")(az_values), np.attr("max")(az_values), np.attr("min")(alt_values),
                                np.attr("max")(alt_values)};
        bool numeric = true;
        for (const nb::object& b : bounds) numeric = numeric && plain_real(b, np);
        if (!numeric) {
            // Bounds that are not plain numbers compare with the host's rules, every call.
            nb::object a = nb::float_(azimuth), h = nb::float_(altitude);
            const std::pair<nb::handle, int> tests[4] = {{a, Py_LT}, {a, Py_GT}, {h, Py_LT}, {h, Py_GT}};
            for (int i = 0; i < 4; ++i) {
                int rc = PyObject_RichCompareBool(tests[i].first.ptr(), bounds[i].ptr(), tests[i].second);
                if (rc < 0) throw_pending();
                if (rc) return true;
            }
            return false;
        }
        bounds_ = Bounds{as_double(bounds[0]), as_double(bounds[1]), as_double(bounds[2]), as_double(bounds[3])};
    }
    const Bounds& b = *bounds_;
    return azimuth < b.az_min || azimuth > b.az_max || altitude < b.alt_min || altitude > b.alt_max;
}

double SurfaceShadowModule::get_cos_value(nb::handle solid_name, double altitude, double azimuth) {
    PyObject* found = PyDict_GetItemWithError(interp_index.ptr(), solid_name.ptr());
    if (!found) {
        if (PyErr_Occurred()) throw_pending();
        print("错误：未找到 " + to_text(solid_name) + " 的插值函数。");
        return -1.0;
    }
    Py_ssize_t index = PyLong_AsSsize_t(found);
    if (outside_bounds(altitude, azimuth)) return 0.0;
    if (index < 0 || static_cast<size_t>(index) >= interps.size()) return 0.0;
    const Interp& entry = interps[static_cast<size_t>(index)];
    if (!entry.fallback.is_valid()) {
        // A NaN angle or one outside the grid is an evaluation error: 0.0.
        if (!entry.grid.contains(azimuth, altitude)) return 0.0;
        return entry.grid(azimuth, altitude);
    }
    try {
        nb::list point;
        point.append(nb::float_(azimuth));
        point.append(nb::float_(altitude));
        nb::object result = entry.fallback(point);
        return as_double(result[0]);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        return 0.0;
    }
}

SurfaceShadowModule::Service SurfaceShadowModule::serves_surface(nb::handle surface, std::vector<std::string>& served) {
    if (PyDict_Check(interp_index.ptr())) {
        const int rc = PyDict_Contains(interp_index.ptr(), surface.ptr());
        if (rc < 0) throw_pending();
        if (rc == 1) return Service::served;
    }
    if (data.is_none()) return Service::no_table;
    for (nb::handle col : data.attr("columns")) {
        std::string name = to_text(col);
        if (name != "方位角" && name != "高度角") served.push_back(name);  // the angle columns (cos_table.hpp)
    }
    return Service::not_in_table;
}

void SurfaceShadowModule::shadow_analyze_output(nb::handle output_folder) {
    print("开始阴影分析, 输出结果 到 " + to_text(output_folder));
    const std::string target = fs_path(output_folder, "output_folder");  // refused before any work
    nb::object sys_stderr = nb::module_::import_("sys").attr("stderr");
    bool progress = false;
    if (!sys_stderr.is_none()) {
        try {
            progress = PyObject_IsTrue(sys_stderr.attr("isatty")().ptr()) == 1;
        } catch (nb::python_error&) {
            progress = false;  // a replaced stderr without a terminal
        }
    }
    // The whole table is computed before anything is written, and written in
    // UTF-8 whatever the locale (the reader tries UTF-8 first): an interrupted
    // or failed computation (Ctrl-C, a model that changed) writes nothing.
    std::string table;
    bool header = false;
    const int total = 6 * 9;
    int done = 0;
    // The 54-point grid in table order (cos_table.hpp).
    const shading::SunGrid grid = shading::specified_grid();
    for (double altitude : grid.altitudes) {
        for (double azimuth : grid.azimuths) {
            nb::object results = unpack_pair(geometry_calculate_shadow(stl_file_path, surfs_analyze_name, int(altitude), int(azimuth),
                                                                         normals_from_vertices(), model_lod())).first;
            nb::object names = check(PySequence_List(results.ptr()));
            nb::object values = check(PySequence_List(check(PyObject_CallMethod(results.ptr(), "values", nullptr)).ptr()));
            std::vector<double> factors(static_cast<size_t>(PyList_GET_SIZE(values.ptr())));
            for (size_t i = 0; i < factors.size(); ++i) {
                factors[i] = PyFloat_AsDouble(PyList_GET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i)));
                if (factors[i] == -1.0 && PyErr_Occurred()) throw_pending();
            }
            if (!header) {
                std::vector<std::string> surfaces;
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names.ptr()); ++i)
                    surfaces.push_back(to_text(PyList_GET_ITEM(names.ptr(), i)));
                table += shading::cos_table_header(surfaces);
                header = true;
            }
            table += shading::cos_table_row(azimuth, altitude, factors.data(), factors.size());
            ++done;
            if (progress) {
                std::string bar = "\rshading table: " + std::to_string(done) + "/" + std::to_string(total) +
                                  " sun positions" + (done == total ? "\n" : "");
                sys_stderr.attr("write")(bar);
                sys_stderr.attr("flush")();
            }
        }
    }
    // The operation appends: lines already in the file stay before the new
    // ones, and the file is replaced as a whole (old file or complete new one).
    if (!replace_table_) {
        io::FileText old;
        io::FileStamp stamp;
        io::ReadStatus st;
        {
            nb::gil_scoped_release release;
            st = old.open(target, stamp);
        }
        if (st == io::ReadStatus::ok) {
            table.insert(0, old.text());
        } else if (!(st == io::ReadStatus::open_failed && old.error() == ENOENT)) {
            // An existing file that cannot be read is not replaced.
            nb::object shown = check(PyObject_Repr(output_folder.ptr()));
            raise(PyExc_OSError, "阴影表 " + to_text(shown) + " 已存在但无法读取，未写入");
        }
    }
    write_file_atomic(output_folder, table, "阴影表");
    print("阴影分析结束");
}

nb::object SurfaceShadowModule::get_surf_stats(nb::handle surf_name) {
    if (contains(surface_stats, surf_name)) return get_item(surface_stats, surf_name);
    print("未找到名为 " + to_text(surf_name) + " 的表面统计信息。");
    return nb::none();
}

SurfaceShadowModule::TableState SurfaceShadowModule::table_state() const {
    return {stl_file_path, csv_file_path, data, surfs_analyze_name, surface_stats, interp_index, interps};
}

void SurfaceShadowModule::set_table_state(const TableState& kept) {
    auto copy = [](const nb::object& o) -> nb::object {
        if (PyDict_Check(o.ptr())) return check(PyDict_Copy(o.ptr()));
        if (PyList_Check(o.ptr())) return check(PySequence_List(o.ptr()));
        return o;
    };
    stl_file_path = kept.stl_file_path;
    csv_file_path = kept.csv_file_path;
    set_record_value(params, str_obj("stl_file_path"), stl_file_path);
    set_record_value(params, str_obj("csv_file_path"), csv_file_path);
    set_data(kept.data);
    surfs_analyze_name = copy(kept.surfs_analyze_name);
    surface_stats = copy(kept.surface_stats);
    if (PyDict_Check(surface_stats.ptr())) {  // each surface's record too: a host may change what it was given
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        std::vector<std::pair<nb::object, nb::object>> records;
        while (PyDict_Next(surface_stats.ptr(), &pos, &key, &value))
            if (PyDict_Check(value)) records.emplace_back(nb::borrow(key), check(PyDict_Copy(value)));
        for (auto& [k, v] : records) set_item(surface_stats, k, v);
    }
    interp_index = copy(kept.interp_index);
    interps = kept.interps;
}

int SurfaceShadowModule::traverse(visitproc visit, void* arg) {
    if (int rc = SimUnit::traverse(visit, arg)) return rc;
    for (nb::object* o : {&stl_file_path, &csv_file_path, &data, &surfs_analyze_name, &surface_stats, &interp_index})
        Py_VISIT(o->ptr());
    for (Interp& e : interps) Py_VISIT(e.fallback.ptr());
    return 0;
}

void SurfaceShadowModule::clear() {
    SimUnit::clear();
    for (nb::object* o : {&stl_file_path, &csv_file_path, &data, &surfs_analyze_name, &surface_stats})
        *o = nb::none();
    interp_index = nb::steal(PyDict_New());  // lookups keep working (as unknown surfaces)
    interps.clear();
    bounds_.reset();
}

namespace {
class PySurfaceShadowModule final : public ShadeTrampoline<SurfaceShadowModule> {};
}  // namespace

void bind_shade_group(nb::module_& m) {
    using M = SurfaceShadowModule;
    auto cls = unit_class<M, PySurfaceShadowModule>(
        "quillmere.components.shade_group", "SurfaceShadowModule",
        "表面阴影计算模块: tabulates each surface's sun cosine factor over sun azimuth and altitude (computed once "
        "from the building model and kept as a CSV table) and interpolates it for any sun position.",
        "Returns the module information record: two parameters, the STL and CSV table paths.");
    g_type = cls;
    def_update<M>(cls, "Does nothing: the module has no per-step work.");
    def_awake<M>(cls,
                 "Reads the surface statistics, generates the cosine table when its file is absent, reads it back "
                 "and builds one interpolator per surface column. Problems are printed, never raised.");
    def_shading_operations<M>(cls,
                              "Cosine factor of a surface for a sun at (altitude, azimuth) in degrees: 0.0 outside the "
                              "table, -1.0 for a surface without an interpolator.",
                              "Computes the cosine table on the 54-point grid and appends it to the given table file.");
    cls.def(
        "get_surf_stats",
        [](M& u, arg_as<"str"> surf_name) {
            require_str_or_none(surf_name, "surf_name");
            return result_as<"dict[str, typing.Any] | None">(u.M::get_surf_stats(surf_name));
        },
        nb::arg("surf_name").none(),
        "根据表面名称获取表面统计信息\n\n:param surf_name: 表面名称\n:return: 表面统计信息，如果未找到则返回 None");
    def_attr<M>(
        cls, "_regenerate_table", "bool",
        "Internal: when true, awake computes the table even if its file exists and replaces the file once the "
        "new table is complete.",
        [](M& u) { return u.regenerate_table; },
        [](M& u, nb::handle v) {
            const int t = PyObject_IsTrue(v.ptr());
            if (t < 0) throw_pending();
            u.regenerate_table = t == 1;
        },
        [](M& u) { u.regenerate_table = false; });
    static PyMethodDef get_surf_stats_doc = {
        "get_surf_stats", nullptr, 0,
        "get_surf_stats(self, surf_name)\n--\n\n"
        "根据表面名称获取表面统计信息\n\n:param surf_name: 表面名称\n:return: 表面统计信息，如果未找到则返回 None"};
    set_exact_doc(cls, &get_surf_stats_doc);
    const ModuleDeclaration decl = shade_group_declaration();
    publish_declaration(cls, decl);
    def_setting_attr<M>(cls, decl.setting("normals"), &M::normals, "file",
                        "\"file\" (the facets' normals as written) or \"from-vertices\" (a (0, 0, 0) normal is taken "
                        "from the vertex order, right-hand rule) when the table is computed.");
    def_setting_attr<M>(cls, lod_setting(), &M::lod, "highest",
                        "The level of detail read from a CityJSON model: \"highest\" (each city object's highest) or "
                        "one level (\"2\", \"2.2\", ...); other model formats take only \"highest\".");
    nb::list encodings;
    for (const char* e : kTableEncodings) encodings.append(nb::str(e));
    m.attr("TABLE_ENCODINGS") = nb::tuple(encodings);
    m.attr("SurfaceShadowModule") = cls;
}

}  // namespace qm::py
