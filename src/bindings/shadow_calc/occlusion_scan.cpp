// quillmere.shadow_calc.occlusion_scan: STL reading, surface statistics and
// sun occlusion. The parsing and casting run in the kernels without the GIL;
// this file only converts arguments, prints, raises and builds results.
#include "bindings/shadow_calc/occlusion_scan.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bindings/shadow_calc/model_files.hpp"
#include "bindings/support/common.hpp"
#include "kernels/geometry/model.hpp"
#include "kernels/geometry/model_read.hpp"
#include "kernels/geometry/occlusion.hpp"
#include "kernels/geometry/self_match.hpp"
#include "kernels/geometry/surface_faces.hpp"
#include "kernels/geometry/stl_read.hpp"
#include "kernels/geometry/stl_text.hpp"
#include "kernels/io/file_read.hpp"

namespace qm::py {
namespace {

using geom::FileKey;
using geom::Model;
using geom::ModelCache;

geom::ModelCache& model_cache() {
    static geom::ModelCache cache(2);
    return cache;
}

// ------------------------------------------------------------------ helpers

// The encoding open() uses when none is given (lower case).
std::string default_encoding() {
    static PyObject* locale_mod = PyImport_ImportModule("locale");
    if (!locale_mod) throw_pending();
    nb::object enc = check(PyObject_CallMethod(locale_mod, "getpreferredencoding", "O", Py_False));
    std::string e = to_text(enc);
    for (auto& c : e) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return e;
}

bool is_utf8_name(const std::string& e) { return e == "utf-8" || e == "utf8" || e == "utf_8"; }

// f"<prefix>{obj}" printed through the host's print.
void print_prefixed(const char* prefix, nb::handle obj) {
    nb::object formatted = check(PyObject_Format(obj.ptr(), nullptr));
    nb::object head = check(PyUnicode_FromString(prefix));
    print(check(PyUnicode_Concat(head.ptr(), formatted.ptr())));
}

// Non-ASCII number tokens go to the host's float().
bool host_float(void*, std::string_view token, double& out) {
    nb::gil_scoped_acquire gil;
    PyObject* s = PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), "strict");
    if (!s) {
        PyErr_Clear();
        return false;
    }
    PyObject* f = PyFloat_FromString(s);
    Py_DECREF(s);
    if (!f) {
        PyErr_Clear();
        return false;
    }
    out = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return true;
}
const stl::NumberFallback kHostFloat{&host_float, nullptr};

// The host exception for a reader failure.
[[noreturn]] void raise_parse_error(const stl::ParseError& err) {
    if (err.kind == stl::ParseError::Kind::too_many_vertices) {
        PyErr_Format(PyExc_IndexError, "index %d is out of bounds for axis 0 with size 3", err.index);
        throw nb::python_error();
    }
    nb::object tok = check(PyUnicode_DecodeUTF8(err.token.data(), static_cast<Py_ssize_t>(err.token.size()),
                                                "surrogateescape"));
    PyErr_Format(PyExc_ValueError, "could not convert string to float: %R", tok.ptr());
    throw nb::python_error();
}

nb::object utf8_str(const std::string& s) {
    return check(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogateescape"));
}

std::string_view utf8_view(nb::handle s) {
    Py_ssize_t n = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!data) throw_pending();
    return {data, static_cast<size_t>(n)};
}

// The file-system form of a model path: str, bytes or os.PathLike. None
// keeps the host's own refusal (open(None)), reported like any other
// opening error; any other object (an int would be taken as a descriptor
// by open()) is refused here with TypeError.
bool model_path(nb::handle p, const char* arg, std::string& out) {
    if (p.is_none()) {
        raise(PyExc_TypeError, "expected str, bytes or os.PathLike object, not NoneType");
    }
    if (!PyUnicode_Check(p.ptr()) && !PyBytes_Check(p.ptr()) && !PyObject_HasAttrString(p.ptr(), "__fspath__"))
        raise_arg_type(arg, "str", p);
    PyObject* bytes = nullptr;
    if (!PyUnicode_FSConverter(p.ptr(), &bytes)) throw_pending();
    nb::object owned = nb::steal(bytes);
    out.assign(PyBytes_AS_STRING(bytes), static_cast<size_t>(PyBytes_GET_SIZE(bytes)));
    if (out.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte");
    return true;
}

[[noreturn]] void raise_binary_stl(nb::handle path) {
    raise(PyExc_ValueError, to_text(path) +
                                " 是二进制 STL 文件，本程序只读取 ASCII STL：请在建模软件中导出为 ASCII STL（或用转换工具另存为 ASCII）");
}

// The host's OSError for a failed read, as open() would raise it.
[[noreturn]] void raise_read_status(io::ReadStatus st, int error, nb::handle path) {
    switch (st) {
        case io::ReadStatus::not_regular: {
            raise(PyExc_OSError, "不是普通文件（设备、管道或套接字不读取）: " + to_text(check(PyObject_Repr(path.ptr()))));
        }
        case io::ReadStatus::changed: {
            raise(PyExc_OSError, "文件在读取过程中被修改，请在写入完成后重试: " + to_text(check(PyObject_Repr(path.ptr()))));
        }
        default:
            errno = error ? error : EIO;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
            throw nb::python_error();
    }
}

// The whole text of a model file as the host's text mode gives it: the
// locale's encoding (UTF-8 in practice), a leading UTF-8 byte-order mark
// dropped (a marked file is UTF-8 whatever the locale). Regular files
// only, read with plain reads. Failures are the host's exceptions.
struct ModelText {
    io::FileText file;
    nb::object host_text;   // the decoded text when the locale is not UTF-8
    std::string_view text;  // UTF-8
    FileKey key;
};

void read_model_text(nb::handle path, const char* arg, ModelText& mt) {
    std::string p;
    model_path(path, arg, p);
    io::ReadStatus st;
    {
        nb::gil_scoped_release release;
        st = mt.file.open(p, mt.key);
    }
    if (st != io::ReadStatus::ok) raise_read_status(st, mt.file.error(), path);
    std::string_view raw = mt.file.text();
    if (stl::looks_binary(raw)) raise_binary_stl(path);
    const size_t bom = io::utf8_bom_length(raw);
    raw.remove_prefix(bom);
    if (bom || is_utf8_name(default_encoding())) {
        bool valid;
        {
            nb::gil_scoped_release release;
            valid = stl::utf8_valid(raw);
        }
        if (!valid) {
            check(PyUnicode_DecodeUTF8(raw.data(), static_cast<Py_ssize_t>(raw.size()), "strict"));
        }
        mt.text = raw;
        return;
    }
    mt.host_text = check(PyUnicode_Decode(raw.data(), static_cast<Py_ssize_t>(raw.size()),
                                          default_encoding().c_str(), "strict"));
    mt.text = utf8_view(mt.host_text);
}

// The block reader's failure messages; false after a printed failure.
bool read_for_blocks(nb::handle path, ModelText& mt) {
    try {
        read_model_text(path, "stl_file_path", mt);
        return true;
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_FileNotFoundError)) {
            print_prefixed("错误：未找到文件 ", path);
            return false;
        }
        // Argument types other than a path or None are the caller's error.
        if (!e.matches(PyExc_Exception) || (!path.is_none() && e.matches(PyExc_TypeError))) throw;
        print_prefixed("读取文件时出现错误: ", e.value());
        return false;
    }
}

void parse_blocks(std::string_view text, stl::Solids& solids) {
    stl::ParseError err;
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = stl::read_blocks_parallel(text, kHostFloat, solids, err);
    }
    if (!ok) raise_parse_error(err);
}

// The model of a file for casting: from the cache when the file is unchanged.
// `lod`: a CityJSON model's level of detail ("" the highest).
std::shared_ptr<const Model> read_model(nb::handle path, const std::string& lod = {}) {
    std::string p;
    if (!path.is_none()) model_path(path, "stl_file_path", p);
    if (geom::is_mesh_file(p)) return load_mesh_model(path, p, model_cache(), lod);
    if (!lod.empty()) raise(PyExc_ValueError, lod_problem(path.is_none() ? "(无)" : to_text(path), p, lod, {}));
    ModelCache::Hit hit;
    FileKey seen;
    if (!p.empty() && io::stat_stamp(p, seen)) hit = model_cache().find(seen);
    if (hit.model && !hit.verify) return hit.model;

    ModelText mt;
    stl::Solids solids;
    if (read_for_blocks(path, mt)) {
        if (hit.model && mt.key == seen) {
            // Changed so recently that the time stamps may not tell: compare the contents.
            uint64_t h;
            {
                nb::gil_scoped_release release;
                h = geom::content_hash(mt.file.text());
            }
            if (h == hit.hash) {
                model_cache().confirm(seen, geom::wall_clock_ns());
                return hit.model;
            }
        }
        parse_blocks(mt.text, solids);
    }
    std::shared_ptr<const Model> model;
    uint64_t h = 0;
    {
        nb::gil_scoped_release release;
        model = geom::make_model(solids);
        if (!mt.file.text().empty() || mt.key.ino) h = geom::content_hash(mt.file.text());
    }
    if (mt.key.ino) model_cache().put(mt.key, model, h, geom::wall_clock_ns());
    return model;
}

// ------------------------------------------------------------ numpy arrays

nb::handle numpy_module() {
    static PyObject* np = PyImport_ImportModule("numpy");
    if (!np) throw_pending();
    return np;
}

void require_ndarray(nb::handle v, const char* name) {
    nb::object cls = check(PyObject_GetAttrString(numpy_module().ptr(), "ndarray"));
    const int is = PyObject_IsInstance(v.ptr(), cls.ptr());
    if (is < 0) throw_pending();
    if (!is) raise_arg_type(name, "numpy.ndarray", v);
}

struct Array {
    std::vector<double> data;
    std::vector<Py_ssize_t> shape;
};

std::string shape_text(const std::vector<Py_ssize_t>& shape) {
    std::string s = "(";
    for (size_t i = 0; i < shape.size(); ++i) {
        if (i) s += ", ";
        s += std::to_string(shape[i]);
    }
    if (shape.size() == 1) s += ",";
    return s + ")";
}

// A float64 array of `ndim` dimensions, copied in C order.
Array read_array(nb::handle v, const char* name, int ndim) {
    nb::object dtype = check(PyObject_GetAttrString(v.ptr(), "dtype"));
    nb::object f64 = check(PyObject_CallMethod(numpy_module().ptr(), "dtype", "s", "float64"));
    const int same = PyObject_RichCompareBool(dtype.ptr(), f64.ptr(), Py_EQ);
    if (same < 0) throw_pending();
    if (!same) raise(PyExc_ValueError, std::string(name) + " must have dtype float64, got " + to_text(dtype));
    nb::object nd = check(PyObject_GetAttrString(v.ptr(), "ndim"));
    const int64_t got = as_int64(nd);
    if (got != ndim)
        raise(PyExc_ValueError, std::string(name) + " must have " + std::to_string(ndim) + " dimension" +
                                    (ndim == 1 ? "" : "s") + ", got " + std::to_string(got));
    nb::object c = check(PyObject_CallMethod(numpy_module().ptr(), "ascontiguousarray", "O", v.ptr()));
    Py_buffer view;
    if (PyObject_GetBuffer(c.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_ND) != 0) throw_pending();
    Array a;
    a.shape.assign(view.shape, view.shape + view.ndim);
    a.data.resize(static_cast<size_t>(view.len) / sizeof(double));
    if (view.len) std::memcpy(a.data.data(), view.buf, static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return a;
}

nb::object new_float_array(const double* src, size_t n) {
    double* data = new double[n ? n : 1];
    std::copy_n(src, n, data);
    nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    size_t shape[1] = {n};
    return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(data, 1, shape, owner));
}

nb::object py_float(double v) { return check(PyFloat_FromDouble(v)); }

// "" for a model whose facets all lie within the coordinates the occlusion
// tests can take; else the message naming the file, each solid and its count
// (such facets would silently cast no shade).
std::string far_facet_text(const Model& model, nb::handle path) {
    if (model.far_facets.empty()) return {};
    std::string which;
    for (const auto& [solid, n] : model.far_facets)
        which += (which.empty() ? "实体 \"" : "、\"") + solid + "\"（" + std::to_string(n) + " 个面片）";
    char bound[32];
    std::snprintf(bound, sizeof bound, "%g", geom::kMaxTracedCoordinate);
    return "模型 " + (path.is_none() ? std::string("(无)") : to_text(path)) + " 的" + which + "的坐标绝对值超过 " +
           bound + "，遮挡计算会溢出（这样的物体不投下阴影）；请检查模型的单位和坐标";
}

// read_model, refused with ValueError when far_facet_text has something to say.
std::shared_ptr<const Model> load_model(nb::handle path, const std::string& lod = {}) {
    std::shared_ptr<const Model> model = read_model(path, lod);
    if (std::string problem = far_facet_text(*model, path); !problem.empty()) raise(PyExc_ValueError, problem);
    return model;
}

}  // namespace

void clear_model_cache() { model_cache().clear(); }

std::shared_ptr<const Model> cached_model(nb::handle stl_file_path, const std::string& lod) {
    return load_model(stl_file_path, lod);
}

std::string model_extent_problem(nb::handle model_path, const std::string& lod) {
    return far_facet_text(*read_model(model_path, lod), model_path);
}

// ---------------------------------------------------------------- readers

nb::object read_stl_with_solids(nb::handle stl_file_path) {
    ModelText mt;
    nb::object result = check(PyDict_New());
    stl::Solids solids;
    if (std::string fs; mesh_file_arg(stl_file_path, fs)) {
        if (!read_mesh_solids(stl_file_path, fs, "读取文件时出现错误: ", solids)) return result;
    } else {
        if (!read_for_blocks(stl_file_path, mt)) return result;
        parse_blocks(mt.text, solids);
    }
    for (const auto& s : solids.solids) {
        // One flat array per solid; every vector is a slice of it.
        nb::object flat = new_float_array(s.values.data(), s.values.size());
        nb::object verts = check(PyList_New(static_cast<Py_ssize_t>(s.shapes.size())));
        nb::object norms = check(PyList_New(static_cast<Py_ssize_t>(s.shapes.size())));
        Py_ssize_t off = 0;
        auto slice = [&](uint32_t n) {
            nb::object v = check(PySequence_GetSlice(flat.ptr(), off, off + n));
            off += n;
            return v;
        };
        for (size_t k = 0; k < s.shapes.size(); ++k) {
            const auto& sh = s.shapes[k];
            PyList_SET_ITEM(norms.ptr(), static_cast<Py_ssize_t>(k), slice(sh.normal_n).release().ptr());
            nb::object fv = check(PyList_New(sh.nverts));
            for (uint32_t j = 0; j < sh.nverts; ++j)
                PyList_SET_ITEM(fv.ptr(), j, slice(sh.vert_n[j]).release().ptr());
            PyList_SET_ITEM(verts.ptr(), static_cast<Py_ssize_t>(k), fv.release().ptr());
        }
        nb::object pair = check(PyTuple_Pack(2, verts.ptr(), norms.ptr()));
        set_item(result, utf8_str(s.name), pair);
    }
    return result;
}

nb::object stl_statistics(nb::handle file_path, const std::string& lod) {
    require_str_or_none(file_path, "file_path");
    if (std::string fs; mesh_file_arg(file_path, fs)) {
        // Other formats: the same records from the facets the reader yields.
        stl::Solids solids;
        try {
            if (!read_mesh_solids(file_path, fs, "读取 STL 文件时发生错误：", solids, lod)) return check(PyDict_New());
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_ValueError)) throw;
            print_prefixed("读取 STL 文件时发生错误：", e.value());
            return check(PyDict_New());
        }
        return statistics_dict(geom::surface_statistics(solids));
    }
    if (!lod.empty()) {
        print("读取 STL 文件时发生错误：" + lod_problem(file_path.is_none() ? "(无)" : to_text(file_path), {}, lod, {}));
        return check(PyDict_New());
    }
    stl::StatsReader reader;
    stl::ParseError err;
    bool ok = true;
    ModelText mt;
    try {
        read_model_text(file_path, "file_path", mt);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_FileNotFoundError)) {
            print_prefixed("错误：未找到文件 ", file_path);
            return check(PyDict_New());
        }
        if (!e.matches(PyExc_Exception)) throw;
        print_prefixed("读取 STL 文件时发生错误：", e.value());
        return check(PyDict_New());
    }
    {
        nb::gil_scoped_release release;
        stl::LineCutter cut(mt.text);
        std::string_view line;
        while (ok && cut.next(line)) ok = reader.feed(line, kHostFloat, err);
    }
    if (!ok) {
        try {
            raise_parse_error(err);
        } catch (nb::python_error& e) {
            print_prefixed("读取 STL 文件时发生错误：", e.value());
            return check(PyDict_New());
        }
    }
    reader.finish();
    return statistics_dict(reader.result());
}


nb::object calculate_triangle_area(nb::handle vertices) {
    require_ndarray(vertices, "vertices");
    Array a = read_array(vertices, "vertices", 2);
    const Py_ssize_t rows = a.shape[0], cols = a.shape[1];
    if (rows < 3) {
        PyErr_Format(PyExc_IndexError, "index %d is out of bounds for axis 0 with size %zd", rows < 2 ? 1 : 2,
                     rows);
        throw nb::python_error();
    }
    const double* v = a.data.data();
    if (cols == 3) return py_float(stl::triangle_area(v, v + 3, v + 6));
    if (cols == 2) {
        // Planar vertices: the cross product is the scalar z component.
        const double c = (v[2] - v[0]) * (v[5] - v[1]) - (v[3] - v[1]) * (v[4] - v[0]);
        return py_float(0.5 * std::fabs(c));
    }
    raise(PyExc_ValueError, "vertices must have 2 or 3 coordinates per row, got " + std::to_string(cols));
}

// ------------------------------------------------------------------ casting

nb::object occlusion_scan(nb::handle current_solid_vertices, nb::handle current_solid_normals,
                          nb::handle all_solid_vertices, nb::handle sun_direction) {
    require_ndarray(current_solid_vertices, "current_solid_vertices");
    require_ndarray(current_solid_normals, "current_solid_normals");
    require_ndarray(all_solid_vertices, "all_solid_vertices");
    require_ndarray(sun_direction, "sun_direction");
    Array cur = read_array(current_solid_vertices, "current_solid_vertices", 3);
    Array nrm = read_array(current_solid_normals, "current_solid_normals", 2);
    Array all = read_array(all_solid_vertices, "all_solid_vertices", 3);
    Array dir = read_array(sun_direction, "sun_direction", 1);
    auto need = [](const Array& a, const char* name, const std::vector<Py_ssize_t>& tail) {
        for (size_t i = 0; i < tail.size(); ++i) {
            if (a.shape[1 + i] != tail[i]) {
                std::string want = "(n";
                for (auto t : tail) want += ", " + std::to_string(t);
                raise(PyExc_ValueError, std::string(name) + " must have shape " + want + "), got " +
                                            shape_text(a.shape));
            }
        }
    };
    need(cur, "current_solid_vertices", {3, 3});
    need(nrm, "current_solid_normals", {3});
    need(all, "all_solid_vertices", {3, 3});
    if (dir.shape[0] != 3) raise(PyExc_ValueError, "sun_direction must have shape (3,), got " + shape_text(dir.shape));
    if (all.shape[0] == 0)
        raise(PyExc_ValueError, "zero-size array to reduction operation minimum which has no identity");
    const size_t n = static_cast<size_t>(cur.shape[0]);
    if (static_cast<size_t>(nrm.shape[0]) < n) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd", nrm.shape[0],
                     nrm.shape[0]);
        throw nb::python_error();
    }
    std::vector<double> illum(n), areas(n);
    {
        nb::gil_scoped_release release;
        // The face itself is the first triangle of the model equal to it.
        std::vector<int64_t> self =
            geom::match_own_triangles(all.data.data(), static_cast<size_t>(all.shape[0]), cur.data.data(), n);
        geom::Scene scene(std::move(all.data));
        scene.scan(cur.data.data(), nrm.data.data(), self.data(), n, dir.data.data(), illum.data(), areas.data(), 0);
    }
    nb::object avg = py_float(geom::area_weighted_mean(illum.data(), areas.data(), n));
    nb::object arr = new_float_array(illum.data(), n);
    return check(PyTuple_Pack(2, avg.ptr(), arr.ptr()));
}

namespace {
nb::object shadow_of(nb::handle stl_file_path, nb::handle surface_analyze, nb::handle sun_altitude,
                     nb::handle sun_azimuth, bool from_vertices, const std::string& lod = {});
}  // namespace

nb::object model_shadow(nb::handle path, nb::handle surfaces, nb::handle altitude, nb::handle azimuth,
                        bool from_vertices, const std::string& lod) {
    return shadow_of(path, surfaces, altitude, azimuth, from_vertices, lod);
}

nb::object calculate_shadow(nb::handle stl_file_path, nb::handle surface_analyze, nb::handle sun_altitude,
                            nb::handle sun_azimuth) {
    return shadow_of(stl_file_path, surface_analyze, sun_altitude, sun_azimuth, false);
}

nb::object calculate_shadow_from_vertices(nb::handle stl_file_path, nb::handle surface_analyze,
                                          nb::handle sun_altitude, nb::handle sun_azimuth) {
    return shadow_of(stl_file_path, surface_analyze, sun_altitude, sun_azimuth, true);
}

namespace {
nb::object shadow_of(nb::handle stl_file_path, nb::handle surface_analyze, nb::handle sun_altitude,
                     nb::handle sun_azimuth, bool from_vertices, const std::string& lod) {
    const double altitude = as_double(sun_altitude);
    const double azimuth = as_double(sun_azimuth);
    double d[3];
    geom::sun_direction(altitude, azimuth, d);
    std::shared_ptr<const Model> model = load_model(stl_file_path, lod);
    if (model->irregular)
        raise(PyExc_ValueError, "facet " + std::to_string(model->irregular_facet) + " of solid '" +
                                    model->irregular_solid +
                                    "' does not have a 3-number normal and three vertices of three coordinates");

    // Surface names resolve through a dict, with the host's hashing and KeyError.
    nb::object index = check(PyDict_New());
    for (size_t s = 0; s < model->names.size(); ++s) {
        nb::object i = check(PyLong_FromSize_t(s));
        set_item(index, utf8_str(model->names[s]), i);
    }
    std::vector<std::pair<nb::object, size_t>> requested;
    nb::object it = check(PyObject_GetIter(surface_analyze.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        nb::object name = nb::steal(raw);
        const size_t s = PyLong_AsSize_t(get_item(index, name).ptr());
        if (model->count[s] == 0)
            raise(PyExc_ValueError, "current_solid_vertices must have 3 dimensions, got 1");
        requested.emplace_back(name, s);
    }
    if (PyErr_Occurred()) throw_pending();

    // Each distinct surface is cast once; all faces go through one parallel scan.
    std::vector<size_t> distinct;
    std::vector<size_t> offset(model->names.size(), SIZE_MAX);
    size_t total = 0;
    for (const auto& r : requested) {
        if (offset[r.second] != SIZE_MAX) continue;
        offset[r.second] = total;
        distinct.push_back(r.second);
        total += model->count[r.second];
    }
    std::vector<double> illum(total), areas(total);
    {
        nb::gil_scoped_release release;
        geom::SurfaceFaces f;
        geom::surface_faces(*model, distinct, from_vertices, f);
        model->scene->scan(f.tris.data(), f.normals.data(), f.self.data(), total, d, illum.data(), areas.data(), 0);
    }
    nb::object results = check(PyDict_New());
    nb::object values = check(PyList_New(0));
    for (const auto& r : requested) {
        const size_t off = offset[r.second], cnt = model->count[r.second];
        set_item(results, r.first, py_float(geom::area_weighted_mean(illum.data() + off, areas.data() + off, cnt)));
        for (size_t k = 0; k < cnt; ++k)
            if (PyList_Append(values.ptr(), py_float(illum[off + k]).ptr()) != 0) throw_pending();
    }
    return check(PyTuple_Pack(2, results.ptr(), values.ptr()));
}
}  // namespace

// ------------------------------------------------------------------ binding

namespace {

template <typename F>
PyObject* call_guarded(F&& f) {
    return guarded<PyObject*>(nullptr, [&] { return f().release().ptr(); });
}

PyObject* py_read_stl_with_solids(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"stl_file_path", nullptr};
    PyObject* a;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O:read_stl_with_solids", const_cast<char**>(kwlist), &a))
        return nullptr;
    return call_guarded([&] { return read_stl_with_solids(a); });
}

PyObject* py_calculate_triangle_area(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"vertices", nullptr};
    PyObject* a;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O:calculate_triangle_area", const_cast<char**>(kwlist), &a))
        return nullptr;
    return call_guarded([&] { return calculate_triangle_area(a); });
}

PyObject* py_stl_statistics(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"file_path", nullptr};
    PyObject* a;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "O:stl_statistics", const_cast<char**>(kwlist), &a)) return nullptr;
    return call_guarded([&] { return stl_statistics(a, {}); });
}

PyObject* py_calculate_shadow(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"stl_file_path", "surface_analyze", "sun_altitude", "sun_azimuth", nullptr};
    PyObject *a, *b, *c, *d;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOO:calculate_shadow", const_cast<char**>(kwlist), &a, &b, &c, &d))
        return nullptr;
    return call_guarded([&] { return calculate_shadow(a, b, c, d); });
}

PyObject* py_occlusion_scan(PyObject*, PyObject* args, PyObject* kw) {
    static const char* kwlist[] = {"current_solid_vertices", "current_solid_normals", "all_solid_vertices",
                                   "sun_direction", nullptr};
    PyObject *a, *b, *c, *d;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "OOOO:occlusion_scan", const_cast<char**>(kwlist), &a, &b, &c, &d))
        return nullptr;
    return call_guarded([&] { return occlusion_scan(a, b, c, d); });
}

PyObject* py_clear_model_cache(PyObject*, PyObject*) {
    clear_model_cache();
    Py_RETURN_NONE;
}

// Each text begins with the function's signature line for inspect.signature
// (the host strips it from __doc__); the two functions without a documented
// text have that line alone, so their __doc__ stays None.
const char kReadDoc[] = "read_stl_with_solids(stl_file_path)\n--\n\n";
const char kScanDoc[] =
    "occlusion_scan(current_solid_vertices, current_solid_normals, all_solid_vertices, sun_direction)\n--\n\n";
const char kAreaDoc[] =
    "calculate_triangle_area(vertices)\n--\n\n"
    "计算由三个顶点构成的三角形的面积。\n"
    "\n"
    "参数:\n"
    "    vertices (numpy.ndarray): 形状为 (3, 3) 的 float64 数组，每一行是一个顶点的 (x, y, z) 坐标。\n"
    "\n"
    "返回:\n"
    "    float: 三角形的面积。\n";

const char kStatsDoc[] =
    "stl_statistics(file_path)\n--\n\n"
    "统计 STL 文件中各 solid 的面积总和以及单位化法向量的平均值\n"
    "\n"
    "参数:\n"
    "    file_path (str): STL 文件路径\n"
    "\n"
    "返回:\n"
    "    dict: 以 solid 名称为键的字典，值为包含 \"area\"（面积总和）和 \"normal\"（单位化平均法向量）的字典\n";

const char kShadowDoc[] =
    "calculate_shadow(stl_file_path, surface_analyze, sun_altitude, sun_azimuth)\n--\n\n"
    "计算阴影分析的函数，支持不同的太阳高度角和方位角\n"
    "\n"
    "参数:\n"
    "    stl_file_path (str): STL文件路径\n"
    "    surface_analyze(list): 需要分析的表面名 数组\n"
    "    sun_altitude (float): 太阳高度角（度）\n"
    "    sun_azimuth (float): 太阳方位角（度）\n"
    "\n"
    "返回:\n"
    "    tuple: (solid_results, all_surface_cos_values)\n";

PyMethodDef kMethods[] = {
    {"read_stl_with_solids", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_read_stl_with_solids)),
     METH_VARARGS | METH_KEYWORDS, kReadDoc},
    {"calculate_triangle_area",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_triangle_area)),
     METH_VARARGS | METH_KEYWORDS, kAreaDoc},
    {"stl_statistics", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_stl_statistics)),
     METH_VARARGS | METH_KEYWORDS, kStatsDoc},
    {"calculate_shadow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_calculate_shadow)),
     METH_VARARGS | METH_KEYWORDS, kShadowDoc},
    {"occlusion_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&py_occlusion_scan)),
     METH_VARARGS | METH_KEYWORDS, kScanDoc},
    {"_clear_model_cache", &py_clear_model_cache, METH_NOARGS,
     "_clear_model_cache()\n--\n\nDrops every cached parsed model."},
};

}  // namespace

void bind_geometry(nb::module_& m) {
    nb::object module_name = check(PyUnicode_FromString("quillmere.shadow_calc.occlusion_scan"));
    for (PyMethodDef& def : kMethods) {
        nb::object fn = check(PyCFunction_NewEx(&def, nullptr, module_name.ptr()));
        m.attr(def.ml_name) = fn;
    }
}

}  // namespace qm::py
