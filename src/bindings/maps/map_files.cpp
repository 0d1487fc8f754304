// quillmere.maps: writing a map's files (kernels/maps/map_files): PLY and GLB
// of the analysed triangles with per-face values and colours, and a CityJSON
// model with the values on its semantic surfaces. Each file is written
// through the atomic writer (a temporary file in the same folder, renamed
// into place), so a reader never sees half a file.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "bindings/support/common.hpp"
#include "kernels/io/atomic_write.hpp"
#include "kernels/io/file_read.hpp"
#include "kernels/maps/map_files.hpp"

namespace qm::py {
namespace {

using Rows = nb::ndarray<const double, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
using Values = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using Colours = nb::ndarray<const uint8_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

void write_atomic(const std::string& path, nb::handle shown, const std::string& data) {
    int err = 0;
    const char* step = "";
    bool ok;
    {
        nb::gil_scoped_release release;
        ok = io::write_file_atomic(path, data, err, step);
    }
    if (!ok) raise(PyExc_OSError, "无法写入 " + to_text(shown) + "：" + std::strerror(err));
}

void mesh_file(nb::handle path, const std::string& format, Rows vertices, Values values, Colours rgb,
               std::vector<double> origin, const std::string& value_name, const std::string& unit) {
    const size_t n = values.shape(0);
    if (vertices.shape(0) != n || vertices.shape(1) != 9 || rgb.shape(0) != n || rgb.shape(1) != 3)
        raise(PyExc_ValueError, "vertices 应为 (n, 9)，rgb 应为 (n, 3)，n 为值的个数");
    if (origin.size() != 3) raise(PyExc_ValueError, "origin 应为三个数");
    if (value_name.empty() || value_name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") !=
                                  std::string::npos)
        raise(PyExc_ValueError, "value_name 只能含字母、数字和下划线：" + value_name);
    if (format != "ply" && format != "glb") raise(PyExc_ValueError, "format 应为 \"ply\" 或 \"glb\"：" + format);
    const std::string fs = fs_path(path, "path");
    std::string data;
    {
        nb::gil_scoped_release release;
        maps::FaceMesh m;
        m.tris.assign(vertices.data(), vertices.data() + 9 * n);
        m.values.assign(values.data(), values.data() + n);
        m.rgb.assign(rgb.data(), rgb.data() + 3 * n);
        std::copy_n(origin.data(), 3, m.origin);
        m.value_name = value_name, m.unit = unit;
        data = format == "ply" ? maps::ply_binary(m) : maps::glb(m);
    }
    write_atomic(fs, path, data);
}

size_t cityjson_file(nb::handle model, nb::handle path, const std::string& lod, std::vector<std::string> names,
                     std::vector<std::string> keys, Rows values) {
    if (values.shape(0) != names.size() || values.shape(1) != keys.size())
        raise(PyExc_ValueError, "values 应为 (表面数, 属性数)");
    const std::string in = fs_path(model, "model"), out_fs = fs_path(path, "path");
    io::FileText file;
    io::FileStamp stamp;
    io::ReadStatus st;
    {
        nb::gil_scoped_release release;
        st = file.open(in, stamp);
    }
    if (st != io::ReadStatus::ok) raise(PyExc_OSError, "无法读取模型文件 " + to_text(model));
    maps::SurfaceValues v;
    v.names = std::move(names);
    v.keys = std::move(keys);
    v.values.assign(values.data(), values.data() + values.shape(0) * values.shape(1));
    std::string text;
    maps::AnnotateResult r;
    {
        nb::gil_scoped_release release;
        r = maps::annotate_cityjson(file.text(), lod, v, text);
    }
    if (r.error != maps::AnnotateError::none) {
        const char* what = r.error == maps::AnnotateError::syntax     ? "JSON 语法错误"
                           : r.error == maps::AnnotateError::too_deep ? "数组与对象嵌套过深"
                                                                      : "结构有误";
        raise(PyExc_ValueError, "模型文件 " + to_text(model) + " 无法写入数值（" + what + "，" + r.where + "）");
    }
    write_atomic(out_fs, path, text);
    return r.annotated;
}

}  // namespace

void bind_map_files(nb::module_& m) {
    nb::module_ scope = named_scope("quillmere.maps");
    scope.def("_mesh_file", &mesh_file, nb::arg("path"), nb::arg("format"), nb::arg("vertices"), nb::arg("values"),
              nb::arg("rgb"), nb::arg("origin"), nb::arg("value_name"), nb::arg("unit"),
              "Writes the faces (vertices (n, 9) in the model's local frame) with their values and colours (n, 3) "
              "as \"ply\" or \"glb\", atomically.");
    scope.def("_cityjson_file", &cityjson_file, nb::arg("model"), nb::arg("path"), nb::arg("lod"), nb::arg("names"),
              nb::arg("keys"), nb::arg("values"),
              "Writes the CityJSON model with values (surfaces x keys) on its semantic surfaces to path, "
              "atomically; returns how many surfaces got values.");
    m.attr("_maps_mesh_file") = scope.attr("_mesh_file");
    m.attr("_maps_cityjson_file") = scope.attr("_cityjson_file");
}

}  // namespace qm::py
